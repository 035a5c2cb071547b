#include "dialog_driver.h"

#include "support/eventually.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <utility>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int NODE_ENTRIES = 128;
constexpr unsigned POLL_MS = 10;
// A dialog closes in well under a second, even on a busy machine under Wine.
constexpr unsigned CLOSE_TIMEOUT_MS = 5000;
// How long an answerer leaves a dialog open after its function has returned.
constexpr unsigned LEFT_OPEN_GRACE_MS = 5000;
// A dialog that has been visible this long without its controls will not get them.
constexpr unsigned NOT_READY_GRACE_MS = 3000;

bool send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result = nullptr) {
    DWORD_PTR value = 0;
    const bool answered = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG,
                                              MESSAGE_TIMEOUT_MS, &value) != 0;
    if (result)
        *result = answered ? static_cast<LRESULT>(value) : -1;
    return answered;
}

LRESULT ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    LRESULT result = -1;
    send(window, message, wParam, lParam, &result);
    return result;
}

struct ChildList {
    HWND parent;
    std::vector<HWND> &children;
};

BOOL CALLBACK collectChild(HWND child, LPARAM list) {
    // Only direct children: a combo box's own edit or list must not count.
    auto *children = reinterpret_cast<ChildList *>(list);
    if (GetAncestor(child, GA_PARENT) == children->parent)
        children->children.push_back(child);
    return TRUE;
}

BOOL CALLBACK collectTopLevel(HWND window, LPARAM list) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId())
        reinterpret_cast<std::vector<HWND> *>(list)->push_back(window);
    return TRUE;
}

bool isConnectDialog(HWND window) {
    return className(window) == L"#32770" && IsWindowVisible(window) &&
           windowText(window) == CONNECT_DIALOG_CAPTION;
}

bool isReady(HWND window) {
    if (!isConnectDialog(window))
        return false;
    const DialogControls controls = findControls(window);
    return controls.edit && controls.combo && ask(controls.combo, CB_GETCOUNT) == NODE_ENTRIES;
}

HWND findDialog(bool (*accept)(HWND)) {
    std::vector<HWND> windows;
    EnumWindows(collectTopLevel, reinterpret_cast<LPARAM>(&windows));
    for (HWND window : windows)
        if (accept(window))
            return window;
    return nullptr;
}

// Closes a dialog that its answer left open: the close box first, and if it ignores that,
// EndDialog from here, so that the test fails instead of hanging.
void forceClosed(HWND dialog) {
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    if (waitUntilClosed(dialog, NOT_READY_GRACE_MS))
        return;
    EndDialog(dialog, IDABORT);
    waitUntilClosed(dialog, CLOSE_TIMEOUT_MS);
}

// Polls for the dialog until the deadline or until stop is set.
HWND waitForDialog(unsigned timeoutMs, const std::atomic<bool> *stop) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool seenUnready = false;
    for (;;) {
        if (HWND dialog = findDialog(isReady))
            return dialog;
        if (!seenUnready && findDialog(isConnectDialog)) {
            seenUnready = true;
            deadline =
                std::min(deadline, Clock::now() + std::chrono::milliseconds(NOT_READY_GRACE_MS));
        }
        if (Clock::now() >= deadline || (stop && *stop))
            return nullptr;
        Sleep(POLL_MS);
    }
}

HWND focusOf(HWND dialog) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info))
        return nullptr;
    return info.hwndFocus;
}

void postKey(HWND window, WPARAM key, UINT scanCode) {
    PostMessageW(window, WM_KEYDOWN, key, static_cast<LPARAM>(1 | (scanCode << 16)));
}

} // namespace

HWND waitForConnectDialog(unsigned timeoutMs) {
    return waitForDialog(timeoutMs, nullptr);
}

bool waitUntilClosed(HWND window, unsigned timeoutMs) {
    return eventually([window] { return !IsWindow(window); }, timeoutMs);
}

std::wstring className(HWND window) {
    wchar_t name[64] = L"";
    GetClassNameW(window, name, static_cast<int>(std::size(name)));
    return name;
}

std::wstring windowText(HWND window) {
    const LRESULT length = ask(window, WM_GETTEXTLENGTH);
    if (length <= 0)
        return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT copied =
        ask(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return text;
}

RECT childRect(HWND child) {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT *>(&rect), 2);
    return rect;
}

DialogControls findControls(HWND dialog) {
    DialogControls controls;
    ChildList children{dialog, controls.all};
    EnumChildWindows(dialog, collectChild, reinterpret_cast<LPARAM>(&children));
    for (HWND child : controls.all) {
        const std::wstring name = className(child);
        if (name == L"Static")
            controls.labels.push_back(child);
        else if (name == L"Button" && !controls.ok)
            controls.ok = child;
        else if (name == L"Edit" && !controls.edit)
            controls.edit = child;
        else if (name == L"ComboBox" && !controls.combo)
            controls.combo = child;
    }
    return controls;
}

DialogState readDialog(HWND dialog) {
    DialogState state;
    const DialogControls controls = findControls(dialog);
    state.caption = windowText(dialog);
    if (controls.edit)
        state.hostText = windowText(controls.edit);
    if (controls.combo) {
        state.nodeCount = static_cast<int>(ask(controls.combo, CB_GETCOUNT));
        state.nodeIndex = static_cast<int>(ask(controls.combo, CB_GETCURSEL));
        const auto index = static_cast<WPARAM>(state.nodeIndex);
        const LRESULT length =
            state.nodeIndex >= 0 ? ask(controls.combo, CB_GETLBTEXTLEN, index) : -1;
        if (length >= 0) {
            std::wstring text(static_cast<size_t>(length) + 1, L'\0');
            const LRESULT copied =
                ask(controls.combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
            text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
            state.nodeText = text;
        }
    }
    if (controls.ok) {
        const LONG style = GetWindowLongW(controls.ok, GWL_STYLE);
        const LRESULT defId = ask(dialog, DM_GETDEFID);
        state.okIsDefault = (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON &&
                            HIWORD(defId) == DC_HASDEFID &&
                            LOWORD(defId) == GetDlgCtrlID(controls.ok);
    }
    GetClientRect(dialog, &state.client);
    return state;
}

void setHostText(HWND dialog, const std::wstring &text) {
    if (HWND edit = findControls(dialog).edit)
        send(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void selectNode(HWND dialog, int index) {
    HWND combo = findControls(dialog).combo;
    if (!combo)
        return;
    send(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    send(dialog, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
         reinterpret_cast<LPARAM>(combo));
}

bool pressEnter(HWND dialog) {
    HWND edit = findControls(dialog).edit;
    if (!edit)
        return false;
    // The dialog manager moves the focus on the dialog's own thread; the key then goes through
    // the dialog's message loop, as a typed one would.
    send(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE);
    postKey(edit, VK_RETURN, 0x1C);
    return waitUntilClosed(dialog, CLOSE_TIMEOUT_MS);
}

void pressEscape(HWND dialog) {
    HWND focus = focusOf(dialog);
    postKey(focus && IsChild(dialog, focus) ? focus : dialog, VK_ESCAPE, 0x01);
}

bool typeIntoAddress(HWND dialog, const std::wstring &text) {
    HWND edit = findControls(dialog).edit;
    if (!edit)
        return false;
    send(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE);
    send(edit, EM_SETSEL, 0, -1);
    // Posted like typed keys, behind whatever was posted before, through the dialog's loop.
    for (wchar_t c : text)
        PostMessageW(edit, WM_CHAR, c, 1);
    return eventually([&] { return !IsWindow(edit) || windowText(edit) == text; },
                      CLOSE_TIMEOUT_MS) &&
           IsWindow(edit);
}

bool closeWithCloseBox(HWND dialog) {
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    return waitUntilClosed(dialog, CLOSE_TIMEOUT_MS);
}

DialogAnswerer::DialogAnswerer(std::function<void(HWND)> fn, unsigned timeoutMs)
    : running(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      thread(&DialogAnswerer::run, this, std::move(fn), timeoutMs) {
    WaitForSingleObject(running, 10000);
}

DialogAnswerer::~DialogAnswerer() {
    stop = true;
    thread.join();
    CloseHandle(running);
}

void DialogAnswerer::run(std::function<void(HWND)> fn, unsigned timeoutMs) {
    SetEvent(running);
    HWND dialog = waitForDialog(timeoutMs, &stop);
    if (!dialog) {
        // One that never got ready (wrong controls, say) would block the test thread for good.
        if (!stop) {
            if (HWND unready = findDialog(isConnectDialog)) {
                forced = true;
                forceClosed(unready);
            }
        }
        return;
    }
    saw = true;
    fn(dialog);
    if (waitUntilClosed(dialog, LEFT_OPEN_GRACE_MS))
        return;
    forced = true;
    forceClosed(dialog);
}

} // namespace testsupport
