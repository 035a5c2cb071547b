#include "support/host_window.h"

#include "canlib.h"
#include "support/eventually.h"

#include <chrono>
#include <memory>
#include <string>

namespace testsupport {

namespace {

const wchar_t WINDOW_CLASS[] = L"CanlibTestHostWindow";
const UINT RUN_ON_WINDOW_THREAD = WM_APP + 1;

// A call handed to the window's thread; shared, so that a caller that gave up waiting
// leaves nothing dangling.
struct Task {
    std::function<void()> fn;
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
};

struct WindowSearch {
    const wchar_t *title;
    HWND found;
};

BOOL CALLBACK findBox(HWND window, LPARAM parameter) {
    auto *search = reinterpret_cast<WindowSearch *>(parameter);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[16] = {};
    wchar_t title[128] = {};
    GetClassNameW(window, className, 16);
    GetWindowTextW(window, title, 128);
    if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
        std::wstring(className) == L"#32770" && std::wstring(title) == search->title &&
        GetDlgItem(window, 0xFFFF) != nullptr) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

HostWindow::HostWindow() {
    thread = std::thread([this] { run(); });
    std::unique_lock<std::mutex> guard(lock);
    changed.wait_for(guard, std::chrono::seconds(10), [this] { return ready; });
}

HostWindow::~HostWindow() {
    if (window != nullptr)
        PostMessageW(window, WM_CLOSE, 0, 0);
    else if (windowThreadId != 0)
        PostThreadMessageW(windowThreadId, WM_QUIT, 0, 0);
    if (thread.joinable())
        thread.join();
}

void HostWindow::run() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &HostWindow::procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = WINDOW_CLASS;
    RegisterClassW(&windowClass); // fails harmlessly when a second window registers it again
    HWND created = CreateWindowExW(0, WINDOW_CLASS, L"Host", WS_OVERLAPPEDWINDOW, 50, 50, 300, 200,
                                   nullptr, nullptr, GetModuleHandleW(nullptr), this);
    {
        std::lock_guard<std::mutex> guard(lock);
        window = created;
        windowThreadId = GetCurrentThreadId();
        ready = true;
    }
    changed.notify_all();
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

LRESULT CALLBACK HostWindow::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto *create = reinterpret_cast<CREATESTRUCTW *>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto *self = reinterpret_cast<HostWindow *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM__CANLIB:
        self->wParamSeen = wParam;
        self->lParamSeen = lParam;
        if (self->onCanlibMessage)
            self->onCanlibMessage();
        {
            std::lock_guard<std::mutex> guard(self->lock);
            ++self->received;
        }
        self->changed.notify_all();
        return 0;
    case RUN_ON_WINDOW_THREAD: {
        std::unique_ptr<std::shared_ptr<Task>> task(
            reinterpret_cast<std::shared_ptr<Task> *>(lParam));
        (*task)->fn();
        std::lock_guard<std::mutex> guard((*task)->lock);
        (*task)->done = true;
        (*task)->finished.notify_all();
        return 0;
    }
    case HostWindow::SENT_REQUEST:
        return self->onSentRequest ? self->onSentRequest() : 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool HostWindow::waitForMessages(int count, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                            [this, count] { return received >= count; });
}

bool HostWindow::runOnWindowThread(std::function<void()> fn, unsigned timeoutMs) {
    auto task = std::make_shared<Task>();
    task->fn = std::move(fn);
    if (!PostMessageW(window, RUN_ON_WINDOW_THREAD, 0,
                      reinterpret_cast<LPARAM>(new std::shared_ptr<Task>(task))))
        return false;
    std::unique_lock<std::mutex> guard(task->lock);
    return task->finished.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                   [&task] { return task->done; });
}

bool waitForSentMessage(unsigned timeoutMs) {
    return eventually([] { return (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) != 0; },
                      timeoutMs);
}

HWND waitForMessageBox(const wchar_t *title, unsigned timeoutMs) {
    WindowSearch search{title, nullptr};
    eventually(
        [&search] {
            EnumWindows(&findBox, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        timeoutMs);
    return search.found;
}

std::wstring messageBoxText(HWND box) {
    wchar_t text[1024] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 1024);
    return text;
}

void pressOk(HWND box) {
    PostMessageW(box, WM_COMMAND, IDOK, 0);
}

} // namespace testsupport
