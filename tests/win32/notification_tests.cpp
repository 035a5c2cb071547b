// WM__CANLIB as a host relies on it: nothing handled once canClose has returned, whichever
// thread closes; a handler never inside another, while every frame is still announced; and a
// worker that goes on when the window it notifies goes away.
#include "canlib.h"
#include "support/dll_test_support.h"
#include "support/handler_record.h"
#include "support/host_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

std::vector<uint8_t> nodeRange(uint8_t first, uint8_t last) {
    std::vector<uint8_t> nodes;
    for (unsigned node = first; node <= last; ++node)
        nodes.push_back(static_cast<uint8_t>(node));
    return nodes;
}

// A manual-reset event that closes itself.
struct Event {
    Event() : handle(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() { CloseHandle(handle); }
    bool waitFor(DWORD ms) const { return WaitForSingleObject(handle, ms) == WAIT_OBJECT_0; }
    void set() const { SetEvent(handle); }
    HANDLE handle;
};

bool sentMessagePending() {
    return (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) != 0;
}

class NotificationTest : public ConnectedChannelTest {
  protected:
    NotificationTest() : ConnectedChannelTest(nodeRange(1, 10)) {}
    // Every message sent to the window before this call has been handled when it returns,
    // since a thread handles the messages sent to it before it takes a posted one; and then
    // again after a while longer than the rest of the node list could take to handle.
    void letTheWindowHandleWhatWasSent(HostWindow &window) {
        ASSERT_TRUE(window.runOnWindowThread([] {}));
        Sleep(300);
        ASSERT_TRUE(window.runOnWindowThread([] {}));
    }
};

} // namespace

TEST_F(NotificationTest, NothingIsHandledOnceAnotherThreadsCloseHasReturned) {
    HostWindow window;
    testsupport::HandlerRecord record;
    Event third, closing;
    window.onCanlibMessage = [&] {
        if (record.enter() == 3) {
            third.set();
            closing.waitFor(5000); // the close begins while this one is handled
        }
        Sleep(20);
        record.leave();
    };
    canSetNotify(0, window.handle(), canNOTIFY_RX);
    openConnected();
    ASSERT_TRUE(third.waitFor(8000));
    std::thread closer([&] {
        closing.set();
        EXPECT_EQ(canClose(0), canOK);
        record.closed = true;
    });
    closer.join();
    letTheWindowHandleWhatWasSent(window);
    EXPECT_EQ(record.afterClose, 0) << "handled after canClose returned";
    EXPECT_LT(record.handled, 10) << "the close did not come during the node list";
    window.onCanlibMessage = nullptr;
}

TEST_F(NotificationTest, NothingIsHandledOnceACloseOnTheWindowsThreadHasReturned) {
    // From inside the handler of the third heartbeat of the node list.
    {
        HostWindow window;
        testsupport::HandlerRecord record;
        window.onCanlibMessage = [&] {
            if (record.enter() == 3) {
                EXPECT_EQ(canClose(0), canOK);
                record.closed = true;
            }
            record.leave();
        };
        canSetNotify(0, window.handle(), canNOTIFY_RX);
        openConnected();
        const DWORD start = GetTickCount();
        while (!record.closed && GetTickCount() - start < 8000)
            Sleep(5);
        ASSERT_TRUE(record.closed);
        letTheWindowHandleWhatWasSent(window);
        EXPECT_EQ(record.afterClose, 0) << "handled after canClose returned";
        EXPECT_EQ(record.handled, 3);
        EXPECT_EQ(record.maxDepth, 1);
        window.onCanlibMessage = nullptr;
    }
    // Outside a handler, while the first notification of a node list waits for this thread:
    // it is handled inside the close, and nothing after it.
    HostWindow window;
    testsupport::HandlerRecord record;
    window.onCanlibMessage = [&] {
        record.enter();
        record.leave();
    };
    canSetNotify(0, window.handle(), canNOTIFY_RX);
    ASSERT_TRUE(window.runOnWindowThread([&] {
        openConnected();
        const DWORD start = GetTickCount();
        while (!sentMessagePending() && GetTickCount() - start < 8000)
            Sleep(5);
        ASSERT_TRUE(sentMessagePending());
        EXPECT_EQ(canClose(0), canOK);
        record.closed = true;
    }));
    letTheWindowHandleWhatWasSent(window);
    EXPECT_EQ(record.afterClose, 0) << "handled after canClose returned";
    EXPECT_EQ(record.handled, 1);
    window.onCanlibMessage = nullptr;
}

// The handler drains the receive queue, which makes it wait in the library while the node list
// is still being delivered: the notifications of those frames come after it, one at a time.
TEST_F(NotificationTest, AHandlerThatWaitsForFramesIsNeverEnteredAgainBeforeItReturns) {
    const std::vector<uint8_t> firstList = nodeRange(1, 50);
    std::atomic<int> polls{0};
    gateway.simulator.setResponder([&](const std::vector<uint8_t> &request) {
        // The first poll lists 50 nodes, every later one node 51 alone.
        std::vector<uint8_t> payload{0xFF, 100, 1};
        if (polls++ == 0)
            payload.insert(payload.end(), firstList.begin(), firstList.end());
        else
            payload.push_back(51);
        return std::vector<korvalsim::Action>{
            {korvalsim::Action::Kind::Write, korvalsim::makeReply(request, payload), 0}};
    });
    HostWindow window;
    testsupport::HandlerRecord record;
    std::vector<int32_t> ids; // the window's thread alone touches it
    window.onCanlibMessage = [&] {
        record.enter();
        int32_t id = 0;
        while (canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 50) == canOK)
            ids.push_back(id);
        record.leave();
    };
    // Two subscriptions: every frame owes the window two messages.
    canSetNotify(0, window.handle(), canNOTIFY_RX);
    canSetNotify(0, window.handle(), canNOTIFY_RX);
    openConnected();
    // Seen on the window's thread between handlers: once every notification owed so far has
    // come, there are two per frame read, none more.
    int handled = 0;
    std::size_t read = 0;
    const DWORD start = GetTickCount();
    do {
        Sleep(50);
        ASSERT_TRUE(window.runOnWindowThread([&] {
            handled = record.handled;
            read = ids.size();
        }));
    } while ((read < firstList.size() || handled != 2 * static_cast<int>(read)) &&
             GetTickCount() - start < 30000);
    EXPECT_EQ(handled, 2 * static_cast<int>(read));
    EXPECT_EQ(record.maxDepth, 1) << "a handler ran inside another";
    canClose(0);
    ASSERT_TRUE(window.runOnWindowThread([] {}));
    // Every frame read once, in order.
    ASSERT_GE(ids.size(), firstList.size());
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(ids[i], 0x700 + (i < firstList.size() ? firstList[i] : 51)) << i;
    window.onCanlibMessage = nullptr;
}

namespace {

// A window whose thread stops retrieving messages once one has been sent to it, and then,
// without handling it, destroys the window and waits, or ends.
class WindowThatGoesAway {
  public:
    enum class Way { Destroyed, ThreadEnded };
    explicit WindowThatGoesAway(Way way) : thread([this, way] { run(way); }) {
        created.waitFor(10000);
    }
    ~WindowThatGoesAway() {
        release.set();
        thread.join();
    }
    HWND handle() const { return window; }
    bool wentAway() const { return gone.waitFor(10000); }

  private:
    void run(Way way) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = &DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"CanlibTestWindowThatGoesAway";
        RegisterClassW(&windowClass);
        window = CreateWindowExW(0, windowClass.lpszClassName, L"Goes away", WS_OVERLAPPEDWINDOW, 0,
                                 0, 100, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
        created.set();
        const DWORD start = GetTickCount();
        while (!sentMessagePending() && GetTickCount() - start < 8000)
            Sleep(5);
        if (way == Way::Destroyed)
            DestroyWindow(window); // handles nothing sent to it
        gone.set();
        if (way == Way::Destroyed)
            release.waitFor(30000);
    }

    HWND window = nullptr;
    Event created, gone, release;
    std::thread thread;
};

} // namespace

TEST_F(NotificationTest, WorkerGoesOnWhenTheWindowGoesAwayWithANotificationPending) {
    const uint8_t readDeviceType[8] = {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};
    for (auto way : {WindowThatGoesAway::Way::Destroyed, WindowThatGoesAway::Way::ThreadEnded}) {
        WindowThatGoesAway window(way);
        canSetNotify(0, window.handle(), canNOTIFY_RX);
        openConnected();
        ASSERT_TRUE(window.wentAway());
        // A later exchange completes: the worker did not stay with the window.
        ASSERT_EQ(canWrite(0, 0x605, readDeviceType, 8, canMSG_STD), canOK);
        int32_t id = 0;
        const DWORD start = GetTickCount();
        while (id != 0x585 && GetTickCount() - start < 8000)
            canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 1000);
        EXPECT_EQ(id, 0x585) << (way == WindowThatGoesAway::Way::Destroyed ? "destroyed"
                                                                           : "thread ended");
        EXPECT_EQ(canClose(0), canOK);
        canFlushReceiveQueue(0);
    }
}

// The handler reads with a time-out far beyond the close's bound for the window when another
// thread closes: the read gives up, the handler returns, and the close, which waits for it,
// returns after it.
TEST_F(NotificationTest, AnotherThreadsCloseEndsALongReadInTheHandler) {
    HostWindow window;
    testsupport::HandlerRecord record;
    std::atomic<int> read{0};
    std::atomic<bool> handlerReturned{false};
    window.onCanlibMessage = [&] {
        if (record.enter() == 1) {
            while (canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 30000) == canOK)
                ++read;
            handlerReturned = true;
        }
        record.leave();
    };
    canSetNotify(0, window.handle(), canNOTIFY_RX);
    openConnected();
    const DWORD start = GetTickCount();
    while (read < 1 && GetTickCount() - start < 8000)
        Sleep(5);
    ASSERT_GE(read, 1);
    EXPECT_EQ(canClose(0), canOK);
    EXPECT_TRUE(handlerReturned) << "the close returned while the handler still read";
    window.onCanlibMessage = nullptr;
}
