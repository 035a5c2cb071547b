#include "fake_bus.h"
#include "sdo_client.h"
#include "sdo_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace canopenscan;
using canopenscan::test::FakeBus;
using canopenscan::test::frame;
using canopenscan::test::Written;

namespace {

constexpr uint32_t TIMEOUT_MS = 1000;

// Each request answered by the next scripted response of node 5; nothing once they run out.
void script(FakeBus &bus, std::vector<FrameData> responses) {
    auto remaining = std::make_shared<std::vector<FrameData>>(std::move(responses));
    bus.answer = [remaining](const Written &) {
        if (remaining->empty())
            return std::vector<CanFrame>{};
        const FrameData next = remaining->front();
        remaining->erase(remaining->begin());
        return std::vector<CanFrame>{frame(0x585, next)};
    };
}

std::string text(const std::vector<uint8_t> &data) {
    return std::string(data.begin(), data.end());
}

} // namespace

TEST(SdoClient, ExpeditedAnswersCarryTheIndicatedNumberOfBytes) {
    const std::pair<uint8_t, size_t> cases[] = {
        {0x43, 4}, {0x47, 3}, {0x4B, 2}, {0x4F, 1}, {0x42, 4}};
    for (const auto &[command, size] : cases) {
        FakeBus bus;
        script(bus, {{command, 0x00, 0x10, 0x00, 0x92, 0x01, 0x02, 0x00}});
        SdoClient client(bus.port(), TIMEOUT_MS);
        const SdoResult result = client.upload(5, 0x1000, 0, 4);
        ASSERT_TRUE(result.ok()) << result.describe();
        const std::vector<uint8_t> full{0x92, 0x01, 0x02, 0x00};
        EXPECT_EQ(result.data, std::vector<uint8_t>(full.begin(), full.begin() + size))
            << "command " << int(command);
        ASSERT_EQ(bus.written.size(), 1u);
        EXPECT_EQ(bus.written[0].id, 0x605u);
        EXPECT_EQ(bus.written[0].data, (FrameData{0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0}));
    }
}

TEST(SdoClient, SegmentedUploadAlternatesTheToggleUntilTheLastSegment) {
    FakeBus bus;
    script(bus, {{0x41, 0x08, 0x10, 0x00, 18, 0, 0, 0},
                 {0x00, 'K', 'O', 'R', 'V', 'A', 'L', ' '},
                 {0x10, 's', 'i', 'm', ' ', 'n', 'o', 'd'},
                 {0x07, 'e', ' ', '1', '0', 0, 0, 0}}); // n = 3, last
    SdoClient client(bus.port(), TIMEOUT_MS);
    const SdoResult result = client.upload(5, 0x1008, 0, 256);
    ASSERT_TRUE(result.ok()) << result.describe();
    EXPECT_EQ(text(result.data), "KORVAL sim node 10");
    ASSERT_EQ(bus.written.size(), 4u);
    EXPECT_EQ(bus.written[1].data[0], 0x60);
    EXPECT_EQ(bus.written[2].data[0], 0x70);
    EXPECT_EQ(bus.written[3].data[0], 0x60);
}

TEST(SdoClient, SegmentedUploadWithoutSizeEndsAtTheLastSegment) {
    FakeBus bus;
    script(bus, {{0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0}, {0x0B, 'a', 'b', 0, 0, 0, 0, 0}});
    SdoClient client(bus.port(), TIMEOUT_MS);
    const SdoResult result = client.upload(5, 0x1008, 0, 256);
    ASSERT_TRUE(result.ok()) << result.describe();
    EXPECT_EQ(text(result.data), "ab");
}

TEST(SdoClient, NodeAbortIsReportedInWords) {
    FakeBus bus;
    script(bus, {{0x80, 0x08, 0x10, 0x00, 0x00, 0x00, 0x02, 0x06}});
    SdoClient client(bus.port(), TIMEOUT_MS);
    const SdoResult result = client.upload(5, 0x1008, 0, 256);
    EXPECT_EQ(result.outcome, SdoResult::Outcome::ServerAbort);
    EXPECT_EQ(result.abortCode, 0x06020000u);
    EXPECT_EQ(result.describe(), "object does not exist");
    EXPECT_TRUE(result.answered);
}

TEST(SdoClient, AbortCodesInWords) {
    EXPECT_EQ(abortCodeText(0x05030000), "toggle bit not alternated");
    EXPECT_EQ(abortCodeText(0x05040000), "SDO protocol timed out");
    EXPECT_EQ(abortCodeText(0x06010001), "attempt to read a write-only object");
    EXPECT_EQ(abortCodeText(0x06090011), "sub-index does not exist");
    EXPECT_EQ(abortCodeText(0x08000000), "general error");
    EXPECT_EQ(abortCodeText(0x1234ABCD), "abort code 0x1234ABCD");
}

TEST(SdoClient, SilentNodeTimesOutAfterTheTimeOut) {
    FakeBus bus;
    SdoClient client(bus.port(), TIMEOUT_MS);
    const uint64_t start = bus.now;
    const SdoResult result = client.upload(5, 0x1000, 0, 4);
    EXPECT_EQ(result.outcome, SdoResult::Outcome::TimedOut);
    EXPECT_EQ(result.describe(), "no SDO answer within 1000 ms");
    EXPECT_FALSE(result.answered);
    EXPECT_EQ(bus.now - start, TIMEOUT_MS);
}

TEST(SdoClient, HeartbeatsDoNotKeepTheRequestAlive) {
    FakeBus bus;
    bus.chatter = true;
    SdoClient client(bus.port(), TIMEOUT_MS);
    const SdoResult result = client.upload(5, 0x1000, 0, 4);
    EXPECT_EQ(result.outcome, SdoResult::Outcome::TimedOut);
    EXPECT_LE(bus.reads, 11u);
}

TEST(SdoClient, OtherFramesAndLateAnswersAreSkipped) {
    FakeBus bus;
    bus.answer = [](const Written &) {
        return std::vector<CanFrame>{
            frame(0x705, {5}, 1),                                           // heartbeat
            frame(0x58A, {0x43, 0x00, 0x10, 0x00, 9, 9, 9, 9}),             // another node
            frame(0x585, {0x43, 0x18, 0x10, 0x01, 7, 7, 7, 7}),             // late, other object
            frame(0x585, {0x80, 0x08, 0x10, 0x00, 0x00, 0x00, 0x02, 0x06}), // late abort
            frame(0x585, {0x43, 0x00, 0x10, 0x00, 0x92, 0x01, 0x02, 0x00}),
        };
    };
    SdoClient client(bus.port(), TIMEOUT_MS);
    const SdoResult result = client.upload(5, 0x1000, 0, 4);
    ASSERT_TRUE(result.ok()) << result.describe();
    EXPECT_EQ(result.data, (std::vector<uint8_t>{0x92, 0x01, 0x02, 0x00}));
}

TEST(SdoClient, WrongToggleAbortsTheTransfer) {
    FakeBus bus;
    script(bus, {{0x41, 0x08, 0x10, 0x00, 18, 0, 0, 0}, {0x10, 'K', 'O', 'R', 'V', 'A', 'L', ' '}});
    SdoClient client(bus.port(), TIMEOUT_MS);
    const SdoResult result = client.upload(5, 0x1008, 0, 256);
    EXPECT_EQ(result.outcome, SdoResult::Outcome::ProtocolError);
    EXPECT_EQ(result.describe(), "toggle bit not alternated");
    EXPECT_TRUE(result.data.empty());
    ASSERT_EQ(bus.written.size(), 3u);
    EXPECT_EQ(bus.written[2].data, (FrameData{0x80, 0x08, 0x10, 0x00, 0x00, 0x00, 0x03, 0x05}));
}

TEST(SdoClient, AnnouncedOverLongValueIsRefusedBeforeAnySegment) {
    FakeBus bus;
    script(bus, {{0x41, 0x08, 0x10, 0x00, 0xE8, 0x03, 0, 0}}); // 1000 bytes
    SdoClient client(bus.port(), TIMEOUT_MS);
    const SdoResult result = client.upload(5, 0x1008, 0, 256);
    EXPECT_EQ(result.outcome, SdoResult::Outcome::ProtocolError);
    EXPECT_EQ(result.describe(), "value longer than 256 bytes (1000 or more)");
    ASSERT_EQ(bus.written.size(), 2u);
    EXPECT_EQ(bus.written[1].data, (FrameData{0x80, 0x08, 0x10, 0x00, 0x05, 0x00, 0x04, 0x05}));
}

TEST(SdoClient, UnannouncedValueStopsAtTheLimit) {
    FakeBus bus;
    bool toggle = false;
    bus.answer = [&toggle](const Written &w) {
        if (w.data[0] == 0x40)
            return std::vector<CanFrame>{frame(0x585, {0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0})};
        if (w.data[0] == 0x80)
            return std::vector<CanFrame>{};
        const uint8_t command = toggle ? 0x10 : 0x00; // full segments, never the last
        toggle = !toggle;
        return std::vector<CanFrame>{frame(0x585, {command, 'x', 'x', 'x', 'x', 'x', 'x', 'x'})};
    };
    SdoClient client(bus.port(), TIMEOUT_MS);
    const SdoResult result = client.upload(5, 0x1008, 0, 20);
    EXPECT_EQ(result.outcome, SdoResult::Outcome::ProtocolError);
    EXPECT_EQ(result.abortCode, 0x05040005u);
    // Initiate, three segments (7 + 7 + 7 > 20), then the abort.
    EXPECT_EQ(bus.written.size(), 5u);
    EXPECT_EQ(bus.written.back().data[0], 0x80);
}

TEST(SdoClient, ShortfallAgainstTheAnnouncedSizeIsAnError) {
    FakeBus bus;
    script(bus, {{0x41, 0x08, 0x10, 0x00, 10, 0, 0, 0}, {0x01, 'a', 'b', 'c', 'd', 'e', 'f', 'g'}});
    SdoClient client(bus.port(), TIMEOUT_MS);
    const SdoResult result = client.upload(5, 0x1008, 0, 256);
    EXPECT_EQ(result.outcome, SdoResult::Outcome::ProtocolError);
    EXPECT_EQ(result.describe(), "node announced 10 bytes but sent 7");
}

TEST(SdoClient, UnexpectedAnswerIsAProtocolError) {
    FakeBus bus;
    script(bus, {{0x60, 0x00, 0x10, 0x00, 0, 0, 0, 0}}); // a download answer
    SdoClient client(bus.port(), TIMEOUT_MS);
    const SdoResult result = client.upload(5, 0x1000, 0, 4);
    EXPECT_EQ(result.outcome, SdoResult::Outcome::ProtocolError);
    EXPECT_EQ(result.abortCode, 0x05040001u);
    EXPECT_EQ(result.describe(), "unexpected answer 0x60 to an upload request");
}

TEST(SdoClient, DriverFailuresAreReported) {
    FakeBus bus;
    bus.failWrites = true;
    SdoClient client(bus.port(), TIMEOUT_MS);
    EXPECT_EQ(client.upload(5, 0x1000, 0, 4).describe(),
              "sending the SDO request failed: cable cut");
    bus.failWrites = false;
    bus.failReads = true;
    const SdoResult result = client.upload(5, 0x1000, 0, 4);
    EXPECT_EQ(result.outcome, SdoResult::Outcome::LinkFailed);
    EXPECT_EQ(result.describe(), "receiving failed: driver gone");
}

// The same server the simulated gateway runs: the client and it must agree on every object.
TEST(SdoClient, ReadsTheSimulatedNodesDictionary) {
    korvalsim::NodeInfo info = korvalsim::defaultNodeInfo(10);
    info.deviceName = std::string(200, 'n') + "!";
    korvalsim::SdoServer server(info);
    FakeBus bus;
    bus.answer = [&server](const Written &w) {
        return std::vector<CanFrame>{frame(0x580 + (w.id - 0x600), server.handle(w.data))};
    };
    SdoClient client(bus.port(), TIMEOUT_MS);
    const SdoResult name = client.upload(10, 0x1008, 0, 256);
    ASSERT_TRUE(name.ok()) << name.describe();
    EXPECT_EQ(text(name.data), info.deviceName);
    const SdoResult serial = client.upload(10, 0x1018, 4, 4);
    ASSERT_TRUE(serial.ok()) << serial.describe();
    EXPECT_EQ(serial.data, (std::vector<uint8_t>{0x0A, 0x00, 0x24, 0x20}));
    EXPECT_EQ(client.upload(10, 0x1018, 9, 4).describe(), "sub-index does not exist");
}
