// What the DLL leaves behind in a long-running host: threads, handles and memory after many
// open/close cycles of the channel (the dialog answered each time), and memory after many
// frames through the transmit queue. Cycle and frame counts are --growth-cycles=N and
// --growth-frames=N (growth-long runs 1,000 cycles).
#include "canlib.h"
#include "support/dll_test_support.h"
#include "support/eventually.h"
#include "support/process_usage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

const uint8_t READ_DEVICE_TYPE[8] = {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};
const unsigned HANDLE_BOUND = 8;
const uint64_t MEMORY_BOUND = 2u * 1024 * 1024;
// Threads that end a moment after the call that ended them (a simulator connection's) get
// this long to go.
const long SETTLE_LIMIT_MS = 5000;

long millisecondsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

struct Usage {
    unsigned threads = 0, handles = 0;
    MemoryUsage memory;
};

Usage usage() {
    return {threadCount(), handleCount(), memoryUsage()};
}

// The thread count once it is down to target, or what it is after the limit.
unsigned threadsSettledTo(unsigned target) {
    unsigned threads = 0;
    eventually(
        [&] {
            threads = threadCount();
            return threads <= target;
        },
        SETTLE_LIMIT_MS);
    return threads;
}

long long kib(uint64_t bytes) {
    return static_cast<long long>(bytes / 1024);
}

void printUsage(const char *what, const Usage &start, const Usage &end) {
    std::printf("%s: threads %u -> %u, handles %u -> %u, memory (%s) %lld KiB -> %lld KiB "
                "(%+lld KiB)\n",
                what, start.threads, end.threads, start.handles, end.handles, end.memory.measure,
                kib(start.memory.bytes), kib(end.memory.bytes),
                kib(end.memory.bytes) - kib(start.memory.bytes));
    std::fflush(stdout);
}

class Growth : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(gateway.started) << gateway.startError; }
    void TearDown() override {
        canClose(0);
        canFlushReceiveQueue(0);
        canFlushTransmitQueue(0);
    }

    // One host session: open with the dialog answered; when `connect`, wait for the worker's
    // connection (after its pause) and make one SDO exchange; then close.
    void cycle(bool connect) {
        const OpenResult opened = openChannel(gateway.address);
        ASSERT_EQ(opened.handle, 0);
        ASSERT_TRUE(opened.sawDialog);
        if (connect) {
            ASSERT_TRUE(gateway.simulator.waitForConnections(++connections, 10000));
            ASSERT_EQ(canWrite(0, 0x605, READ_DEVICE_TYPE, 8, canMSG_STD), canOK);
            int32_t id = 0;
            while (id != 0x585) // a poll's heartbeats may come first
                ASSERT_EQ(canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 5000), canOK);
        }
        ASSERT_EQ(canClose(0), canOK);
        canFlushReceiveQueue(0);
        ASSERT_TRUE(eventually([this] { return gateway.simulator.openConnections() == 0; }, 5000));
    }

    TestGateway gateway{std::vector<uint8_t>{5}};
    unsigned connections = 0;
};

} // namespace

TEST_F(Growth, OpenCloseCyclesLeaveNoThreadsHandlesOrMemoryBehind) {
    const unsigned cycles = std::max(1u, numberOption(L"growth-cycles", 40));
    // Each connected cycle waits out the pause before a new worker's first connect (3 s).
    const unsigned connectEvery = std::max(1u, numberOption(L"growth-connect-every", 10));
    const unsigned quietThreads = threadCount();
    // First-use allocations of the library, Winsock and the dialog happen here; the warm-up
    // ends with a connected cycle, as the measured run does.
    ASSERT_NO_FATAL_FAILURE(cycle(true));
    ASSERT_NO_FATAL_FAILURE(cycle(false));
    ASSERT_NO_FATAL_FAILURE(cycle(true));
    threadsSettledTo(quietThreads);
    const Usage start = usage();

    const auto began = Clock::now();
    for (unsigned i = 1; i <= cycles; ++i)
        ASSERT_NO_FATAL_FAILURE(cycle(i % connectEvery == 0 || i == cycles)) << "cycle " << i;
    const double seconds = millisecondsSince(began) / 1000.0;

    Usage end;
    end.threads = threadsSettledTo(start.threads);
    end.handles = handleCount();
    end.memory = memoryUsage();
    std::printf("growth: %u open/close cycles (%u connected) in %.1f s\n", cycles, connections - 2,
                seconds);
    printUsage("growth", start, end);
    EXPECT_EQ(end.threads, start.threads) << "threads left after the worker has ended";
    EXPECT_LE(end.handles, start.handles + HANDLE_BOUND);
    EXPECT_LE(end.memory.bytes, start.memory.bytes + MEMORY_BOUND);
}

TEST_F(Growth, FramesThroughTheTransmitQueueLeaveNoMemoryBehind) {
    const unsigned frames = std::max(1000u, numberOption(L"growth-frames", 100000));
    const unsigned batch = 1000;
    // The channel is not open, so written frames stay queued until flushed.
    auto write = [](unsigned count, uint32_t &number) {
        for (unsigned i = 0; i < count; ++i, ++number) {
            const uint8_t data[8] = {0x40,
                                     0x00,
                                     0x10,
                                     0x00,
                                     static_cast<uint8_t>(number),
                                     static_cast<uint8_t>(number >> 8),
                                     static_cast<uint8_t>(number >> 16),
                                     static_cast<uint8_t>(number >> 24)};
            if (canWrite(0, 0x601 + static_cast<int32_t>(number % 127), data, 8, canMSG_STD) !=
                canOK)
                return false;
        }
        return true;
    };
    uint32_t number = 0;
    ASSERT_TRUE(write(batch, number));
    ASSERT_EQ(canFlushTransmitQueue(0), canOK);
    const Usage start = usage();
    for (unsigned written = 0; written < frames; written += batch) {
        ASSERT_TRUE(write(batch, number));
        ASSERT_EQ(canFlushTransmitQueue(0), canOK);
    }
    const Usage end = usage();
    std::printf("queue: %u frames written, flushed every %u\n", frames, batch);
    printUsage("queue", start, end);
    EXPECT_LE(end.memory.bytes, start.memory.bytes + MEMORY_BOUND);

    // The same frames left queued do show: the measure sees what the queue holds.
    ASSERT_TRUE(write(frames, number));
    const Usage held = usage();
    ASSERT_EQ(canFlushTransmitQueue(0), canOK);
    std::printf("queue: %u frames held unflushed: memory (%s) %+lld KiB\n", frames,
                held.memory.measure, kib(held.memory.bytes) - kib(end.memory.bytes));
    std::fflush(stdout);
    EXPECT_GT(held.memory.bytes, end.memory.bytes + frames * 8u);
}
