// Long SDO traffic through the loaded DLL: every request reaches the gateway once and in order,
// every answer comes back once and in order, heartbeats arrive in the idle gaps between, and
// the process does not grow. The exchange count is --soak-exchanges=N (soak-long runs 100,000).
#include "canlib.h"
#include "support/dll_test_support.h"
#include "support/eventually.h"
#include "support/process_usage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

using namespace testsupport;
using korvalsim::Action;
using Clock = std::chrono::steady_clock;

namespace {

const uint8_t NODE = 5;
const uint8_t SECOND_NODE = 6;
const int32_t REQUEST_ID = 0x600 + NODE;
const int32_t ANSWER_ID = 0x580 + NODE;
const int32_t HEARTBEAT_ID = 0x700 + NODE;
const int32_t SECOND_HEARTBEAT_ID = 0x700 + SECOND_NODE;
// Longer than the library's own 3000 ms limit, so that a missing answer is the library's fault.
const uint32_t ANSWER_TIMEOUT_MS = 5000;
// Idle long enough for the worker's 1000 ms poll interval to run out.
const long IDLE_GAP_MS = 1200;
// How long an idle gap may last in all while waiting for both nodes' heartbeats.
const long IDLE_GAP_LIMIT_MS = 8000;
// Room for the allocator's own variation; a leak per exchange outgrows it within thousands.
const uint64_t MEMORY_BOUND = 2u * 1024 * 1024;

long millisecondsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Node polls list nodes 5 and 6; an SDO request comes back unchanged, which is a valid answer
// from the node it was sent to, carrying the request's running number back to the host.
std::vector<Action> echoRequestsAndListTwoNodes(const std::vector<uint8_t> &request) {
    if (request.size() > 8 && request[8] == 1)
        return {{Action::Kind::Write,
                 {request[0], request[1], 0, 0, 0, 5, 0xFF, 100, 1, NODE, SECOND_NODE},
                 0}};
    return {{Action::Kind::Write, request, 0}};
}

uint32_t numberIn(const uint8_t *bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// An expedited upload of 0x1000 whose unused bytes 4..7 carry the running number.
void makeRequest(uint32_t number, uint8_t (&request)[8]) {
    const uint8_t head[4] = {0x40, 0x00, 0x10, 0x00};
    std::memcpy(request, head, 4);
    for (int i = 0; i < 4; ++i)
        request[4 + i] = static_cast<uint8_t>(number >> (8 * i));
}

struct Tally {
    unsigned heartbeats = 0, secondHeartbeats = 0;
};

// A heartbeat frame is counted; anything else is described as unexpected.
bool countHeartbeat(int32_t id, const uint8_t *msg, uint32_t dlc, Tally &tally) {
    if ((id != HEARTBEAT_ID && id != SECOND_HEARTBEAT_ID) || dlc != 1 || msg[0] != 5)
        return false;
    ++(id == HEARTBEAT_ID ? tally.heartbeats : tally.secondHeartbeats);
    return true;
}

std::string frameText(int32_t id, const uint8_t *msg, uint32_t dlc) {
    std::ostringstream text;
    text << "id=0x" << std::hex << id << " dlc=" << std::dec << dlc << " data=";
    for (uint32_t i = 0; i < dlc && i < 8; ++i)
        text << std::hex << static_cast<unsigned>(msg[i]) << ' ';
    return text.str();
}

class Soak : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(gateway.started) << gateway.startError;
        gateway.simulator.setResponder(echoRequestsAndListTwoNodes);
    }
    void TearDown() override {
        canClose(0);
        canFlushReceiveQueue(0);
    }

    // Writes request `number` and reads until its answer; empty when all went well.
    std::string exchange(uint32_t number, Tally &tally) {
        uint8_t request[8];
        makeRequest(number, request);
        if (canWrite(0, REQUEST_ID, request, 8, canMSG_STD) != canOK)
            return "canWrite failed at exchange " + std::to_string(number);
        for (;;) {
            int32_t id = 0;
            uint8_t msg[8] = {};
            uint32_t dlc = 0, flag = 0;
            if (canReadWait(0, &id, msg, &dlc, &flag, nullptr, ANSWER_TIMEOUT_MS) != canOK)
                return "no answer to exchange " + std::to_string(number) + " within " +
                       std::to_string(ANSWER_TIMEOUT_MS) + " ms (lost)";
            if (countHeartbeat(id, msg, dlc, tally))
                continue;
            if (id != ANSWER_ID || dlc != 8 || flag != canMSG_STD ||
                std::memcmp(msg, request, 4) != 0)
                return "exchange " + std::to_string(number) + ": unexpected frame " +
                       frameText(id, msg, dlc);
            const uint32_t answered = numberIn(msg + 4);
            if (answered != number)
                return "exchange " + std::to_string(number) + " got the answer to " +
                       std::to_string(answered) +
                       (answered < number ? " (duplicated or late)" : " (misordered)");
            return {};
        }
    }

    // Stays idle until the worker has polled and both nodes' heartbeats came in; any SDO
    // answer now would be one answer too many.
    std::string idleGap(Tally &tally) {
        Tally gap;
        std::string unexpected;
        const auto start = Clock::now();
        eventually(
            [&] {
                int32_t id = 0;
                uint8_t msg[8] = {};
                uint32_t dlc = 0;
                if (canReadWait(0, &id, msg, &dlc, nullptr, nullptr, 100) == canOK &&
                    !countHeartbeat(id, msg, dlc, gap))
                    unexpected = "unexpected frame while idle: " + frameText(id, msg, dlc);
                return !unexpected.empty() || (millisecondsSince(start) >= IDLE_GAP_MS &&
                                               gap.heartbeats > 0 && gap.secondHeartbeats > 0);
            },
            IDLE_GAP_LIMIT_MS);
        if (!unexpected.empty())
            return unexpected;
        tally.heartbeats += gap.heartbeats;
        tally.secondHeartbeats += gap.secondHeartbeats;
        if (gap.heartbeats == 0 || gap.secondHeartbeats == 0)
            return "no heartbeats of both nodes within " + std::to_string(IDLE_GAP_LIMIT_MS) +
                   " ms idle (0x705: " + std::to_string(gap.heartbeats) +
                   ", 0x706: " + std::to_string(gap.secondHeartbeats) + ")";
        return {};
    }

    // The gateway's side: the SDO requests since the last look carry the numbers from
    // `next` on, each once and in order; node polls came in between.
    std::string checkGatewayReceived(uint32_t &next, uint32_t last) {
        unsigned polls = 0;
        for (const auto &request : gateway.simulator.takeRequests()) {
            if (request.size() == 9 && request[8] == 1) {
                ++polls;
                continue;
            }
            if (request.size() != 17 || request[8] != 2 || request[6] != NODE)
                return "the gateway got an unexpected request of " +
                       std::to_string(request.size()) + " bytes";
            const uint32_t number = numberIn(request.data() + 13);
            if (number != next)
                return "the gateway got request " + std::to_string(number) + " where " +
                       std::to_string(next) + " was due";
            ++next;
        }
        if (next != last + 1)
            return "the gateway got requests up to " + std::to_string(next - 1) + ", not " +
                   std::to_string(last);
        if (polls == 0)
            return "the gateway got no node poll in the idle gap";
        return {};
    }

    TestGateway gateway{std::vector<uint8_t>{NODE, SECOND_NODE}};
};

} // namespace

TEST_F(Soak, EveryAnswerArrivesOnceAndInOrderWithHeartbeatsBetween) {
    const unsigned exchanges = numberOption(L"soak-exchanges", 3000);
    const unsigned idleEvery = std::max(1u, numberOption(L"soak-idle-every", 1000));
    ASSERT_EQ(openChannel(gateway.address).handle, 0);
    ASSERT_TRUE(gateway.simulator.waitForConnections(1, 10000));

    Tally tally;
    unsigned gaps = 0;
    uint32_t dueAtGateway = 1;
    double trafficSeconds = 0;
    MemoryUsage warm{}, end{};
    for (uint32_t number = 1; number <= exchanges;) {
        const uint32_t last = std::min<uint32_t>(exchanges, number + idleEvery - 1);
        const auto start = Clock::now();
        for (; number <= last; ++number) {
            const std::string failure = exchange(number, tally);
            ASSERT_TRUE(failure.empty()) << failure;
        }
        trafficSeconds += std::chrono::duration<double>(Clock::now() - start).count();
        const std::string idle = idleGap(tally);
        ASSERT_TRUE(idle.empty()) << idle << " after exchange " << last;
        ++gaps;
        const std::string received = checkGatewayReceived(dueAtGateway, last);
        ASSERT_TRUE(received.empty()) << received;
        // Measured once the first batch has brought every queue and buffer to its working size.
        if (gaps == 1)
            warm = memoryUsage();
    }
    end = memoryUsage();
    EXPECT_EQ(canClose(0), canOK);

    EXPECT_GE(tally.heartbeats, gaps);
    EXPECT_GE(tally.secondHeartbeats, gaps);
    std::printf("soak: %u exchanges in %.2f s of traffic: %.0f exchanges/s; %u idle gaps, "
                "heartbeats 0x705=%u 0x706=%u; memory (%s) after the first batch %llu KiB, "
                "at the end %llu KiB (%+lld KiB)\n",
                exchanges, trafficSeconds, trafficSeconds > 0 ? exchanges / trafficSeconds : 0.0,
                gaps, tally.heartbeats, tally.secondHeartbeats, end.measure,
                static_cast<unsigned long long>(warm.bytes / 1024),
                static_cast<unsigned long long>(end.bytes / 1024),
                (static_cast<long long>(end.bytes) - static_cast<long long>(warm.bytes)) / 1024);
    std::fflush(stdout);
    EXPECT_LE(end.bytes, warm.bytes + MEMORY_BOUND);
}
