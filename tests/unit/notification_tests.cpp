// WM__CANLIB to a host window that has a thread of its own, in the native build: nothing handled
// once canClose has returned, a handler never inside another while every frame is still
// announced, and a worker that waits for the window only as long as the window is there.
#include "channel_fixture.h"

#include "support/eventually.h"
#include "support/handler_record.h"

#include <future>

using Korval::KorvalCanInterface;
using testsupport::eventually;

namespace {

// A host window whose thread retrieves its messages between the tasks it is given, as a Win32
// host's message loop does; or, told to, ends without retrieving the next one sent to it.
class ThreadedWindow : public Korval::os::PosixWindow {
  public:
    ThreadedWindow() : thread([this] { run(); }) {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [this] { return owned; });
    }
    ~ThreadedWindow() {
        {
            std::lock_guard<std::mutex> guard(lock);
            quit = true;
        }
        thread.join();
    }
    void handleMessage(uint32_t, uintptr_t, intptr_t) override {
        if (onMessage)
            onMessage();
    }
    // Runs fn on the window's thread, after every message sent to the window so far.
    void runOnWindowThread(std::function<void()> fn) {
        std::promise<void> done;
        {
            std::lock_guard<std::mutex> guard(lock);
            tasks.push_back([&] {
                fn();
                done.set_value();
            });
        }
        done.get_future().wait();
    }
    // The window's thread ends as soon as a message waits for it, without handling it.
    void endOnTheNextMessage() {
        std::lock_guard<std::mutex> guard(lock);
        endOnMessage = true;
    }
    bool hasEnded() {
        std::lock_guard<std::mutex> guard(lock);
        return ended;
    }
    std::function<void()> onMessage;

  private:
    void run() {
        ownByCurrentThread();
        {
            std::lock_guard<std::mutex> guard(lock);
            owned = true;
        }
        changed.notify_all();
        for (;;) {
            std::vector<std::function<void()>> due;
            bool retrieving = true;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (quit || (endOnMessage && Korval::os::messagesWaiting())) {
                    ended = true;
                    return;
                }
                retrieving = !endOnMessage;
                if (retrieving)
                    due.swap(tasks);
            }
            if (!retrieving) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            Korval::os::retrieveMessages(5);
            for (auto &task : due)
                task();
        }
    }

    std::mutex lock;
    std::condition_variable changed;
    bool owned = false;
    bool quit = false;
    bool endOnMessage = false;
    bool ended = false;
    std::vector<std::function<void()>> tasks;
    std::thread thread;
};

// The window and the record outlive the worker, which TearDown stops.
class NotificationTest : public ChannelTest {
  protected:
    void startNodes(uint8_t last) {
        std::vector<uint8_t> nodes;
        for (unsigned node = 1; node <= last; ++node)
            nodes.push_back(static_cast<uint8_t>(node));
        startGateway(nodes);
    }
    // Everything sent to the window so far is handled, and then again after a while longer
    // than the rest of a node list would take.
    static void letTheWindowHandleWhatWasSent(ThreadedWindow &window) {
        window.runOnWindowThread([] {});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        window.runOnWindowThread([] {});
    }
    static bool waitFor(std::atomic<bool> &flag) {
        return eventually([&] { return flag.load(); }, 8000);
    }
    ThreadedWindow window;
    testsupport::HandlerRecord record;
};

} // namespace

TEST_F(NotificationTest, NothingIsHandledOnceAnotherThreadsCloseHasReturned) {
    startNodes(10);
    std::atomic<bool> third{false}, closing{false};
    window.onMessage = [&] {
        if (record.enter() == 3) {
            third = true;
            waitFor(closing);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        record.leave();
    };
    canSetNotify(0, &window, canNOTIFY_RX);
    openAndWaitUntilConnected();
    ASSERT_TRUE(waitFor(third));
    std::thread closer([&] {
        closing = true;
        EXPECT_EQ(canClose(0), canOK);
        record.closed = true;
    });
    closer.join();
    letTheWindowHandleWhatWasSent(window);
    EXPECT_EQ(record.afterClose, 0) << "handled after canClose returned";
    EXPECT_LT(record.handled, 10) << "the close did not come during the node list";
}

TEST_F(NotificationTest, NothingIsHandledOnceACloseFromTheHandlerHasReturned) {
    startNodes(10);
    window.onMessage = [&] {
        if (record.enter() == 3) {
            EXPECT_EQ(canClose(0), canOK);
            record.closed = true;
        }
        record.leave();
    };
    canSetNotify(0, &window, canNOTIFY_RX);
    openAndWaitUntilConnected();
    ASSERT_TRUE(waitFor(record.closed));
    letTheWindowHandleWhatWasSent(window);
    EXPECT_EQ(record.afterClose, 0);
    EXPECT_EQ(record.handled, 3);
    EXPECT_EQ(record.maxDepth, 1);
}

TEST_F(NotificationTest, ACloseOnTheWindowsThreadHandlesTheNotificationInFlight) {
    startNodes(10);
    window.onMessage = [&] {
        record.enter();
        record.leave();
    };
    canSetNotify(0, &window, canNOTIFY_RX);
    window.runOnWindowThread([&] {
        openAndWaitUntilConnected();
        ASSERT_TRUE(eventually([] { return Korval::os::messagesWaiting(); }, 8000));
        EXPECT_EQ(canClose(0), canOK);
        record.closed = true;
    });
    letTheWindowHandleWhatWasSent(window);
    EXPECT_EQ(record.afterClose, 0);
    EXPECT_EQ(record.handled, 1);
}

TEST_F(NotificationTest, AHandlerThatWaitsForFramesIsNeverEnteredAgainBeforeItReturns) {
    const uint8_t firstList = 50;
    std::atomic<int> polls{0};
    gateway->setResponder([&](const std::vector<uint8_t> &request) {
        // The first poll lists 50 nodes, every later one node 51 alone.
        std::vector<uint8_t> payload{0xFF, 100, 1};
        if (polls++ == 0)
            for (uint8_t node = 1; node <= firstList; ++node)
                payload.push_back(node);
        else
            payload.push_back(51);
        return std::vector<korvalsim::Action>{
            {korvalsim::Action::Kind::Write, korvalsim::makeReply(request, payload), 0}};
    });
    startGateway({});
    std::vector<int32_t> ids; // the window's thread alone touches it
    window.onMessage = [&] {
        record.enter();
        int32_t id = 0;
        while (canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 50) == canOK)
            ids.push_back(id);
        record.leave();
    };
    // Two subscriptions: every frame owes the window two messages.
    canSetNotify(0, &window, canNOTIFY_RX);
    canSetNotify(0, &window, canNOTIFY_RX);
    openAndWaitUntilConnected();
    // Seen on the window's thread between handlers: once every notification owed so far has
    // come, there are two per frame read, none more.
    int handled = 0;
    std::size_t read = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        window.runOnWindowThread([&] {
            handled = record.handled;
            read = ids.size();
        });
    } while ((read < firstList || handled != 2 * static_cast<int>(read)) &&
             std::chrono::steady_clock::now() < until);
    EXPECT_EQ(handled, 2 * static_cast<int>(read));
    EXPECT_EQ(record.maxDepth, 1) << "a handler ran inside another";
    canClose(0);
    window.runOnWindowThread([] {});
    ASSERT_GE(ids.size(), firstList);
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(ids[i], static_cast<int32_t>(0x700 + (i < firstList ? i + 1 : 51))) << i;
}

TEST_F(NotificationTest, WorkerGoesOnWhenTheWindowsThreadEndsWithANotificationPending) {
    startNodes(2);
    window.endOnTheNextMessage();
    canSetNotify(0, &window, canNOTIFY_RX);
    openAndWaitUntilConnected();
    ASSERT_TRUE(eventually([&] { return window.hasEnded(); }, 8000));
    EXPECT_GE(trace.waitForLine("rxNotify: the window went away before it handled WM_CANLIB", 3000),
              0);
    // A later exchange completes: the worker did not stay with the window.
    ASSERT_EQ(canWrite(0, 0x602, READ_DEVICE_TYPE, 8, canMSG_STD), canOK);
    int32_t id = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (id != 0x582 && std::chrono::steady_clock::now() < until)
        canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 1000);
    EXPECT_EQ(id, 0x582);
}

// The window's thread waits for the very thread that closes, a notification pending for it:
// the close gives the window a bounded time, then returns and says so.
TEST_F(NotificationTest, CloseReturnsWhenTheWindowsThreadWaitsForTheCloser) {
    startNodes(2);
    canSetNotify(0, &window, canNOTIFY_RX);
    openAndWaitUntilConnected();
    std::thread closer;
    window.runOnWindowThread([&] {
        ASSERT_TRUE(eventually([] { return Korval::os::messagesWaiting(); }, 8000));
        closer = std::thread([] { EXPECT_EQ(canClose(0), canOK); });
        closer.join();
    });
    EXPECT_GE(trace.waitForPrefix("rxNotify: the window's thread has not handled WM_CANLIB", 0), 0);
    EXPECT_EQ(KorvalCanInterface::Connection(0)->IsOpen(), 0);
}

// The handler reads with a time-out far beyond the close's bound for the window when another
// thread closes: the read gives up, the handler returns, and the close, which waits for it,
// returns after it.
TEST_F(NotificationTest, AnotherThreadsCloseEndsALongReadInTheHandler) {
    startNodes(1);
    std::atomic<int> read{0};
    std::atomic<bool> handlerReturned{false};
    window.onMessage = [&] {
        if (record.enter() == 1) {
            while (canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 30000) == canOK)
                ++read;
            handlerReturned = true;
        }
        record.leave();
    };
    canSetNotify(0, &window, canNOTIFY_RX);
    openAndWaitUntilConnected();
    ASSERT_TRUE(eventually([&] { return read >= 1; }, 8000));
    EXPECT_EQ(canClose(0), canOK);
    EXPECT_TRUE(handlerReturned);
    EXPECT_LT(trace.waitForPrefix("rxNotify: the window's thread has not handled", 0), 0);
}
