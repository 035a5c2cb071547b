// WM__CANLIB to a host window that has a thread of its own, in the native build: the scenarios
// shared with the DLL's tests, and a worker that waits for the window only as long as the
// window is there.
#include "channel_fixture.h"

#include "support/eventually.h"
#include "support/handler_record.h"

#include <future>

using Korval::KorvalCanInterface;
using testsupport::eventually;

// Not in the anonymous namespace: the shared scenarios derive from the fixture in a header of
// their own.

// A host window whose thread retrieves its messages between the tasks it is given, as a Win32
// host's message loop does; or, told to, ends without retrieving the next one sent to it.
class ThreadedWindow {
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
    Korval::os::WindowHandle handle() { return window.handle(); }
    // Runs fn on the window's thread, after every message sent to the window so far; false if
    // it has not returned within timeoutMs.
    bool runOnWindowThread(std::function<void()> fn, unsigned timeoutMs) {
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> returned = done->get_future();
        {
            std::lock_guard<std::mutex> guard(lock);
            tasks.push_back([fn = std::move(fn), done] {
                fn();
                done->set_value();
            });
        }
        return returned.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
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
    std::function<void()> onCanlibMessage;

  private:
    void run() {
        window.ownByCurrentThread();
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
    Korval::os::PosixWindow window{[this](uint32_t, uintptr_t, intptr_t) {
        if (onCanlibMessage)
            onCanlibMessage();
    }};
    std::thread thread;
};

using HostWindowType = ThreadedWindow;

static bool waitForSentMessage(unsigned timeoutMs) {
    return eventually([] { return Korval::os::messagesWaiting(); }, timeoutMs);
}

// The window and the record outlive the worker, which TearDown stops.
class NotificationTest : public ChannelTest {
  protected:
    ThreadedWindow window;
    testsupport::HandlerRecord record;
};

#include "support/notification_scenarios.h"

TEST_F(NotificationTest, WorkerGoesOnWhenTheWindowsThreadEndsWithANotificationPending) {
    startNodes(2);
    window.endOnTheNextMessage();
    subscribe(window.handle());
    openConnected();
    ASSERT_TRUE(eventually([&] { return window.hasEnded(); }, 8000));
    EXPECT_GE(trace.waitForLine("rxNotify: the window went away before it handled WM_CANLIB", 3000),
              0);
    // A later exchange completes: the worker did not stay with the window.
    ASSERT_EQ(canWrite(0, 0x602, READ_DEVICE_TYPE, 8, canMSG_STD), canOK);
    EXPECT_TRUE(testsupport::readUntil(0x582, 8000));
}

// The window's thread waits for the very thread that closes, a notification pending for it:
// the close gives the window a bounded time, then returns and says so.
TEST_F(NotificationTest, CloseReturnsWhenTheWindowsThreadWaitsForTheCloser) {
    startNodes(2);
    subscribe(window.handle());
    openConnected();
    std::thread closer;
    window.runOnWindowThread(
        [&] {
            ASSERT_TRUE(waitForSentMessage(8000));
            closer = std::thread([] { EXPECT_EQ(canClose(0), canOK); });
            closer.join();
        },
        20000);
    EXPECT_GE(trace.waitForPrefix("rxNotify: the window's thread has not handled WM_CANLIB", 0), 0);
    EXPECT_EQ(KorvalCanInterface::Connection(0)->IsOpen(), 0);
}
