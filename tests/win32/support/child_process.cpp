#include "child_process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <set>
#include <sstream>
#include <utility>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long one WaitForDebugEvent may block: also the period of the message-box scan.
constexpr DWORD kEventWaitMs = 20;
// After TerminateProcess the exit event normally follows at once; this only bounds a fault.
constexpr milliseconds kExitEventGrace{5000};
// Under Wine a process can be signalled a moment before its exit event is read.
constexpr milliseconds kLateExitEventWait{500};
// Bound for reading a box's text: the box's thread answers while it runs its modal loop.
constexpr UINT kTextReadTimeoutMs = 2000;
// Tries at starting a child, and the pause between them.
constexpr int kStartAttempts = 3;
constexpr DWORD kStartRetryPauseMs = 200;
// A debug string longer than this is cut: protects the parent from a corrupt length.
constexpr SIZE_T kMaxDebugStringChars = 1 << 20;
constexpr int kMessageBoxTextId = 0xFFFF;
// The loader breakpoint of a 32-bit debuggee seen by a 64-bit debugger on 64-bit Windows.
constexpr DWORD kWow64Breakpoint = 0x4000001F;

bool runningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

const bool kEventHandlesAreOurs = runningUnderWine();

std::map<std::string, Scenario> &scenarios() {
    // Function-local so that registration from other files' static initialisers is safe.
    static std::map<std::string, Scenario> all;
    return all;
}

std::vector<std::wstring> &argumentStore() {
    static std::vector<std::wstring> arguments;
    return arguments;
}

std::string fromWide(const wchar_t *text, int length) {
    if (length <= 0)
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

std::string fromWide(const std::wstring &text) {
    return fromWide(text.data(), static_cast<int>(text.size()));
}

// Debug strings arrive in the ANSI code page under Wine; the outcome holds UTF-8 throughout.
std::string fromAnsi(const char *text, int length) {
    if (length <= 0)
        return {};
    const int size = MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, length, wide.data(), size);
    return fromWide(wide);
}

std::wstring toWide(const std::string &text) {
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), size);
    return out;
}

// The inverse of CommandLineToArgvW for an argument after the program name.
std::wstring quoteArgument(const std::wstring &argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    auto it = argument.begin();
    for (;;) {
        std::size_t backslashes = 0;
        while (it != argument.end() && *it == L'\\') {
            ++it;
            ++backslashes;
        }
        if (it == argument.end()) {
            // Doubled so that the closing quote stays a quote.
            out.append(backslashes * 2, L'\\');
            break;
        }
        if (*it == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        out.push_back(*it);
        ++it;
    }
    out.push_back(L'"');
    return out;
}

std::wstring ownExecutablePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

void closeHandle(HANDLE handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

// Joins debug-string fragments and cuts them into lines; one call may carry part of a line.
class LineSplitter {
  public:
    LineSplitter(std::vector<std::string> &lines, std::vector<unsigned long long> &ticks,
                 std::function<void(const std::string &)> onLine)
        : lines_(lines), ticks_(ticks), onLine_(std::move(onLine)) {}

    void add(const std::string &text) {
        pending_ += text;
        std::size_t start = 0;
        for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos;
             start = end + 1)
            emit(pending_.substr(start, end - start));
        pending_.erase(0, start);
    }

    void flush() {
        if (!pending_.empty())
            emit(pending_);
        pending_.clear();
    }

  private:
    void emit(std::string line) {
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines_.push_back(std::move(line));
        ticks_.push_back(GetTickCount64());
        if (onLine_)
            onLine_(lines_.back());
    }

    std::vector<std::string> &lines_;
    std::vector<unsigned long long> &ticks_;
    std::function<void(const std::string &)> onLine_;
    std::string pending_;
};

struct BoxSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK collectDialogsOfProcess(HWND window, LPARAM parameter) {
    auto *search = reinterpret_cast<BoxSearch *>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || !IsWindowVisible(window))
        return TRUE;
    wchar_t className[16] = {};
    if (GetClassNameW(window, className, 16) > 0 && std::wcscmp(className, L"#32770") == 0)
        search->found.push_back(window);
    return TRUE;
}

// Reads the text of a window of another process without waiting for ever on its thread.
bool readWindowTextBounded(HWND window, std::wstring &text) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG,
                             kTextReadTimeoutMs, &length))
        return false;
    std::wstring buffer(static_cast<std::size_t>(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(),
                             reinterpret_cast<LPARAM>(buffer.data()), SMTO_BLOCK | SMTO_ABORTIFHUNG,
                             kTextReadTimeoutMs, &copied))
        return false;
    buffer.resize(std::min<std::size_t>(static_cast<std::size_t>(copied), buffer.size()));
    text = std::move(buffer);
    return true;
}

std::wstring windowTitle(HWND window) {
    // For another process's window this reads the stored caption and sends no message.
    const int length = GetWindowTextLengthW(window);
    std::wstring title(static_cast<std::size_t>(std::max(length, 0)) + 1, L'\0');
    const int copied = GetWindowTextW(window, title.data(), static_cast<int>(title.size()));
    title.resize(static_cast<std::size_t>(std::max(copied, 0)));
    return title;
}

// One child run: owns the child's handles and guarantees, even on an exception from a
// callback, that the child is gone and detached before the parent goes on.
class DebugSession {
  public:
    DebugSession(const ChildOptions &options, ChildOutcome &outcome)
        : options_(options), outcome_(outcome),
          splitter_(outcome.traceLines, outcome.traceTicks, options.onTraceLine) {}

    DebugSession(const DebugSession &) = delete;
    DebugSession &operator=(const DebugSession &) = delete;

    ~DebugSession() {
        if (process_.hProcess != nullptr && !exited_) {
            // Only reached through an exception: never leave a frozen debuggee behind.
            TerminateProcess(process_.hProcess, kTimedOutExitCode);
            terminated_ = true;
            try {
                drainUntilExit(Clock::now() + kExitEventGrace);
            } catch (...) {
            }
        }
        finish();
    }

    bool start(const std::wstring &executable, std::wstring commandLine) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        // Under wine64 a start right after the previous debuggee ended failed once in some
        // hundred runs on a loaded machine; the child never ran then, so a second try is fair.
        for (int attempt = 1;; ++attempt) {
            if (CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                               DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup, &process_))
                break;
            outcome_.startError = GetLastError();
            if (attempt == kStartAttempts)
                return false;
            Sleep(kStartRetryPauseMs);
        }
        outcome_.started = true;
        outcome_.processId = process_.dwProcessId;
        return true;
    }

    void run() {
        const auto deadline = Clock::now() + milliseconds(options_.timeoutMs);
        auto lastScan = Clock::time_point{};
        while (!exited_) {
            const bool gotEvent = pumpOneEvent();
            if (exited_)
                break;
            const auto now = Clock::now();
            if (!gotEvent || now - lastScan >= milliseconds(kEventWaitMs)) {
                scanMessageBoxes();
                lastScan = now;
            }
            if (Clock::now() >= deadline) {
                if (!terminated_) {
                    outcome_.timedOut = true;
                    TerminateProcess(process_.hProcess, kTimedOutExitCode);
                    terminated_ = true;
                }
                drainUntilExit(Clock::now() + kExitEventGrace);
                break;
            }
            if (!gotEvent && processEndedWithoutEvent())
                break;
        }
    }

  private:
    // Waits briefly for one debug event and answers it; false when none came.
    bool pumpOneEvent() {
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, kEventWaitMs))
            return false;
        DWORD status = DBG_CONTINUE;
        if (event.dwProcessId != process_.dwProcessId) {
            // A late event of an earlier child of this thread: answer it and ignore it.
            closeEventFile(event);
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
            return true;
        }
        try {
            status = handleEvent(event);
        } catch (...) {
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
            throw;
        }
        // Every event is answered, or the whole child stays frozen.
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        return true;
    }

    // Windows closes the process and thread handles of debug events itself when their exit
    // events are continued; Wine never does, so under Wine they are ours to close.
    void keepEventHandle(HANDLE handle) {
        if (kEventHandlesAreOurs && handle != nullptr)
            eventHandles_.push_back(handle);
    }

    void keepThreadHandle(DWORD threadId, HANDLE handle) {
        if (kEventHandlesAreOurs && handle != nullptr)
            threadHandles_[threadId] = handle;
    }

    void dropThreadHandle(DWORD threadId) {
        const auto it = threadHandles_.find(threadId);
        if (it == threadHandles_.end())
            return;
        closeHandle(it->second);
        threadHandles_.erase(it);
    }

    // The file handles of these events are the debugger's to close on every system.
    static void closeEventFile(const DEBUG_EVENT &event) {
        if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT)
            closeHandle(event.u.CreateProcessInfo.hFile);
        else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT)
            closeHandle(event.u.LoadDll.hFile);
    }

    DWORD handleEvent(const DEBUG_EVENT &event) {
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            keepEventHandle(event.u.CreateProcessInfo.hProcess);
            keepThreadHandle(event.dwThreadId, event.u.CreateProcessInfo.hThread);
            closeEventFile(event);
            return DBG_CONTINUE;
        case CREATE_THREAD_DEBUG_EVENT:
            keepThreadHandle(event.dwThreadId, event.u.CreateThread.hThread);
            return DBG_CONTINUE;
        case EXIT_THREAD_DEBUG_EVENT:
            dropThreadHandle(event.dwThreadId);
            return DBG_CONTINUE;
        case LOAD_DLL_DEBUG_EVENT:
            closeEventFile(event);
            return DBG_CONTINUE;
        case OUTPUT_DEBUG_STRING_EVENT:
            readDebugString(event.u.DebugString);
            return DBG_CONTINUE;
        case EXCEPTION_DEBUG_EVENT:
            return handleException(event.u.Exception);
        case EXIT_PROCESS_DEBUG_EVENT:
            outcome_.exitCode = event.u.ExitProcess.dwExitCode;
            exited_ = true;
            return DBG_CONTINUE;
        default:
            return DBG_CONTINUE;
        }
    }

    DWORD handleException(const EXCEPTION_DEBUG_INFO &info) {
        const DWORD code = info.ExceptionRecord.ExceptionCode;
        if (!sawLoaderBreakpoint_ && (code == EXCEPTION_BREAKPOINT || code == kWow64Breakpoint)) {
            // The loader's breakpoint that every debuggee raises once before main.
            sawLoaderBreakpoint_ = true;
            return DBG_CONTINUE;
        }
        if (info.dwFirstChance == 0 && !terminated_) {
            // Nothing in the child handled it: end it here, so that the outcome does not depend
            // on what the system would do next (crash reports, a just-in-time debugger).
            outcome_.crashed = true;
            TerminateProcess(process_.hProcess, code);
            terminated_ = true;
        }
        // The child's own handlers decide, exactly as without a debugger.
        return DBG_EXCEPTION_NOT_HANDLED;
    }

    void readDebugString(const OUTPUT_DEBUG_STRING_INFO &info) {
        const SIZE_T chars = std::min<SIZE_T>(info.nDebugStringLength, kMaxDebugStringChars);
        if (chars == 0 || info.lpDebugStringData == nullptr)
            return;
        SIZE_T got = 0;
        if (info.fUnicode) {
            std::wstring text(chars, L'\0');
            ReadProcessMemory(process_.hProcess, info.lpDebugStringData, text.data(),
                              chars * sizeof(wchar_t), &got);
            text.resize(std::min<SIZE_T>(got / sizeof(wchar_t), chars));
            text.resize(std::min(text.find(L'\0'), text.size()));
            splitter_.add(fromWide(text));
        } else {
            std::string text(chars, '\0');
            ReadProcessMemory(process_.hProcess, info.lpDebugStringData, text.data(), chars, &got);
            text.resize(std::min<SIZE_T>(got, chars));
            text.resize(std::min(text.find('\0'), text.size()));
            splitter_.add(fromAnsi(text.data(), static_cast<int>(text.size())));
        }
    }

    void scanMessageBoxes() {
        // Forget boxes that are gone, so that a later box with a reused handle still counts.
        for (auto it = handled_.begin(); it != handled_.end();)
            it = IsWindow(*it) ? std::next(it) : handled_.erase(it);

        BoxSearch search{process_.dwProcessId, {}};
        EnumWindows(collectDialogsOfProcess, reinterpret_cast<LPARAM>(&search));
        // EnumWindows lists the newest window first.
        for (auto it = search.found.rbegin(); it != search.found.rend(); ++it) {
            const HWND box = *it;
            if (handled_.count(box) != 0)
                continue;
            const HWND textItem = GetDlgItem(box, kMessageBoxTextId);
            if (textItem == nullptr)
                continue; // a dialog that is not a message box, or one still being built
            MessageBoxSeen seen;
            if (!readWindowTextBounded(textItem, seen.text))
                continue; // try again on the next scan
            seen.title = windowTitle(box);
            handled_.insert(box);
            outcome_.messageBoxes.push_back(seen);
            if (options_.onMessageBox)
                options_.onMessageBox(box, seen);
            else
                PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
    }

    // After TerminateProcess: answer events until the exit event, within a bound.
    void drainUntilExit(Clock::time_point limit) {
        while (!exited_ && Clock::now() < limit) {
            if (!pumpOneEvent() && processEndedWithoutEvent())
                return;
        }
    }

    // The exit event should always come; this covers a debuggee that vanished without one.
    bool processEndedWithoutEvent() {
        if (WaitForSingleObject(process_.hProcess, 0) != WAIT_OBJECT_0)
            return false;
        // The process may be signalled just before its exit event can be read: give it a moment.
        const auto limit = Clock::now() + kLateExitEventWait;
        while (!exited_ && Clock::now() < limit)
            pumpOneEvent();
        if (!exited_) {
            DWORD code = 0;
            if (GetExitCodeProcess(process_.hProcess, &code))
                outcome_.exitCode = code;
            exited_ = true;
        }
        return true;
    }

    void finish() {
        splitter_.flush();
        if (process_.hProcess == nullptr)
            return;
        if (!exited_) {
            // The exit event never came: detach so that the debuggee is not bound to us.
            DebugActiveProcessStop(process_.dwProcessId);
        }
        // Return only once the child is really gone; bounded in case it is stuck.
        WaitForSingleObject(process_.hProcess, static_cast<DWORD>(kExitEventGrace.count()));
        for (const auto &entry : threadHandles_)
            closeHandle(entry.second);
        threadHandles_.clear();
        for (const HANDLE handle : eventHandles_)
            closeHandle(handle);
        eventHandles_.clear();
        closeHandle(process_.hThread);
        closeHandle(process_.hProcess);
        process_ = {};
    }

    const ChildOptions &options_;
    ChildOutcome &outcome_;
    LineSplitter splitter_;
    PROCESS_INFORMATION process_{};
    std::set<HWND> handled_;
    std::map<DWORD, HANDLE> threadHandles_;
    std::vector<HANDLE> eventHandles_;
    bool sawLoaderBreakpoint_ = false;
    bool terminated_ = false;
    bool exited_ = false;
};

} // namespace

void registerScenario(const char *name, Scenario scenario) {
    if (!scenarios().emplace(name, scenario).second) {
        // Two scenarios under one name would make a child run the wrong one.
        std::fprintf(stderr, "duplicate child scenario name: %s\n", name);
        std::fflush(stderr);
        std::_Exit(4);
    }
}

bool ChildOutcome::hasTrace(const std::string &line) const {
    return std::find(traceLines.begin(), traceLines.end(), line) != traceLines.end();
}

long ChildOutcome::findTrace(const std::string &prefix, std::size_t from) const {
    for (std::size_t i = from; i < traceLines.size(); ++i)
        if (traceLines[i].compare(0, prefix.size(), prefix) == 0)
            return static_cast<long>(i);
    return -1;
}

std::string ChildOutcome::describe() const {
    std::ostringstream out;
    out << "child: started=" << started;
    if (!started)
        out << " (error " << startError << ")";
    out << " timedOut=" << timedOut << " crashed=" << crashed << " exitCode=";
    if (exitCode == kNoExitCode)
        out << "none";
    else
        out << exitCode << " (0x" << std::hex << exitCode << std::dec << ")";
    out << '\n';
    for (const auto &line : traceLines)
        out << "  trace: " << line << '\n';
    for (const auto &box : messageBoxes)
        out << "  box: [" << fromWide(box.title) << "] " << fromWide(box.text) << '\n';
    return out.str();
}

ChildOutcome runChild(const char *scenarioName, const ChildOptions &options) {
    ChildOutcome outcome;
    const std::wstring executable = ownExecutablePath();
    if (executable.empty())
        return outcome;
    std::wstring commandLine =
        L"\"" + executable + L"\" " + quoteArgument(L"--child-scenario=" + toWide(scenarioName));
    for (const auto &argument : options.extraArguments)
        commandLine += L" " + quoteArgument(argument);

    {
        // Scoped: the session completes the outcome (last trace line) when it ends.
        DebugSession session(options, outcome);
        if (session.start(executable, commandLine))
            session.run();
    }
    return outcome;
}

const std::vector<std::wstring> &childArguments() {
    return argumentStore();
}

namespace detail {

Scenario findScenario(const std::string &name) {
    const auto it = scenarios().find(name);
    return it == scenarios().end() ? nullptr : it->second;
}

void setChildArguments(std::vector<std::wstring> arguments) {
    argumentStore() = std::move(arguments);
}

} // namespace detail

} // namespace testsupport
