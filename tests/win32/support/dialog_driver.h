// Drives the KORVAL connect dialog from a test the way a user would: it finds the controls by
// class and order, not by private ids. Every message it sends has a time limit, so a dialog that
// stops answering fails a test instead of hanging it.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

inline constexpr wchar_t CONNECT_DIALOG_CAPTION[] = L"KORVAL Connection Settings";
// How long one message to the dialog may take before the driver gives up on it.
inline constexpr unsigned MESSAGE_TIMEOUT_MS = 5000;

// Finds the visible "KORVAL Connection Settings" dialog of this process (class "#32770"),
// waiting up to timeoutMs until it is visible, its edit and combo exist and the combo has its
// 128 entries. Null if none.
HWND waitForConnectDialog(unsigned timeoutMs = 10000);

// Waits until the window is gone; false if it still exists after timeoutMs.
bool waitUntilClosed(HWND window, unsigned timeoutMs = 10000);

// The dialog's children in template (tab) order, and the ones a user deals with.
struct DialogControls {
    std::vector<HWND> all;
    std::vector<HWND> labels; // the "Static" controls, texts and rules
    HWND ok = nullptr;        // the first "Button"
    HWND edit = nullptr;      // the first "Edit"
    HWND combo = nullptr;     // the first "ComboBox"
};
DialogControls findControls(HWND dialog);

std::wstring className(HWND window);
// WM_GETTEXT with a time limit (GetWindowTextW waits without one on another thread's window).
std::wstring windowText(HWND window);
// Position of a child window in its parent's client area.
RECT childRect(HWND child);

struct DialogState {
    std::wstring caption, hostText, nodeText;
    int nodeIndex = -1;
    int nodeCount = 0;
    bool okIsDefault = false;
    RECT client{};
};
DialogState readDialog(HWND dialog);

void setHostText(HWND dialog, const std::wstring &text); // as a user would: WM_SETTEXT on the edit
void selectNode(HWND dialog,
                int index); // CB_SETCURSEL (+ CBN_SELCHANGE notification to the parent)
// These end the dialog and return whether it closed within the time limit. Enter is pressed in
// the address box and must end with result OK; the close box with another result.
bool pressEnter(HWND dialog);
bool closeWithCloseBox(HWND dialog); // WM_SYSCOMMAND SC_CLOSE
// Posts the Escape key to the focused control, as a user presses it; does not wait.
void pressEscape(HWND dialog);
// Types text into the address box in place of what it holds, a key at a time through the
// dialog's message loop; true once the box shows exactly that text.
bool typeIntoAddress(HWND dialog, const std::wstring &text);

// Runs fn on a new thread once the dialog appears: the usual way a test answers a dialog that a
// call on the test thread shows. If fn leaves the dialog open, or the dialog never gets ready,
// the answerer closes it after a while (as with the close box), so that the call on the test
// thread cannot hang.
class DialogAnswerer {
  public:
    // Returns once the answerer's thread runs: a dialog shown with the loader's lock held (from
    // a DLL's attach), which no thread can begin under, is answered too.
    explicit DialogAnswerer(std::function<void(HWND)> fn, unsigned timeoutMs = 15000);
    ~DialogAnswerer(); // stops waiting for a dialog that has not come, then joins
    DialogAnswerer(const DialogAnswerer &) = delete;
    DialogAnswerer &operator=(const DialogAnswerer &) = delete;

    bool sawDialog() const { return saw; }
    // True when the answerer had to close the dialog itself: fn left it open or it never got
    // ready.
    bool hadToClose() const { return forced; }

  private:
    void run(std::function<void(HWND)> fn, unsigned timeoutMs);

    std::atomic<bool> stop{false};
    std::atomic<bool> saw{false};
    std::atomic<bool> forced{false};
    HANDLE running;
    std::thread thread;
};

} // namespace testsupport
