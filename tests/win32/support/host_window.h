// What a host application brings to the library: a top-level window with its own thread and
// message loop, which counts the library's WM__CANLIB messages and can act on them.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace testsupport {

class HostWindow {
  public:
    HostWindow();
    ~HostWindow();
    HostWindow(const HostWindow &) = delete;
    HostWindow &operator=(const HostWindow &) = delete;

    HWND handle() const { return window; }
    DWORD threadId() const { return windowThreadId; }
    int messages() const { return received; }
    // True once at least count messages have arrived; false after timeoutMs.
    bool waitForMessages(int count, unsigned timeoutMs) const;

    // Called on the window's thread inside the WM__CANLIB handler. Set before the channel
    // notifies, or while no message can arrive.
    std::function<void()> onCanlibMessage;

    // Another host thread's synchronous request to the window: SendMessage of SENT_REQUEST is
    // answered with what this returns (0 when unset), once it has returned.
    static constexpr UINT SENT_REQUEST = WM_APP + 2;
    std::function<LRESULT()> onSentRequest;

    // Runs fn on the window's thread and waits (up to timeoutMs) until it has returned.
    bool runOnWindowThread(std::function<void()> fn, unsigned timeoutMs = 20000);

    // wParam and lParam of the last WM__CANLIB message.
    WPARAM lastWParam() const { return wParamSeen; }
    LPARAM lastLParam() const { return lParamSeen; }

  private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void run();

    std::thread thread;
    HWND window = nullptr;
    DWORD windowThreadId = 0;
    std::atomic<int> received{0};
    std::atomic<WPARAM> wParamSeen{0};
    std::atomic<LPARAM> lParamSeen{0};
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    bool ready = false;
};

// On the thread of a host window: true once a message sent to the thread (such as the library's
// notification) waits for it to retrieve messages; false after timeoutMs.
bool waitForSentMessage(unsigned timeoutMs);

// Waits for a message box of this process with the given title; null after timeoutMs.
HWND waitForMessageBox(const wchar_t *title, unsigned timeoutMs);
// The text of a message box.
std::wstring messageBoxText(HWND box);
// Dismisses a message box the way a user clicking OK would.
void pressOk(HWND box);

} // namespace testsupport
