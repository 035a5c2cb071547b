// WM__CANLIB as a host relies on it, under Wine: the scenarios shared with the native build,
// and a worker that goes on when the window it notifies goes away.
#include "canlib.h"
#include "support/dll_test_support.h"
#include "support/handler_record.h"
#include "support/host_window.h"
#include "support/read_until.h"

#include <gtest/gtest.h>

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

} // namespace

using HostWindowType = HostWindow;

// The window and the record outlive the worker, which TearDown stops. Not in the anonymous
// namespace: the shared scenarios derive from it in a header of their own.
class NotificationTest : public ConnectedChannelTest {
  protected:
    NotificationTest() : ConnectedChannelTest(nodeRange(1, 10)) {}
    void startNodes(uint8_t last) { gateway.simulator.setNodes(nodeRange(1, last)); }
    korvalsim::GatewaySimulator &simulator() { return gateway.simulator; }
    // Subscriptions add up over the process: every frame owes the window one message for each.
    void subscribe(HWND target) {
        ASSERT_EQ(canSetNotify(0, target, canNOTIFY_RX), canOK);
        ++subscriptions;
    }
    static inline int subscriptions = 0;
    HostWindow window;
    HandlerRecord record;
};

#include "support/notification_scenarios.h"

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
        waitForSentMessage(8000);
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
        WindowThatGoesAway goingAway(way);
        subscribe(goingAway.handle());
        openConnected();
        ASSERT_TRUE(goingAway.wentAway());
        // A later exchange completes: the worker did not stay with the window.
        ASSERT_EQ(canWrite(0, 0x605, readDeviceType, 8, canMSG_STD), canOK);
        EXPECT_TRUE(readUntil(0x585, 8000))
            << (way == WindowThatGoesAway::Way::Destroyed ? "destroyed" : "thread ended");
        EXPECT_EQ(canClose(0), canOK);
        canFlushReceiveQueue(0);
    }
}
