// Tests of the child-process harness itself: each scenario below runs in a child copy of this
// program, and the test checks what the parent saw.
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

using testsupport::ChildOptions;
using testsupport::ChildOutcome;
using testsupport::runChild;

namespace {

const wchar_t *const kLibraryTitle = L"Brenvox CAN Library for Vantrel";
constexpr unsigned kShortTimeoutMs = 1500;
constexpr DWORD kCustomException = 0xE0001234;

using Clock = std::chrono::steady_clock;

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// True when no process with this id is running any more (the harness must not leave one).
bool processIsGone(unsigned long processId) {
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process == nullptr)
        return true;
    const bool gone = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return gone;
}

// Counts this process's open handles by asking about every small handle value, because Wine's
// GetProcessHandleCount always reports 0.
unsigned openHandleCount() {
    unsigned count = 0;
    for (ULONG_PTR value = 4; value < 16384; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
}

void trace(const std::wstring &text) {
    OutputDebugStringW(text.c_str());
}

// ASCII as is, everything else as \uXXXX: survives the ANSI conversion of debug strings.
std::wstring escaped(const std::wstring &text) {
    std::wstring out;
    for (const wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += c;
        } else {
            wchar_t code[8];
            std::swprintf(code, 8, L"\\u%04X", static_cast<unsigned>(c));
            out += code;
        }
    }
    return out;
}

DWORD WINAPI showWorkerBox(void *result) {
    *static_cast<int *>(result) =
        MessageBoxW(nullptr, L"from a second thread", L"worker box", MB_OK | MB_ICONERROR);
    return 0;
}

LONG CALLBACK resumeCustomException(EXCEPTION_POINTERS *pointers) {
    return pointers->ExceptionRecord->ExceptionCode == kCustomException
               ? EXCEPTION_CONTINUE_EXECUTION
               : EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

CHILD_SCENARIO(returnsAtOnce) {}

CHILD_SCENARIO(writesTwoTraceLines) {
    trace(L"canlib: a: b\r\n");
    trace(L"canlib: split ");
    trace(L"over two calls\r\n");
}

CHILD_SCENARIO(writesAwkwardTrace) {
    trace(L"one\ntwo\n");
    trace(L"\r\n");
    trace(L"tail without newline");
}

CHILD_SCENARIO(writesManyLines) {
    for (int i = 0; i < 500; ++i)
        trace(L"line " + std::to_wstring(i) + L"\r\n");
}

CHILD_SCENARIO(exitsWithCode42) {
    ExitProcess(42);
}

CHILD_SCENARIO(showsErrorBoxThenExits) {
    trace(L"canlib: fatal: x\r\n");
    MessageBoxW(nullptr, L"x\n\ny", kLibraryTitle, MB_OK | MB_ICONERROR);
    ExitProcess(1);
}

CHILD_SCENARIO(showsTwoBoxesInTurn) {
    MessageBoxW(nullptr, L"first", L"box 1", MB_OK);
    MessageBoxW(nullptr, L"second", L"box 2", MB_OK);
}

CHILD_SCENARIO(showsBoxFromSecondThread) {
    int result = 0;
    const HANDLE worker = CreateThread(nullptr, 0, showWorkerBox, &result, 0, nullptr);
    if (worker == nullptr)
        ExitProcess(8);
    trace(L"main thread waiting\r\n");
    const DWORD waited = WaitForSingleObject(worker, 15000);
    CloseHandle(worker);
    if (waited != WAIT_OBJECT_0)
        ExitProcess(9);
    if (result != IDOK)
        ExitProcess(static_cast<UINT>(100 + result));
}

// The exit code tells the parent which button the box reported.
CHILD_SCENARIO(showsOkCancelBox) {
    const int result = MessageBoxW(nullptr, L"close me", L"callback box", MB_OKCANCEL);
    ExitProcess(static_cast<UINT>(100 + result));
}

CHILD_SCENARIO(showsBoxThatNobodyCloses) {
    MessageBoxW(nullptr, L"left open", L"open box", MB_OK);
    ExitProcess(5);
}

CHILD_SCENARIO(neverExits) {
    trace(L"waiting forever\r\n");
    for (;;)
        Sleep(50);
}

CHILD_SCENARIO(echoesArguments) {
    const auto &arguments = testsupport::childArguments();
    trace(L"argc=" + std::to_wstring(arguments.size()) + L"\n");
    for (const auto &argument : arguments)
        trace(L"arg=[" + escaped(argument) + L"]\n");
}

// Waits for the parent to answer its trace line through the event named by its argument.
CHILD_SCENARIO(waitsForTheParent) {
    const HANDLE answer =
        OpenEventW(SYNCHRONIZE, FALSE, testsupport::childArguments().at(0).c_str());
    if (answer == nullptr)
        ExitProcess(8);
    trace(L"waiting for the parent\r\n");
    const DWORD waited = WaitForSingleObject(answer, 10000);
    CloseHandle(answer);
    trace(L"answered\r\n");
    ExitProcess(waited == WAIT_OBJECT_0 ? 0 : 9);
}

CHILD_SCENARIO(handlesItsOwnException) {
    const PVOID handler = AddVectoredExceptionHandler(1, resumeCustomException);
    RaiseException(kCustomException, 0, 0, nullptr);
    RemoveVectoredExceptionHandler(handler);
    trace(L"survived\r\n");
}

CHILD_SCENARIO(writesThroughNull) {
    trace(L"about to crash\r\n");
    // Volatile, so that the compiler cannot see the null and drop the store.
    int *volatile target = nullptr;
    *target = 42;
    trace(L"still alive\r\n");
}

TEST(ChildProcess, TrivialRunEndsQuicklyWithExitCodeZero) {
    const auto start = Clock::now();
    const ChildOutcome outcome = runChild("returnsAtOnce");
    const auto elapsed = millisecondsSince(start);
    EXPECT_LT(elapsed, 10000) << "hang guard";
    ASSERT_TRUE(outcome.started);
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_FALSE(outcome.crashed);
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    EXPECT_TRUE(outcome.traceLines.empty()) << outcome.describe();
    EXPECT_TRUE(outcome.messageBoxes.empty()) << outcome.describe();
    EXPECT_TRUE(processIsGone(outcome.processId));
}

TEST(ChildProcess, CollectsTraceLinesExactly) {
    const ChildOutcome outcome = runChild("writesTwoTraceLines");
    ASSERT_TRUE(outcome.started);
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    const std::vector<std::string> expected = {"canlib: a: b", "canlib: split over two calls"};
    EXPECT_EQ(outcome.traceLines, expected);
    EXPECT_TRUE(outcome.hasTrace("canlib: a: b"));
    EXPECT_FALSE(outcome.hasTrace("canlib: a"));
}

TEST(ChildProcess, SplitsJoinsAndFlushesTraceLines) {
    const ChildOutcome outcome = runChild("writesAwkwardTrace");
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    const std::vector<std::string> expected = {"one", "two", "", "tail without newline"};
    EXPECT_EQ(outcome.traceLines, expected);
}

TEST(ChildProcess, KeepsEveryLineOfABurstInOrder) {
    const ChildOutcome outcome = runChild("writesManyLines");
    EXPECT_EQ(outcome.exitCode, 0u);
    ASSERT_EQ(outcome.traceLines.size(), 500u) << outcome.describe();
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(outcome.traceLines[static_cast<std::size_t>(i)], "line " + std::to_string(i));
}

TEST(ChildProcess, ReportsTheExitCodeOfExitProcess) {
    const ChildOutcome outcome = runChild("exitsWithCode42");
    EXPECT_EQ(outcome.exitCode, 42u);
    EXPECT_FALSE(outcome.crashed);
    EXPECT_FALSE(outcome.timedOut);
}

TEST(ChildProcess, UnknownScenarioEndsWithExitCodeThree) {
    const ChildOutcome outcome = runChild("noSuchScenario");
    ASSERT_TRUE(outcome.started);
    EXPECT_EQ(outcome.exitCode, 3u);
    EXPECT_FALSE(outcome.crashed);
}

TEST(ChildProcess, RecordsAndDismissesTheErrorBox) {
    const ChildOutcome outcome = runChild("showsErrorBoxThenExits");
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_EQ(outcome.exitCode, 1u) << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("canlib: fatal: x")) << outcome.describe();
    ASSERT_EQ(outcome.messageBoxes.size(), 1u) << outcome.describe();
    EXPECT_EQ(outcome.messageBoxes[0].title, kLibraryTitle);
    EXPECT_EQ(outcome.messageBoxes[0].text, L"x\n\ny");
}

TEST(ChildProcess, RecordsSuccessiveBoxesInOrder) {
    const ChildOutcome outcome = runChild("showsTwoBoxesInTurn");
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    ASSERT_EQ(outcome.messageBoxes.size(), 2u) << outcome.describe();
    EXPECT_EQ(outcome.messageBoxes[0].title, L"box 1");
    EXPECT_EQ(outcome.messageBoxes[0].text, L"first");
    EXPECT_EQ(outcome.messageBoxes[1].title, L"box 2");
    EXPECT_EQ(outcome.messageBoxes[1].text, L"second");
}

TEST(ChildProcess, FindsABoxShownByAnotherThread) {
    const ChildOutcome outcome = runChild("showsBoxFromSecondThread");
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("main thread waiting"));
    ASSERT_EQ(outcome.messageBoxes.size(), 1u) << outcome.describe();
    EXPECT_EQ(outcome.messageBoxes[0].title, L"worker box");
    EXPECT_EQ(outcome.messageBoxes[0].text, L"from a second thread");
}

TEST(ChildProcess, CallbackCanCloseTheBoxInsteadOfOk) {
    ChildOptions options;
    int calls = 0;
    options.onMessageBox = [&calls](HWND box, const testsupport::MessageBoxSeen &seen) {
        ++calls;
        EXPECT_EQ(seen.text, L"close me");
        PostMessageW(box, WM_CLOSE, 0, 0);
    };
    const ChildOutcome outcome = runChild("showsOkCancelBox", options);
    EXPECT_EQ(calls, 1);
    ASSERT_EQ(outcome.messageBoxes.size(), 1u) << outcome.describe();
    EXPECT_EQ(outcome.messageBoxes[0].title, L"callback box");
    // Closing reports Cancel; the default handling would have reported OK (101).
    EXPECT_EQ(outcome.exitCode, 100u + IDCANCEL) << outcome.describe();
}

TEST(ChildProcess, DefaultHandlingPressesOk) {
    const ChildOutcome outcome = runChild("showsOkCancelBox");
    ASSERT_EQ(outcome.messageBoxes.size(), 1u) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 100u + IDOK) << outcome.describe();
}

TEST(ChildProcess, RecordsABoxOnceWhileItStaysOpen) {
    ChildOptions options;
    options.timeoutMs = kShortTimeoutMs;
    std::atomic<int> calls{0};
    options.onMessageBox = [&calls](HWND, const testsupport::MessageBoxSeen &) { ++calls; };
    const ChildOutcome outcome = runChild("showsBoxThatNobodyCloses", options);
    EXPECT_TRUE(outcome.timedOut) << outcome.describe();
    EXPECT_EQ(calls.load(), 1);
    ASSERT_EQ(outcome.messageBoxes.size(), 1u) << outcome.describe();
    EXPECT_EQ(outcome.messageBoxes[0].text, L"left open");
    EXPECT_TRUE(processIsGone(outcome.processId));
}

TEST(ChildProcess, KillsAChildThatNeverEnds) {
    ChildOptions options;
    options.timeoutMs = kShortTimeoutMs;
    const auto start = Clock::now();
    const ChildOutcome outcome = runChild("neverExits", options);
    const auto elapsed = millisecondsSince(start);
    ASSERT_TRUE(outcome.started);
    EXPECT_TRUE(outcome.timedOut);
    EXPECT_FALSE(outcome.crashed);
    EXPECT_EQ(outcome.exitCode, testsupport::kTimedOutExitCode);
    EXPECT_TRUE(outcome.hasTrace("waiting forever")) << outcome.describe();
    EXPECT_GE(elapsed, kShortTimeoutMs - 50) << "killed before its time-out";
    EXPECT_LT(elapsed, kShortTimeoutMs + 2000) << "the time-out was not kept";
    EXPECT_TRUE(processIsGone(outcome.processId));
}

TEST(ChildProcess, PassesExtraArgumentsVerbatim) {
    ChildOptions options;
    options.extraArguments = {L"plain",         L"two words",       L"",
                              L"quote\"inside", L"trailing\\",      L"a\\\\\"b",
                              L"tab\there",     L"gr\u00FC\u00DFe", L"--gtest_list_tests"};
    const ChildOutcome outcome = runChild("echoesArguments", options);
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    const std::vector<std::string> expected = {"argc=9",
                                               "arg=[plain]",
                                               "arg=[two words]",
                                               "arg=[]",
                                               "arg=[quote\"inside]",
                                               "arg=[trailing\\]",
                                               "arg=[a\\\\\"b]",
                                               "arg=[tab\\u0009here]",
                                               "arg=[gr\\u00FC\\u00DFe]",
                                               "arg=[--gtest_list_tests]"};
    EXPECT_EQ(outcome.traceLines, expected);
}

TEST(ChildProcess, TellsEachTraceLineWhileTheChildRuns) {
    const std::wstring name = L"harness-answer-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE answer = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(answer, nullptr);
    ChildOptions options;
    options.extraArguments = {name};
    std::vector<std::string> told;
    options.onTraceLine = [&](const std::string &line) {
        told.push_back(line);
        if (line == "waiting for the parent")
            SetEvent(answer);
    };
    const ChildOutcome outcome = runChild("waitsForTheParent", options);
    CloseHandle(answer);
    EXPECT_EQ(outcome.exitCode, 0u) << "9: the line was not told before the child ended\n"
                                    << outcome.describe();
    EXPECT_EQ(told, outcome.traceLines);
    EXPECT_EQ(told, (std::vector<std::string>{"waiting for the parent", "answered"}));
}

TEST(ChildProcess, OutcomeWithoutAChildPassesNoExitCodeCheck) {
    const ChildOutcome none;
    EXPECT_FALSE(none.started);
    for (const unsigned long code : {0ul, 1ul, testsupport::kTimedOutExitCode})
        EXPECT_NE(none.exitCode, code);
    EXPECT_NE(none.describe().find("exitCode=none"), std::string::npos) << none.describe();
}

TEST(ChildProcess, HandledExceptionIsNotACrash) {
    const ChildOutcome outcome = runChild("handlesItsOwnException");
    EXPECT_FALSE(outcome.crashed) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("survived"));
}

TEST(ChildProcess, AccessViolationIsReportedAsCrashWithoutHanging) {
    const auto start = Clock::now();
    const ChildOutcome outcome = runChild("writesThroughNull");
    const auto elapsed = millisecondsSince(start);
    EXPECT_LT(elapsed, 10000) << "hang guard";
    EXPECT_TRUE(outcome.crashed) << outcome.describe();
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_EQ(outcome.exitCode, static_cast<unsigned long>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_TRUE(outcome.hasTrace("about to crash"));
    EXPECT_FALSE(outcome.hasTrace("still alive"));
    EXPECT_TRUE(outcome.messageBoxes.empty()) << outcome.describe();
    EXPECT_TRUE(processIsGone(outcome.processId));
}

TEST(ChildProcess, ThrowingCallbackStillEndsTheChild) {
    ChildOptions options;
    DWORD childId = 0;
    options.onMessageBox = [&childId](HWND box, const testsupport::MessageBoxSeen &) {
        GetWindowThreadProcessId(box, &childId);
        throw std::runtime_error("callback failed");
    };
    const auto start = Clock::now();
    EXPECT_THROW(runChild("showsBoxThatNobodyCloses", options), std::runtime_error);
    EXPECT_LT(millisecondsSince(start), 10000) << "hang guard";
    ASSERT_NE(childId, 0u);
    EXPECT_TRUE(processIsGone(childId));
    // The next child on this thread is not confused by what is left of the first.
    EXPECT_EQ(runChild("exitsWithCode42").exitCode, 42u);
}

TEST(ChildProcess, LeavesNoHandlesBehind) {
    // The first run may open what the parent keeps for later runs (window station and such).
    runChild("returnsAtOnce");
    const unsigned before = openHandleCount();
    for (const char *name : {"writesTwoTraceLines", "showsErrorBoxThenExits",
                             "showsBoxFromSecondThread", "writesThroughNull", "exitsWithCode42"})
        EXPECT_TRUE(runChild(name).started) << name;
    EXPECT_EQ(openHandleCount(), before);
}
