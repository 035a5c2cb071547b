// A host that loads the DLL itself and frees it while the channel is open. The worker runs the
// DLL's code until the process ends, so the DLL must stay in place: the host goes on and ends
// as it chooses. This program does not import the DLL, so that freeing it is a real unload.
#include "canlib.h"
#include "support/child_process.h"
#include "support/dll_test_support.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace testsupport;

namespace {

constexpr UINT HOST_EXIT_CODE = 42;

template <class Function> Function exported(HMODULE dll, const char *name) {
    const FARPROC found = GetProcAddress(dll, name);
    Function function = nullptr;
    static_assert(sizeof function == sizeof found, "function pointers differ in size");
    CopyMemory(&function, &found, sizeof function);
    if (function == nullptr)
        ExitProcess(21);
    return function;
}

} // namespace

// Opens the channel on the gateway, frees the DLL once connected, and ends with its own exit
// code when the gateway has seen the worker go on. Arguments: the gateway's address, and the
// name of the event that the gateway sets then.
CHILD_SCENARIO(freeTheLibraryWithTheChannelOpen) {
    const std::string address = narrow(childArguments().at(0));
    const HANDLE wentOn = OpenEventW(SYNCHRONIZE, FALSE, childArguments().at(1).c_str());
    const HMODULE dll = LoadLibraryW(L"canlib32.dll");
    if (wentOn == nullptr || dll == nullptr)
        ExitProcess(20);
    const auto open = exported<decltype(&canOpenChannel)>(dll, "canOpenChannel");
    const auto readWait = exported<decltype(&canReadWait)>(dll, "canReadWait");
    {
        DialogAnswerer answerer([&](HWND dialog) {
            setHostText(dialog, widen(address));
            closeWithCloseBox(dialog);
        });
        if (open(0, 0) != 0)
            ExitProcess(22);
    }
    if (readWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 8000) != canOK)
        ExitProcess(23); // never connected
    if (!FreeLibrary(dll))
        ExitProcess(24);
    OutputDebugStringA("host: freed the library\r\n");
    ExitProcess(WaitForSingleObject(wentOn, 10000) == WAIT_OBJECT_0 ? HOST_EXIT_CODE : 25);
}

TEST(HostUnloadingTheLibrary, GoesOnWithTheChannelOpenAndEndsWithItsOwnExitCode) {
    TestGateway gateway;
    ASSERT_TRUE(gateway.started) << gateway.startError;
    const std::wstring wentOnName = L"canlib-test-went-on-" + widen(gateway.address);
    const HANDLE wentOn = CreateEventW(nullptr, TRUE, FALSE, wentOnName.c_str());
    ASSERT_NE(wentOn, nullptr);
    // Polls after the unload show that the worker still runs the DLL's code. The child waits
    // while its trace line is handled, so a poll it sent before may still be in flight: the
    // second one after the line is surely from after the unload.
    std::atomic<bool> freed{false};
    std::atomic<int> pollsAfter{0};
    gateway.simulator.setResponder(
        [&freed, &pollsAfter, wentOn](const std::vector<uint8_t> &request) {
            if (request[8] == 1 && freed && ++pollsAfter == 2)
                SetEvent(wentOn);
            const std::vector<uint8_t> reply =
                request[8] == 1 ? korvalsim::makeReply(request, {0xFF, 100, 1, 5}) : request;
            return std::vector<korvalsim::Action>{{korvalsim::Action::Kind::Write, reply, 0}};
        });
    ChildOptions options;
    options.timeoutMs = 30000;
    options.extraArguments = {widen(gateway.address), wentOnName};
    options.onTraceLine = [&freed](const std::string &line) {
        if (line == "host: freed the library")
            freed = true;
    };
    const ChildOutcome outcome = runChild("freeTheLibraryWithTheChannelOpen", options);
    gateway.simulator.stop(); // the responder uses this test's locals
    CloseHandle(wentOn);
    ASSERT_FALSE(outcome.timedOut) << outcome.describe();
    EXPECT_FALSE(outcome.crashed) << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("host: freed the library")) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, HOST_EXIT_CODE)
        << "25: the worker made no request after the unload\n"
        << outcome.describe();
}
