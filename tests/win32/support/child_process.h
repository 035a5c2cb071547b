// Runs a named scenario of the current test program in a child copy of itself, as a debuggee, so
// that a test can watch what ends a process for real: its debug trace, the message boxes it
// shows and its exit code.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A scenario is a named function that a test program runs in a child copy of itself.
using Scenario = void (*)();
void registerScenario(const char *name, Scenario scenario);

// Defines `static void name()` and registers it before main under the string #name.
#define CHILD_SCENARIO(name)                                                                       \
    static void name();                                                                            \
    [[maybe_unused]] static const bool name##ScenarioRegistered =                                  \
        (::testsupport::registerScenario(#name, &name), true);                                     \
    static void name()

struct MessageBoxSeen {
    std::wstring title;
    std::wstring text;
};

// The exit code given to a child that is killed because it outlived its time-out.
constexpr unsigned long kTimedOutExitCode = WAIT_TIMEOUT;
// The exit code of an outcome whose child was never seen to end (it did not start, or its end
// was lost): the code Windows reserves for a running process, so that no check of an exit code
// passes without a child that ran.
constexpr unsigned long kNoExitCode = STILL_ACTIVE;

struct ChildOutcome {
    bool started = false;
    unsigned long startError = 0; // GetLastError of the last failed CreateProcessW, if any
    bool timedOut = false;        // killed after the time-out
    // An exception reached the child's second chance; the child was then ended with the
    // exception code as its exit code.
    bool crashed = false;
    unsigned long exitCode = kNoExitCode;
    unsigned long processId = 0;
    // Every debug string of the child (UTF-8), split into lines, CR/LF removed, in order.
    std::vector<std::string> traceLines;
    // When each line was complete (GetTickCount64), for the pauses between them.
    std::vector<unsigned long long> traceTicks;
    // Every message box (#32770 window with a static 0xFFFF text) the child showed, in order.
    std::vector<MessageBoxSeen> messageBoxes;

    bool hasTrace(const std::string &line) const; // exact match of one line
    // Index of the first line from `from` on that starts with prefix, or -1.
    long findTrace(const std::string &prefix, std::size_t from = 0) const;
    // Everything above in readable form, for assertion messages.
    std::string describe() const;
};

struct ChildOptions {
    unsigned timeoutMs = 20000;
    // What to do with each message box: default dismisses it with OK after recording it.
    std::function<void(HWND box, const MessageBoxSeen &)> onMessageBox;
    std::vector<std::wstring> extraArguments; // passed after the scenario name
    // Called with each trace line as soon as it is complete, while the child waits for the
    // debug event to be answered: lets a test act at a moment of the child's own run. (A last
    // line without its line end is complete only once the child has ended.)
    std::function<void(const std::string &line)> onTraceLine;
};

// Runs this test program again as a debuggee with `--child-scenario=<name>`, collects its debug
// strings, records and dismisses its message boxes, waits for its end, returns what happened.
// Must be called on the thread that consumes the debug events (any thread, one child at a time
// per thread).
ChildOutcome runChild(const char *scenarioName, const ChildOptions &options = {});

// Inside a child: the extra arguments.
const std::vector<std::wstring> &childArguments();

// For the program's main: the scenario registered under `name` (null if none) and the place to
// put the extra arguments before running it.
namespace detail {
Scenario findScenario(const std::string &name);
void setChildArguments(std::vector<std::wstring> arguments);
} // namespace detail

} // namespace testsupport
