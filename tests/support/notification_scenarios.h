// WM__CANLIB as a host relies on it, written once for the native build and for the DLL under
// Wine: nothing handled once canClose has returned, whichever thread closes; a handler never
// inside another while every frame is still announced; and no read on a window's thread that
// outlives a close. The including test file defines first, for its platform:
//   HostWindowType   a window with a thread of its own: handle(), onCanlibMessage (called on
//                    that thread), and runOnWindowThread(fn, timeoutMs), which runs fn there
//                    after every message sent so far and waits until it has returned;
//   waitForSentMessage(ms)  true once a message sent to the calling thread's windows waits for
//                    it, false after ms;
//   NotificationTest  a fixture on a gateway of its own: startNodes(last) (nodes 1 to last),
//                    simulator(), openConnected(), subscribe(handle) (canSetNotify, counted in
//                    subscriptions, which add up over the process), and a HostWindowType window
//                    and a HandlerRecord record that outlive the worker.
#pragma once

#include "support/eventually.h"
#include "support/handler_record.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace testsupport {

using ScenarioClock = std::chrono::steady_clock;

inline long msBetween(ScenarioClock::time_point from, ScenarioClock::time_point to) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}

inline void pause(unsigned ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A read's time-out far beyond anything the library waits for itself: a read that waited it
// out was not ended by the close.
constexpr unsigned LONG_READ_MS = 30000;
// The most a read may go on after the close has returned: far below LONG_READ_MS, far above
// what handing the close to the reading thread takes.
constexpr long READ_AFTER_CLOSE_LIMIT_MS = 3000;

} // namespace testsupport

// Everything sent to the window so far is handled, and then again after a while longer than
// the rest of a node list would take.
inline void letTheWindowHandleWhatWasSent(HostWindowType &window) {
    ASSERT_TRUE(window.runOnWindowThread([] {}, 20000));
    testsupport::pause(300);
    ASSERT_TRUE(window.runOnWindowThread([] {}, 20000));
}

TEST_F(NotificationTest, NothingIsHandledOnceAnotherThreadsCloseHasReturned) {
    startNodes(10);
    std::atomic<bool> third{false}, closing{false};
    window.onCanlibMessage = [&] {
        if (record.enter() == 3) {
            third = true;
            // The close begins while this one is handled, and must wait for it.
            testsupport::eventually([&] { return closing.load(); }, 8000);
            testsupport::pause(300);
        }
        record.leave();
    };
    subscribe(window.handle());
    openConnected();
    ASSERT_TRUE(testsupport::eventually([&] { return third.load(); }, 8000));
    int runningAfterClose = -1;
    std::thread closer([&] {
        closing = true;
        EXPECT_EQ(canClose(0), canOK);
        runningAfterClose = record.depth;
        record.closed = true;
    });
    closer.join();
    EXPECT_EQ(runningAfterClose, 0) << "a handler still ran when canClose returned";
    letTheWindowHandleWhatWasSent(window);
    EXPECT_EQ(record.afterClose, 0) << "handled after canClose returned";
    EXPECT_LT(record.handled, 10 * subscriptions) << "the close did not come during the node list";
}

TEST_F(NotificationTest, NothingIsHandledOnceACloseFromTheHandlerHasReturned) {
    startNodes(10);
    window.onCanlibMessage = [&] {
        if (record.enter() == 3) {
            EXPECT_EQ(canClose(0), canOK);
            record.closed = true;
        }
        record.leave();
    };
    subscribe(window.handle());
    openConnected();
    ASSERT_TRUE(testsupport::eventually([&] { return record.closed.load(); }, 8000));
    letTheWindowHandleWhatWasSent(window);
    EXPECT_EQ(record.afterClose, 0) << "handled after canClose returned";
    EXPECT_EQ(record.handled, 3);
    EXPECT_EQ(record.maxDepth, 1);
}

// Outside a handler, while the first notification of a node list waits for this thread: it is
// handled inside the close, and nothing after it.
TEST_F(NotificationTest, ACloseOnTheWindowsThreadHandlesTheNotificationInFlight) {
    startNodes(10);
    window.onCanlibMessage = [&] {
        record.enter();
        record.leave();
    };
    subscribe(window.handle());
    ASSERT_TRUE(window.runOnWindowThread(
        [&] {
            openConnected();
            ASSERT_TRUE(waitForSentMessage(8000));
            EXPECT_EQ(canClose(0), canOK);
            record.closed = true;
        },
        20000));
    letTheWindowHandleWhatWasSent(window);
    EXPECT_EQ(record.afterClose, 0) << "handled after canClose returned";
    EXPECT_EQ(record.handled, 1);
}

// The handler drains the receive queue, which makes it wait in the library while the node list
// is still being delivered: the notifications of those frames come after it, one at a time,
// and every frame is announced once per subscription.
TEST_F(NotificationTest, AHandlerThatWaitsForFramesIsNeverEnteredAgainBeforeItReturns) {
    const uint8_t listed = 20;
    std::atomic<int> polls{0};
    simulator().setResponder([&](const std::vector<uint8_t> &request) {
        // The first poll lists 20 nodes, every later one none, so that the notifications owed
        // come to an end.
        std::vector<uint8_t> payload{0xFF, 100, 1};
        if (polls++ == 0)
            for (uint8_t node = 1; node <= listed; ++node)
                payload.push_back(node);
        return std::vector<korvalsim::Action>{
            {korvalsim::Action::Kind::Write, korvalsim::makeReply(request, payload), 0}};
    });
    startNodes(0);
    std::vector<int32_t> ids; // the window's thread alone touches it
    window.onCanlibMessage = [&] {
        record.enter();
        int32_t id = 0;
        while (canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 50) == canOK)
            ids.push_back(id);
        record.leave();
    };
    subscribe(window.handle());
    subscribe(window.handle());
    openConnected();
    // Seen on the window's thread between handlers, once every notification owed has come.
    int handled = 0;
    std::size_t read = 0;
    EXPECT_TRUE(testsupport::eventually(
        [&] {
            window.runOnWindowThread(
                [&] {
                    handled = record.handled;
                    read = ids.size();
                },
                20000);
            return read == listed && handled == subscriptions * static_cast<int>(read);
        },
        60000))
        << handled << " handlers for " << read << " frames and " << subscriptions
        << " subscriptions";
    EXPECT_EQ(record.maxDepth, 1) << "a handler ran inside another";
    canClose(0);
    ASSERT_TRUE(window.runOnWindowThread([] {}, 20000));
    ASSERT_EQ(ids.size(), listed);
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(ids[i], static_cast<int32_t>(0x701 + i)) << i;
}

// The handler reads with a time-out far beyond the close's bound for the window when another
// thread closes: the read gives up, the handler returns, and the close, which waits for it,
// returns after it.
TEST_F(NotificationTest, AnotherThreadsCloseEndsALongReadInTheHandler) {
    startNodes(1);
    std::atomic<int> read{0};
    std::atomic<bool> handlerReturned{false};
    window.onCanlibMessage = [&] {
        if (record.enter() == 1) {
            while (canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr,
                               testsupport::LONG_READ_MS) == canOK)
                ++read;
            handlerReturned = true;
        }
        record.leave();
    };
    subscribe(window.handle());
    openConnected();
    ASSERT_TRUE(testsupport::eventually([&] { return read >= 1; }, 8000));
    EXPECT_EQ(canClose(0), canOK);
    EXPECT_TRUE(handlerReturned) << "the close returned while the handler still read";
}

// The window's thread reads outside any handler; inside that read the library runs the handler,
// which reads too, until another thread closes: the close ends both reads, the outer one as
// well, though the inner one took the close's wake-up.
TEST_F(NotificationTest, AReadOnTheWindowsThreadAroundAReadingHandlerEndsWithTheClose) {
    startNodes(1);
    std::atomic<bool> outerReading{false}, innerReading{false};
    window.onCanlibMessage = [&] {
        record.enter();
        innerReading = true;
        while (canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr,
                           testsupport::LONG_READ_MS) == canOK) {
        }
        record.leave();
    };
    subscribe(window.handle());
    testsupport::ScenarioClock::time_point outerEnded{};
    // The outer read begins before the channel opens, so that every notification is handled
    // inside it.
    std::thread reader([&] {
        window.runOnWindowThread(
            [&] {
                outerReading = true;
                while (canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   testsupport::LONG_READ_MS) == canOK) {
                }
                outerEnded = testsupport::ScenarioClock::now();
            },
            3 * testsupport::LONG_READ_MS);
    });
    EXPECT_TRUE(testsupport::eventually([&] { return outerReading.load(); }, 8000));
    openConnected();
    EXPECT_TRUE(testsupport::eventually([&] { return innerReading.load(); }, 8000));
    // The inner read has begun; give it the moment it takes to wait, so that the close's
    // wake-up is what ends it.
    testsupport::pause(200);
    EXPECT_EQ(canClose(0), canOK);
    const auto closed = testsupport::ScenarioClock::now();
    reader.join();
    EXPECT_EQ(record.depth, 0);
    EXPECT_LT(testsupport::msBetween(closed, outerEnded), testsupport::READ_AFTER_CLOSE_LIMIT_MS)
        << "the read on the window's thread outlived the close";
}

// canSetNotify names a window of another thread while the handler of the window it named before
// runs: a read in that handler is still a read inside a handler, so the worker goes on and a
// frame comes; and a close there does not wait for that very handler.
TEST_F(NotificationTest, AHandlerOfTheWindowNamedBeforeReadsAndClosesAfterTheMove) {
    startNodes(1);
    HostWindowType later;
    std::atomic<int> readStatus{1}, closeStatus{1}; // 1: no status yet
    std::atomic<long> closeMs{-1};
    std::atomic<bool> done{false};
    window.onCanlibMessage = [&] {
        if (record.enter() == 1) {
            subscribe(later.handle());
            // The frame announced is read already; heartbeats come once a second, so the next
            // one comes long before this time-out.
            canFlushReceiveQueue(0);
            readStatus = canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 10000);
            const auto closing = testsupport::ScenarioClock::now();
            closeStatus = canClose(0);
            closeMs = testsupport::msBetween(closing, testsupport::ScenarioClock::now());
            done = true;
        }
        record.leave();
    };
    subscribe(window.handle());
    openConnected();
    ASSERT_TRUE(testsupport::eventually([&] { return done.load(); }, 30000));
    EXPECT_EQ(readStatus, canOK) << "the worker waited for the handler that read";
    EXPECT_EQ(closeStatus, canOK);
    // Waiting for this handler, the close would end only at its 5 s bound for the window.
    EXPECT_LT(closeMs, 2500) << "the close waited for the handler it was called from";
}
