// I/O control and bus parameters through the loaded DLL.
#include "canlib.h"
#include "support/child_process.h"
#include "support/dll_test_support.h"

#include <gtest/gtest.h>

#include <array>

using namespace testsupport;

TEST(BusParameters, FixedConfigurationAndAcceptedSettings) {
    int32_t bitRate = 1000000;
    uint32_t tseg1 = 0, tseg2 = 0, sjw = 0, nos = 0, symd = 9;
    EXPECT_EQ(canTranslateBaud(&bitRate, &tseg1, &tseg2, &sjw, &nos, &symd), canOK);
    EXPECT_EQ(std::vector<uint32_t>({static_cast<uint32_t>(bitRate), tseg1, tseg2, sjw, nos, symd}),
              std::vector<uint32_t>({250000, 4, 3, 2, 1, 0}));
    EXPECT_EQ(canGetBusParams(0, &bitRate, &tseg1, &tseg2, &sjw, &nos, &symd), canOK);
    EXPECT_EQ(bitRate, 250000);
    EXPECT_EQ(canSetBitrate(0, 125000), canOK);
    EXPECT_EQ(canSetBusParamsC200(0, 0x01, 0x1C), 0u);
    EXPECT_EQ(canSetBusOutputControl(0, canDRIVER_NORMAL), canOK);
    uint32_t driver = 0;
    EXPECT_EQ(canGetBusOutputControl(0, &driver), canOK);
    EXPECT_EQ(driver, static_cast<uint32_t>(canDRIVER_NORMAL));
    uint32_t tx = 9, rx = 9, ov = 9;
    EXPECT_EQ(canReadErrorCounters(0, &tx, &rx, &ov), canOK);
    EXPECT_EQ(tx + rx + ov, 0u);
    std::array<uint8_t, 20> stat;
    stat.fill(0x77);
    EXPECT_EQ(canGetBusStatistics(0, stat.data(), 20), canOK);
    EXPECT_EQ(stat, (std::array<uint8_t, 20>{}));
}

TEST(IoControl, ValuesAreStoredInFourOrEightBytes) {
    std::array<uint8_t, 8> buf;
    buf.fill(0);
    EXPECT_EQ(canIoCtl(0, canIOCTL_GET_EVENTHANDLE, buf.data(), 8), canOK);
    EXPECT_EQ(buf, (std::array<uint8_t, 8>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    buf.fill(0);
    EXPECT_EQ(canIoCtl(0, canIOCTL_GET_TIMER_SCALE, buf.data(), 4), canOK);
    EXPECT_EQ(buf, (std::array<uint8_t, 8>{0xE8, 0x03, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(canIoCtl(0, canIOCTL_GET_TIMER_SCALE, nullptr, 4), canERR_PARAM);
    EXPECT_EQ(canIoCtl(0, canIOCTL_FLUSH_TX_BUFFER, nullptr, 0), canOK);
}

CHILD_SCENARIO(ioCtlUnknownFunction) {
    canIoCtl(0, 0xFFFFFFFF, nullptr, 0);
}
CHILD_SCENARIO(ioCtlWrongSize) {
    int16_t small = 0;
    canIoCtl(0, canIOCTL_GET_TIMER_SCALE, &small, 2);
}

TEST(IoControl, UnsupportedRequestsStopTheHost) {
    ChildOutcome function = runChild("ioCtlUnknownFunction");
    EXPECT_EQ(function.exitCode, 1u);
    EXPECT_EQ(function.traceLines, std::vector<std::string>{"canlib: canIoCtl: func=4294967295"});
    ASSERT_EQ(function.messageBoxes.size(), 1u) << function.describe();
    EXPECT_EQ(function.messageBoxes[0].text,
              L"Unsupported canIoCtl function -1 requested\n\nVantrel will be terminated.");

    ChildOutcome size = runChild("ioCtlWrongSize");
    EXPECT_EQ(size.exitCode, 1u);
    EXPECT_EQ(size.traceLines,
              std::vector<std::string>{"canlib: canIoCtl: canIOCTL_GET_TIMER_SCALE"});
    ASSERT_EQ(size.messageBoxes.size(), 1u) << size.describe();
    EXPECT_EQ(size.messageBoxes[0].text,
              L"Unsupported canIoCtl size 2 requested\n\nVantrel will be terminated.");
}
