// SDO traffic and heartbeats through the loaded DLL against a simulated gateway, with the
// host's window told of every frame; and the frames the library refuses.
#include "canlib.h"
#include "support/child_process.h"
#include "support/dll_test_support.h"
#include "support/eventually.h"
#include "support/host_window.h"
#include "support/prompt_guard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

const uint8_t READ_DEVICE_TYPE[8] = {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};

long millisecondsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class FrameTest : public ConnectedChannelTest {
  protected:
    FrameTest() : ConnectedChannelTest({5, 10}) {}
};

} // namespace

TEST_F(FrameTest, SdoRequestIsAnsweredAsAReceivedFrame) {
    openConnected();
    ASSERT_EQ(canWrite(0, 0x605, READ_DEVICE_TYPE, 8, canMSG_STD), canOK);
    int32_t id = 0;
    uint8_t msg[8] = {};
    uint32_t dlc = 0, flag = 0, time = 0;
    ASSERT_EQ(canReadWait(0, &id, msg, &dlc, &flag, &time, 5000), canOK);
    // Heartbeats may come first when the poll won the race.
    while (id != 0x585)
        ASSERT_EQ(canReadWait(0, &id, msg, &dlc, &flag, &time, 5000), canOK);
    EXPECT_EQ(dlc, 8u);
    EXPECT_EQ(flag, static_cast<uint32_t>(canMSG_STD));
    EXPECT_EQ(msg[0], 0x43);
    EXPECT_EQ(msg[1], 0x00);
    EXPECT_EQ(msg[2], 0x10);
    // The time stamp is the tick count at hand-over; Wine's ticks come in ~16 ms steps.
    EXPECT_LE(GetTickCount() - time, 1000u);

    auto requests = gateway.simulator.requests();
    bool sawSdo = false;
    for (auto &request : requests)
        if (request.size() == 17 && request[8] == 2 && request[6] == 5 && request[9] == 0x40)
            sawSdo = true;
    EXPECT_TRUE(sawSdo);
}

TEST_F(FrameTest, HeartbeatsArriveWithAWindowMessageEach) {
    HostWindow window;
    ASSERT_EQ(canSetNotify(0, window.handle(), canNOTIFY_RX), canOK);
    openConnected();
    int32_t id = 0;
    uint8_t msg[8];
    std::memset(msg, 0xEE, sizeof msg);
    uint32_t dlc = 0;
    ASSERT_EQ(canReadWait(0, &id, msg, &dlc, nullptr, nullptr, 5000), canOK);
    EXPECT_EQ(id, 0x705);
    EXPECT_EQ(dlc, 1u);
    EXPECT_EQ(msg[0], 5);
    EXPECT_EQ(msg[1], 0xEE);
    ASSERT_EQ(canReadWait(0, &id, msg, &dlc, nullptr, nullptr, 5000), canOK);
    EXPECT_EQ(id, 0x70A);
    EXPECT_TRUE(window.waitForMessages(2, 5000));
    EXPECT_EQ(window.lastWParam(), 0u);
    EXPECT_EQ(window.lastLParam(), canEVENT_RX);
}

TEST_F(FrameTest, HostMayWriteFromItsNotificationHandler) {
    HostWindow window;
    std::atomic<bool> wrote{false};
    window.onCanlibMessage = [&] {
        if (!wrote.exchange(true))
            canWrite(0, 0x60A, READ_DEVICE_TYPE, 8, canMSG_STD);
    };
    canSetNotify(0, window.handle(), canNOTIFY_RX);
    openConnected();
    EXPECT_TRUE(eventually(
        [] {
            int32_t id = 0;
            return canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 1000) == canOK &&
                   id == 0x58A;
        },
        8000));
    canClose(0);
    window.onCanlibMessage = nullptr;
}

TEST_F(FrameTest, HostMayWaitForFramesOnTheThreadOfItsNotifyWindow) {
    HostWindow window;
    canSetNotify(0, window.handle(), canNOTIFY_RX);
    openConnected();
    // Each frame's notification goes to this very thread while it waits for the next frame.
    std::vector<int32_t> ids;
    ASSERT_TRUE(window.runOnWindowThread([&] {
        for (int i = 0; i < 4; ++i) {
            int32_t id = 0;
            if (canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 5000) == canOK)
                ids.push_back(id);
        }
    }));
    EXPECT_EQ(ids, (std::vector<int32_t>{0x705, 0x70A, 0x705, 0x70A}));
    EXPECT_TRUE(window.waitForMessages(3, 5000));
}

TEST_F(FrameTest, CloseFromTheWindowThreadDuringANotificationDoesNotHang) {
    HostWindow window;
    canSetNotify(0, window.handle(), canNOTIFY_RX);
    openConnected();
    // Keep the window thread busy so that the worker waits inside its message to it, then
    // close the channel from that thread.
    ASSERT_TRUE(window.runOnWindowThread([&] {
        // Until the next poll's notification waits for this thread.
        EXPECT_TRUE(waitForSentMessage(5000));
        auto closing = Clock::now();
        EXPECT_EQ(canClose(0), canOK);
        // A close that did not let the notification through would wait out the library's
        // 5000 ms limit for a window that handles no messages: far above this guard.
        EXPECT_LT(millisecondsSince(closing), PROMPT_GUARD_MS);
    }));
}

TEST_F(FrameTest, CloseFromInsideTheNotificationHandlerDoesNotHang) {
    HostWindow window;
    std::atomic<int> closes{0};
    window.onCanlibMessage = [&] {
        if (closes++ == 0) {
            EXPECT_EQ(canClose(0), canOK);
        }
    };
    canSetNotify(0, window.handle(), canNOTIFY_RX);
    openConnected();
    EXPECT_TRUE(window.waitForMessages(1, 5000));
    // Once closed, the worker sends nothing more: the connection goes away.
    EXPECT_TRUE(eventually([this] { return gateway.simulator.openConnections() == 0; }, 5000));
    window.onCanlibMessage = nullptr;
}

TEST_F(FrameTest, ReadingWaitsAtMostItsTimeOut) {
    int32_t id = 0;
    auto start = Clock::now();
    EXPECT_EQ(canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 100), canERR_NOMSG);
    EXPECT_GE(millisecondsSince(start), 90);
    EXPECT_EQ(canRead(0, &id, nullptr, nullptr, nullptr, nullptr), canERR_NOMSG);
    uint32_t status = 0x55;
    EXPECT_EQ(canReadStatus(0, &status), canOK);
    EXPECT_EQ(status, 0u);

    openConnected();
    start = Clock::now();
    EXPECT_EQ(canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 0xFFFFFFFF), canOK);
    EXPECT_LT(millisecondsSince(start), 5000);
    // The second heartbeat of the poll follows the first a moment later.
    int32_t level = 0;
    EXPECT_TRUE(eventually([&level] {
        return canIoCtl(0, canIOCTL_GET_RX_BUFFER_LEVEL, &level, 4) == canOK && level != 0;
    }));
    EXPECT_EQ(level, 1);
    EXPECT_EQ(canReadStatus(0, &status), canOK);
    EXPECT_EQ(status, static_cast<uint32_t>(canSTAT_RX_PENDING));
    EXPECT_EQ(canFlushReceiveQueue(0), canOK);
    EXPECT_EQ(canRead(0, &id, nullptr, nullptr, nullptr, nullptr), canERR_NOMSG);
}

TEST_F(FrameTest, CloseIsPromptWhileTheGatewayDoesNotAnswer) {
    gateway.simulator.setFault(korvalsim::Fault::NoReply);
    openConnected();
    const auto written = Clock::now(); // the reply's limit begins after this
    canWrite(0, 0x605, READ_DEVICE_TYPE, 8, canMSG_STD);
    ASSERT_TRUE(gateway.simulator.waitForRequests(1, 3000));
    const long late = millisecondsSince(written);
    const auto start = Clock::now();
    EXPECT_EQ(canClose(0), canOK);
    // Not the reply's limit, however late into it the close came.
    EXPECT_LT(millisecondsSince(start), promptGuardMs(late));
}

TEST_F(FrameTest, ReadWaitsItsWholeTimeOut) {
    // A host that polls with a short wait must not spin: every wait lasts its full time.
    for (uint32_t timeOut : {1u, 2u, 5u, 20u}) {
        LARGE_INTEGER frequency, before, after;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&before);
        EXPECT_EQ(canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, timeOut),
                  canERR_NOMSG);
        QueryPerformanceCounter(&after);
        const double ms = 1000.0 * static_cast<double>(after.QuadPart - before.QuadPart) /
                          static_cast<double>(frequency.QuadPart);
        EXPECT_GE(ms, static_cast<double>(timeOut)) << timeOut << " ms";
    }
}

TEST_F(FrameTest, PollingWithABadHandlePausesLikeAnEmptyQueue) {
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(canRead(9, nullptr, nullptr, nullptr, nullptr, nullptr), canERR_PARAM);
    QueryPerformanceCounter(&after);
    EXPECT_GE(1000.0 * static_cast<double>(after.QuadPart - before.QuadPart) /
                  static_cast<double>(frequency.QuadPart),
              20.0);
}

TEST_F(FrameTest, ReaderThatMissesAFrameWaitsForTheNext) {
    ASSERT_EQ(openChannel(gateway.address, 5).handle, 0);
    ASSERT_TRUE(gateway.simulator.waitForConnections(1, 8000));
    canFlushReceiveQueue(0);
    // Heartbeats of node 5 only, one per poll: two readers share them, and the one that loses
    // the first goes on waiting for the next instead of giving up early.
    std::atomic<int> got{0};
    auto reader = [&] {
        int32_t id = 0;
        if (canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 6000) == canOK)
            ++got;
    };
    std::thread first(reader), second(reader);
    first.join();
    second.join();
    EXPECT_EQ(got, 2);
}

// The host reads from inside its WM__CANLIB handler, without a time limit, more frames than
// were queued when the handler began. Arguments: the gateway's address.
CHILD_SCENARIO(readWithoutLimitInTheHandler) {
    HostWindow window;
    std::atomic<bool> done{false};
    std::vector<int32_t> ids;
    window.onCanlibMessage = [&] {
        if (done || !ids.empty())
            return;
        for (int i = 0; i < 3; ++i) {
            int32_t id = 0;
            if (canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 0xFFFFFFFF) == canOK)
                ids.push_back(id);
        }
        done = true;
    };
    canSetNotify(0, window.handle(), canNOTIFY_RX);
    openChannel(narrow(childArguments().at(0)));
    if (!eventually([&done] { return done.load(); }, 10000))
        ExitProcess(30); // the handler still waits: the worker could not go on
    canClose(0);
    ExitProcess(ids == std::vector<int32_t>{0x705, 0x70A, 0x705} ? 0 : 31);
}

TEST_F(FrameTest, ReadingWithoutLimitInsideTheHandlerGetsLaterFrames) {
    ChildOptions options;
    options.timeoutMs = 20000;
    options.extraArguments = {widen(gateway.address)};
    ChildOutcome outcome = runChild("readWithoutLimitInTheHandler", options);
    EXPECT_FALSE(outcome.timedOut) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
}

// Another host thread's synchronous request to the notify window, during which the window's
// thread closes the channel while the worker's notification waits for that thread. The
// request must be answered by its handler, not early by the library.
CHILD_SCENARIO(closeInsideAnotherThreadsRequest) {
    HostWindow window;
    std::atomic<bool> handlerEnded{false};
    window.onSentRequest = [&]() -> LRESULT {
        waitForSentMessage(5000); // until the next poll's notification waits for this thread
        canClose(0);
        handlerEnded = true;
        return 1234;
    };
    canSetNotify(0, window.handle(), canNOTIFY_RX);
    openChannel(narrow(childArguments().at(0)));
    if (canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 8000) != canOK)
        ExitProcess(40);
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(window.handle(), HostWindow::SENT_REQUEST, 0, 0, SMTO_NORMAL, 15000,
                             &answer))
        ExitProcess(41);
    ExitProcess(answer == 1234 && handlerEnded ? 0 : 42);
}

TEST_F(FrameTest, ClosingInsideAnotherThreadsRequestAnswersOnlyTheWorker) {
    ChildOptions options;
    options.timeoutMs = 30000;
    options.extraArguments = {widen(gateway.address)};
    ChildOutcome outcome = runChild("closeInsideAnotherThreadsRequest", options);
    EXPECT_FALSE(outcome.timedOut) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 0u) << "42: the request was answered before its handler ended\n"
                                    << outcome.describe();
}

CHILD_SCENARIO(writeRefusedFrame) {
    const uint8_t data[8] = {0x40, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00};
    canWrite(0, 0x600, data, 8, canMSG_STD);
}

CHILD_SCENARIO(writeShortFrame) {
    const uint8_t data[3] = {0xAB, 0xCD, 0xEF};
    canWriteWait(0, 0x605, data, 3, canMSG_STD, 100);
}

CHILD_SCENARIO(writeWithoutData) {
    canWrite(0, 0x605, nullptr, 8, canMSG_STD);
}

TEST(RefusedFrames, StopTheHostShowingTheFrame) {
    ChildOutcome refused = runChild("writeRefusedFrame");
    EXPECT_EQ(refused.exitCode, 1u);
    EXPECT_EQ(refused.traceLines,
              std::vector<std::string>{
                  "canlib: canWrite: dlc=8 id=1536 flag=2 data=40 00 10 00 00 00 00 00"});
    ASSERT_EQ(refused.messageBoxes.size(), 1u) << refused.describe();
    EXPECT_EQ(refused.messageBoxes[0].text,
              L"An invalid parameter was passed to canWrite:\ndlc=8 id=1536 flag=2 data=40 00 10 "
              L"00 00 00 00 00\n\nVantrel will be terminated.");

    ChildOutcome shortFrame = runChild("writeShortFrame");
    EXPECT_EQ(shortFrame.exitCode, 1u);
    EXPECT_TRUE(shortFrame.hasTrace("canlib: canWrite: dlc=3 id=1541 flag=2 data=AB CD EF 00 00 "
                                    "00 00 00"))
        << shortFrame.describe();

    ChildOutcome noData = runChild("writeWithoutData");
    EXPECT_EQ(noData.exitCode, 1u);
    EXPECT_EQ(noData.traceLines, std::vector<std::string>{"canlib: canWrite: msg=0"});
    ASSERT_EQ(noData.messageBoxes.size(), 1u);
    EXPECT_EQ(noData.messageBoxes[0].text,
              L"An invalid parameter was passed to canWrite:\nmsg=0\n\nVantrel will be "
              L"terminated.");
}
