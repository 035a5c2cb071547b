// The exported functions, called the way a host calls them, in the native build: values,
// trace lines, and the stops, which a POSIX host survives with the call's status code.
#include "canlib.h"
#include "channel/korval_can_interface.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

// Allocation that fails on request, for the calls that run out of memory.
namespace {
thread_local bool failAllocations = false;
} // namespace

void *operator new(std::size_t size) {
    void *memory = failAllocations ? nullptr : std::malloc(size > 0 ? size : 1);
    if (memory == nullptr)
        throw std::bad_alloc();
    return memory;
}

void operator delete(void *memory) noexcept {
    std::free(memory);
}

void operator delete(void *memory, std::size_t) noexcept {
    std::free(memory);
}

namespace {

// These tests read the trace lines where a Linux user sees them: on stderr, which the library
// writes them to when KORVAL_TRACE is 1. It reads the variable at its first line.
[[maybe_unused]] const bool traceOnErrorStream = setenv("KORVAL_TRACE", "1", 1) == 0;

std::string traceOf(const std::function<void()> &call) {
    testing::internal::CaptureStderr();
    call();
    return testing::internal::GetCapturedStderr();
}

// What the message box of a stop shows, as POSIX writes it: its title, then its text.
std::string stopBox(const std::string &text) {
    return "Brenvox CAN Library for Vantrel\n" + text + "\n\nVantrel will be terminated.\n";
}

// A stop as a POSIX host meets it: the call returns the status, and stderr holds the lines.
std::string stopOf(canStatus status, const std::function<canStatus()> &call) {
    return traceOf([&] { EXPECT_EQ(call(), status); });
}

class ApiTest : public testing::Test {
  protected:
    void SetUp() override {
        canInitializeLibrary();
        canClose(0); // clears the bus-on guard and leaves no worker behind
        canFlushReceiveQueue(0);
        canFlushTransmitQueue(0);
    }
};

const uint8_t SDO_READ[8] = {0x40, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00};

} // namespace

TEST_F(ApiTest, ErrorTextIsTheNumberCutToTheBuffer) {
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(traceOf([&] { EXPECT_EQ(canGetErrorText(-2, buf, 64), canOK); }),
              "canlib: canGetErrorText: err=-2\n");
    EXPECT_STREQ(buf, "CAN error -2");
    EXPECT_EQ(buf[13], 'x');

    canGetErrorText(99, buf, 64);
    EXPECT_STREQ(buf, "CAN error 99");
    EXPECT_EQ(canGetErrorText(-1, buf, 5), canOK);
    EXPECT_STREQ(buf, "CAN ");
    EXPECT_EQ(canGetErrorText(0, buf, 1), canOK);
    EXPECT_EQ(buf[0], '\0');
}

TEST_F(ApiTest, ErrorTextWithoutRoomRefusesAndWritesNothing) {
    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(canGetErrorText(-2, buf, 0), canERR_PARAM);
    EXPECT_EQ(buf[0], 'a');
    EXPECT_EQ(canGetErrorText(-2, nullptr, 64), canERR_PARAM);
}

TEST_F(ApiTest, ChannelCountAndData) {
    int32_t count = -1;
    EXPECT_EQ(traceOf([&] { EXPECT_EQ(canGetNumberOfChannels(&count), canOK); }),
              "canlib: canGetNumberOfChannels\n");
    EXPECT_EQ(count, 1);
    EXPECT_EQ(canGetNumberOfChannels(nullptr), canERR_PARAM);

    std::array<uint8_t, 8> buf{};
    buf.fill(0xAA);
    EXPECT_EQ(canGetChannelData(0, canCHANNELDATA_CHAN_NO_ON_CARD, buf.data(), 4), canOK);
    EXPECT_EQ((std::array<uint8_t, 8>{1, 0, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA}), buf);
    EXPECT_EQ(canGetChannelData(5, canCHANNELDATA_CHAN_NO_ON_CARD, buf.data(), 8), canOK);
    EXPECT_EQ((std::array<uint8_t, 8>{6, 0, 0, 0, 0, 0, 0, 0}), buf);
    EXPECT_EQ(canGetChannelData(0, canCHANNELDATA_CARD_TYPE, buf.data(), 4), canOK);
    EXPECT_EQ(buf[0], canHWTYPE_VIRTUAL);
    buf.fill(0xAA);
    EXPECT_EQ(canGetChannelData(0, canCHANNELDATA_CARD_SERIAL_NO, buf.data(), 8), canOK);
    EXPECT_EQ((std::array<uint8_t, 8>{}), buf);
    // A channel number whose successor overflows wraps like 32-bit arithmetic.
    int32_t wrapped = 0;
    EXPECT_EQ(canGetChannelData(INT32_MAX, canCHANNELDATA_CHAN_NO_ON_CARD, &wrapped, 4), canOK);
    EXPECT_EQ(wrapped, INT32_MIN);
}

TEST_F(ApiTest, ChannelNameIsCutToTheBuffer) {
    char name[64];
    EXPECT_EQ(traceOf([&] { canGetChannelData(0, canCHANNELDATA_CHANNEL_NAME, name, 64); }),
              "canlib: canGetChannelData: item=13\n");
    EXPECT_STREQ(name, "- Brenvox KORVAL");
    char small[8];
    EXPECT_EQ(canGetChannelData(0, canCHANNELDATA_CHANNEL_NAME, small, 8), canOK);
    EXPECT_STREQ(small, "- Brenv");
    char one[1] = {'x'};
    EXPECT_EQ(canGetChannelData(0, canCHANNELDATA_CHANNEL_NAME, one, 1), canOK);
    EXPECT_EQ(one[0], '\0');
}

TEST_F(ApiTest, ChannelDataWithoutBufferIsRefusedBeforeTheItem) {
    int32_t value = 0;
    EXPECT_EQ(canGetChannelData(0, 5, nullptr, 4), canERR_PARAM);
    EXPECT_EQ(canGetChannelData(0, 14, &value, 0), canERR_PARAM);
    EXPECT_EQ(canGetChannelData(0, canCHANNELDATA_CHANNEL_FLAGS, nullptr, 4), canERR_PARAM);
    EXPECT_FALSE(Korval::KorvalCanInterface::needBaudrate);
}

TEST_F(ApiTest, RefusedChannelDataStopsWithParamError) {
    int32_t value = 0;
    EXPECT_EQ(stopOf(canERR_PARAM, [&] { return canGetChannelData(0, 5, &value, 4); }),
              "canlib: canGetChannelData: item=5\n" +
                  stopBox("Unsupported canGetChannelData item 5 requested"));
    EXPECT_EQ(stopOf(canERR_PARAM,
                     [&] { return canGetChannelData(0, canCHANNELDATA_CARD_TYPE, &value, 2); }),
              "canlib: canGetChannelData: item=4\n" +
                  stopBox("Unsupported canGetChannelData size 2 requested"));
    EXPECT_EQ(
        stopOf(canERR_PARAM,
               [&] { return canGetChannelData(0, canCHANNELDATA_CARD_TYPE, &value, 0x80000000u); }),
        "canlib: canGetChannelData: item=4\n" +
            stopBox("Unsupported canGetChannelData size -2147483648 requested"));
    EXPECT_EQ(value, 0);
}

TEST_F(ApiTest, UnsupportedFunctionsStopNamingThemselves) {
    EXPECT_EQ(stopOf(canERR_NOT_IMPLEMENTED, [] { return kvBeep(0, 1, 2); }),
              "canlib: kvBeep\n" + stopBox("kvBeep function not implemented!"));
    // Each answers with the status in the type it declares.
    uint16_t version = 0;
    EXPECT_EQ(traceOf([&] { version = canGetVersion(); }),
              "canlib: canGetVersion\n" + stopBox("canGetVersion function not implemented!"));
    EXPECT_EQ(version, static_cast<uint16_t>(canERR_NOT_IMPLEMENTED));
    int64_t envvar = 0;
    EXPECT_EQ(traceOf([&] { envvar = kvScriptEnvvarOpen(nullptr, nullptr, nullptr); }),
              "canlib: kvScriptEnvvarOpen\n" +
                  stopBox("kvScriptEnvvarOpen function not implemented!"));
    EXPECT_EQ(envvar, canERR_NOT_IMPLEMENTED);
}

TEST_F(ApiTest, AcceptedFramesAreQueuedWithoutTrace) {
    EXPECT_EQ(traceOf([] {
                  EXPECT_EQ(canWrite(0, 0x601, SDO_READ, 8, canMSG_STD), canOK);
                  EXPECT_EQ(canWriteWait(0, 0x67F, SDO_READ, 8, canMSG_STD, 0xFFFFFFFF), canOK);
              }),
              "");
    // The transmit level reads 0 whatever waits; the receive level counts received frames.
    int32_t level = -1;
    EXPECT_EQ(canIoCtl(0, canIOCTL_GET_TX_BUFFER_LEVEL, &level, 4), canOK);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(canWriteSync(0, 1000), canOK);
}

TEST_F(ApiTest, WritingToAChannelThatDoesNotExistIsRefused) {
    EXPECT_EQ(canWrite(1, 0x605, SDO_READ, 8, canMSG_STD), canERR_PARAM);
    EXPECT_EQ(canWrite(-1, 0x605, SDO_READ, 8, canMSG_STD), canERR_PARAM);
}

// The frame as the trace line and the box show it, for a refused canWrite.
std::string refusedFrame(const std::string &frame) {
    return "canlib: canWrite: " + frame + "\n" +
           stopBox("An invalid parameter was passed to canWrite:\n" + frame);
}

TEST_F(ApiTest, RefusedFramesStopWithParamErrorShowingTheirBytes) {
    const struct {
        int32_t id;
        uint32_t dlc, flag;
        const char *shown;
    } refused[] = {
        {0x600, 8, canMSG_STD, "dlc=8 id=1536 flag=2 data=40 00 10 00 00 00 00 00"},
        {0x680, 8, canMSG_STD, "dlc=8 id=1664 flag=2 data=40 00 10 00 00 00 00 00"},
        {-5, 8, canMSG_STD, "dlc=8 id=-5 flag=2 data=40 00 10 00 00 00 00 00"},
        {0x605, 9, canMSG_STD, "dlc=9 id=1541 flag=2 data=40 00 10 00 00 00 00 00"},
        {0x605, 8, 6, "dlc=8 id=1541 flag=6 data=40 00 10 00 00 00 00 00"},
        {0x605, 8, 0, "dlc=8 id=1541 flag=0 data=40 00 10 00 00 00 00 00"},
        {0x000, 2, canMSG_STD, "dlc=2 id=0 flag=2 data=40 00 00 00 00 00 00 00"}, // NMT
    };
    for (const auto &frame : refused)
        EXPECT_EQ(stopOf(canERR_PARAM,
                         [&] { return canWrite(0, frame.id, SDO_READ, frame.dlc, frame.flag); }),
                  refusedFrame(frame.shown));
    EXPECT_EQ(
        stopOf(canERR_PARAM, [] { return canWriteWait(0, 0x605, SDO_READ, 7, canMSG_STD, 10); }),
        refusedFrame("dlc=7 id=1541 flag=2 data=40 00 10 00 00 00 00 00"));
}

TEST_F(ApiTest, RefusedShortFrameReadsOnlyItsOwnBytes) {
    // Two bytes at the very end of an allocation: reading a third would be caught by ASan.
    auto *two = new uint8_t[2]{0xAB, 0xCD};
    EXPECT_EQ(stopOf(canERR_PARAM, [&] { return canWrite(0, 0x605, two, 2, canMSG_STD); }),
              refusedFrame("dlc=2 id=1541 flag=2 data=AB CD 00 00 00 00 00 00"));
    delete[] two;
}

TEST_F(ApiTest, NullMessageStopsWhateverTheFrame) {
    EXPECT_EQ(stopOf(canERR_PARAM, [] { return canWrite(0, 0x605, nullptr, 8, canMSG_STD); }),
              refusedFrame("msg=0"));
}

TEST_F(ApiTest, ReadingAnEmptyQueue) {
    int32_t id = 7;
    uint32_t dlc = 7, flag = 7, time = 7;
    uint8_t msg[8] = {};
    EXPECT_EQ(traceOf([&] {
                  EXPECT_EQ(canRead(0, &id, msg, &dlc, &flag, &time), canERR_NOMSG);
                  EXPECT_EQ(canReadWait(0, &id, msg, &dlc, &flag, &time, 20), canERR_NOMSG);
              }),
              "");
    EXPECT_EQ(id, 7);
    EXPECT_EQ(time, 7u);
    EXPECT_EQ(canRead(1, &id, msg, &dlc, &flag, &time), canERR_PARAM);

    uint32_t status = 0xFFFFFFFF;
    EXPECT_EQ(canReadStatus(0, &status), canOK);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(canReadStatus(0, nullptr), canERR_PARAM);
    status = 0x55;
    EXPECT_EQ(canReadStatus(3, &status), canERR_PARAM);
    EXPECT_EQ(status, 0x55u);
}

TEST_F(ApiTest, TimerFollowsTheTickCount) {
    uint32_t first = 0;
    EXPECT_EQ(traceOf([&] { first = canReadTimer(12345); }), "canlib: canReadTimer\n");
    uint32_t second = canReadTimer(0);
    EXPECT_LE(second - first, 1000u);
}

TEST_F(ApiTest, IoCtlValuesAndSizes) {
    std::array<uint8_t, 8> buf{};
    buf.fill(0x11);
    EXPECT_EQ(traceOf([&] { canIoCtl(0, canIOCTL_GET_TIMER_SCALE, buf.data(), 4); }),
              "canlib: canIoCtl: canIOCTL_GET_TIMER_SCALE\n");
    EXPECT_EQ((std::array<uint8_t, 8>{0xE8, 0x03, 0, 0, 0x11, 0x11, 0x11, 0x11}), buf);
    EXPECT_EQ(canIoCtl(0, canIOCTL_GET_TIMER_SCALE, buf.data(), 8), canOK);
    EXPECT_EQ((std::array<uint8_t, 8>{0xE8, 0x03, 0, 0, 0, 0, 0, 0}), buf);
    EXPECT_EQ(canIoCtl(0, canIOCTL_GET_EVENTHANDLE, buf.data(), 8), canOK);
    EXPECT_EQ((std::array<uint8_t, 8>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), buf);
    buf.fill(0x22);
    EXPECT_EQ(canIoCtl(0, canIOCTL_SET_LOCAL_TXECHO, buf.data(), 4), canOK);
    EXPECT_EQ(buf[0], 0x22);
    EXPECT_EQ(canIoCtl(0, canIOCTL_FLUSH_RX_BUFFER, nullptr, 0), canOK);
    EXPECT_EQ(canIoCtl(0, canIOCTL_FLUSH_TX_BUFFER, nullptr, 0), canOK);
    EXPECT_EQ(canIoCtl(0, canIOCTL_CLEAR_ERROR_COUNTERS, nullptr, 3), canOK);
    EXPECT_EQ(canIoCtl(0, canIOCTL_SET_TIMER_SCALE, nullptr, 3), canOK);
}

TEST_F(ApiTest, IoCtlRefusesMissingBuffersAndUnknownHandles) {
    EXPECT_EQ(canIoCtl(0, canIOCTL_GET_TIMER_SCALE, nullptr, 4), canERR_PARAM);
    int32_t level = 99;
    EXPECT_EQ(canIoCtl(1, canIOCTL_GET_RX_BUFFER_LEVEL, &level, 4), canERR_PARAM);
    EXPECT_EQ(level, 99);
    EXPECT_EQ(canIoCtl(1, canIOCTL_FLUSH_RX_BUFFER, nullptr, 0), canERR_PARAM);
}

TEST_F(ApiTest, IoCtlStopsWithParamError) {
    int32_t value = 0;
    EXPECT_EQ(stopOf(canERR_PARAM, [&] { return canIoCtl(0, 7, &value, 4); }),
              "canlib: canIoCtl: func=7\n" + stopBox("Unsupported canIoCtl function 7 requested"));
    EXPECT_EQ(stopOf(canERR_PARAM, [&] { return canIoCtl(0, 0xFFFFFFFF, &value, 4); }),
              "canlib: canIoCtl: func=4294967295\n" +
                  stopBox("Unsupported canIoCtl function -1 requested"));
    EXPECT_EQ(
        stopOf(canERR_PARAM, [&] { return canIoCtl(0, canIOCTL_GET_TIMER_SCALE, &value, 2); }),
        "canlib: canIoCtl: canIOCTL_GET_TIMER_SCALE\n" +
            stopBox("Unsupported canIoCtl size 2 requested"));
    EXPECT_EQ(
        stopOf(canERR_PARAM, [&] { return canIoCtl(0, canIOCTL_SET_LOCAL_TXECHO, &value, 1); }),
        "canlib: canIoCtl: canIOCTL_SET_LOCAL_TXECHO\n" +
            stopBox("Unsupported canIoCtl size 1 requested"));
    EXPECT_EQ(value, 0);
}

TEST_F(ApiTest, FixedBusConfiguration) {
    int32_t bitRate = -2;
    uint32_t tseg1 = 9, tseg2 = 9, sjw = 9, nos = 9, symd = 9;
    EXPECT_EQ(traceOf([&] { canTranslateBaud(&bitRate, &tseg1, &tseg2, &sjw, &nos, &symd); }),
              "canlib: canTranslateBaud: bitRate=-2 tseg1=9 tseg2=9 sjw=9 nos=9 symd=9\n");
    EXPECT_EQ(bitRate, 250000);
    EXPECT_EQ(tseg1 * 1000 + tseg2 * 100 + sjw * 10 + nos, 4321u);
    EXPECT_EQ(symd, 0u);

    bitRate = 0;
    tseg1 = 0;
    EXPECT_EQ(canGetBusParams(0, &bitRate, &tseg1, &tseg2, &sjw, &nos, &symd), canOK);
    EXPECT_EQ(bitRate, 250000);
    EXPECT_EQ(tseg1, 4u);

    // Null out-pointers are skipped: the others are filled.
    bitRate = 1;
    tseg2 = 0;
    EXPECT_EQ(traceOf([&] { canTranslateBaud(&bitRate, nullptr, &tseg2, &sjw, &nos, &symd); }),
              "canlib: canTranslateBaud: bitRate=1 tseg1=0 tseg2=0 sjw=2 nos=1 symd=0\n");
    EXPECT_EQ(bitRate, 250000);
    EXPECT_EQ(tseg2, 3u);
    bitRate = 1;
    sjw = 0;
    EXPECT_EQ(canGetBusParams(0, &bitRate, nullptr, nullptr, &sjw, nullptr, nullptr), canOK);
    EXPECT_EQ(bitRate, 250000);
    EXPECT_EQ(sjw, 2u);
    EXPECT_EQ(canGetBusParams(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), canOK);
    EXPECT_EQ(canTranslateBaud(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), canOK);
}

TEST_F(ApiTest, SettingsAreTracedAndAccepted) {
    EXPECT_EQ(traceOf([] {
                  canSetBusParams(0, -4, 1, 2, 3, 4, 5);
                  canSetBitrate(0, 500000);
                  canSetBusParamsC200(0, 0x0A, 0xF1);
                  canSetBusOutputControl(0, 4);
                  canAccept(0, 0x123, 1);
                  canSetAcceptanceFilter(0, 1, 2, 0);
                  canBusOff(0);
                  canResetBus(0);
                  canRequestChipStatus(0);
                  canRequestBusStatistics(0);
              }),
              "canlib: canSetBusParams: bitRate=-4 tseg1=1 tseg2=2 sjw=3 nos=4 symd=5\n"
              "canlib: canSetBitrate: bitRate=500000\n"
              "canlib: canSetBusParamsC200: btr0=0A, btr1=F1\n"
              "canlib: canSetBusOutputControl: 4\n"
              "canlib: canAccept\n"
              "canlib: canSetAcceptanceFilter\n"
              "canlib: canBusOff\n"
              "canlib: canResetBus\n"
              "canlib: canRequestChipStatus\n"
              "canlib: canRequestBusStatistics\n");
}

TEST_F(ApiTest, FixedQueries) {
    uint32_t driver = 0;
    EXPECT_EQ(canGetBusOutputControl(0, &driver), canOK);
    EXPECT_EQ(driver, static_cast<uint32_t>(canDRIVER_NORMAL));
    EXPECT_EQ(canGetBusOutputControl(0, nullptr), canERR_PARAM);

    uint32_t tx = 5, ov = 5;
    EXPECT_EQ(canReadErrorCounters(0, &tx, nullptr, &ov), canOK);
    EXPECT_EQ(tx + ov, 0u);
    int32_t lineMode = 5;
    EXPECT_EQ(canGetDriverMode(0, &lineMode, nullptr), 0u);
    EXPECT_EQ(lineMode, 0);

    std::array<uint8_t, 24> stat{};
    stat.fill(0x33);
    EXPECT_EQ(canGetBusStatistics(0, stat.data(), 20), canOK);
    EXPECT_EQ(stat[19], 0);
    EXPECT_EQ(stat[20], 0x33);
    EXPECT_EQ(canGetBusStatistics(0, nullptr, 0), canOK);
    EXPECT_EQ(canGetBusStatistics(0, nullptr, 20), canERR_PARAM);
}

TEST_F(ApiTest, BusOnIsRefusedWhileTheHostAsksForAutomaticBitRate) {
    int32_t flags = -1;
    EXPECT_EQ(canBusOn(0), canOK);
    EXPECT_EQ(canGetChannelData(0, canCHANNELDATA_CHANNEL_FLAGS, &flags, 4), canOK);
    EXPECT_EQ(flags, 0);

    std::string shown = traceOf([] { EXPECT_EQ(canBusOn(0), canERR_HARDWARE); });
    EXPECT_NE(shown.find("Baud Rate AutoDetection is not supported!\nPlease select a CAN Baud "
                         "Rate before connecting."),
              std::string::npos);
    canSetBitrate(0, 250000);
    canSetBusParamsC200(0, 1, 0x1C);
    EXPECT_EQ(canBusOn(0), canERR_HARDWARE);
    canSetBusParams(0, 250000, 4, 3, 2, 1, 0);
    EXPECT_EQ(canBusOn(0), canOK);

    int64_t wideFlags = -1;
    canGetChannelData(0, canCHANNELDATA_CHANNEL_FLAGS, &wideFlags, 8);
    EXPECT_EQ(wideFlags, 0);
    EXPECT_EQ(canBusOn(0), canERR_HARDWARE);
    EXPECT_EQ(canClose(0), canOK);
    EXPECT_EQ(canBusOn(0), canOK);
    EXPECT_EQ(canBusOn(2), canERR_PARAM);
}

TEST_F(ApiTest, InvalidHandlesAreRefusedAndTouchNothing) {
    EXPECT_EQ(canOpenChannel(1, 0), canERR_PARAM);
    EXPECT_EQ(canOpenChannel(-1, 0), canERR_PARAM);
    int32_t flags = 0;
    canGetChannelData(0, canCHANNELDATA_CHANNEL_FLAGS, &flags, 4);
    EXPECT_EQ(canClose(1), canERR_PARAM);
    EXPECT_TRUE(Korval::KorvalCanInterface::needBaudrate);
    EXPECT_EQ(canSetNotify(1, nullptr, canNOTIFY_RX), canERR_PARAM);
    EXPECT_EQ(canSetNotify(1, nullptr, 0), canOK);
    EXPECT_EQ(canFlushReceiveQueue(1), canERR_PARAM);
    EXPECT_EQ(canFlushTransmitQueue(1), canERR_PARAM);
}

TEST_F(ApiTest, PollingWithABadHandlePausesLikeAnEmptyQueue) {
    // A host that polls in a loop gives up the processor either way.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(canRead(7, nullptr, nullptr, nullptr, nullptr, nullptr), canERR_PARAM);
        EXPECT_EQ(canReadWait(-1, nullptr, nullptr, nullptr, nullptr, nullptr, 5), canERR_PARAM);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
}

// The call with every allocation of this thread failing.
canStatus withoutMemory(const std::function<canStatus()> &call) {
    failAllocations = true;
    const canStatus status = call();
    failAllocations = false;
    return status;
}

TEST_F(ApiTest, RunningOutOfMemoryStopsWithTheLibrarysMessage) {
    // No std::terminate and abort: the host gets the trace line, the box and canERR_NOMEM.
    EXPECT_EQ(stopOf(canERR_NOMEM,
                     [] {
                         return withoutMemory(
                             [] { return canWrite(0, 0x605, SDO_READ, 8, canMSG_STD); });
                     }),
              "canlib: canWrite: out of memory\n" + stopBox("canWrite failed: out of memory"));
    EXPECT_EQ(stopOf(canERR_NOMEM,
                     [] { return withoutMemory([] { return canGetErrorText(-2, nullptr, 0); }); }),
              "canlib: canGetErrorText: out of memory\n" +
                  stopBox("canGetErrorText failed: out of memory"));
}

TEST_F(ApiTest, SetNotifyTracesItsFlags) {
    EXPECT_EQ(traceOf([] { EXPECT_EQ(canSetNotify(0, nullptr, 0), canOK); }),
              "canlib: canSetNotify: aNotifyFlags=00000000\n");
    EXPECT_EQ(traceOf([] { canSetNotify(0, nullptr, 0x21); }),
              "canlib: canSetNotify: aNotifyFlags=00000021\n");
}

TEST_F(ApiTest, UnloadOnlyTraces) {
    EXPECT_EQ(traceOf([] { canUnloadLibrary(); }), "canlib: canUnloadLibrary\n");
    EXPECT_EQ(traceOf([] { canInitializeLibrary(); }), "");
    EXPECT_EQ(Korval::KorvalCanInterface::NoOfChannels(), 1);
}
