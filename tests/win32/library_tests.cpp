// The loaded DLL as a host meets it: the library frame, the stop of what it cannot serve, and
// the end of the host's process.
#include <winsock2.h> // before windows.h, which the others include

#include "canlib.h"
#include "support/child_process.h"
#include "support/dll_test_support.h"
#include "support/import_patch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

using namespace testsupport;

namespace {

const wchar_t TITLE[] = L"Brenvox CAN Library for Vantrel";

std::wstring expectedStop(const std::wstring &text) {
    return text + L"\n\nVantrel will be terminated.";
}

// A child scenario given the gateway's address as its argument.
ChildOutcome runChildOn(const TestGateway &gateway, const char *scenario, unsigned timeoutMs) {
    ChildOptions options;
    options.timeoutMs = timeoutMs;
    options.extraArguments = {widen(gateway.address)};
    return runChild(scenario, options);
}

// In a child: opens the channel once more and ends with exit code 0 once a frame comes; with
// notOpened or deaf if it cannot.
[[noreturn]] void exitOnceTheGatewayIsHeardAgain(const std::string &address, UINT notOpened,
                                                 UINT deaf) {
    if (openChannel(address).handle != 0)
        ExitProcess(notOpened);
    const bool heard = canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 10000) == canOK;
    canClose(0);
    ExitProcess(heard ? 0 : deaf);
}

} // namespace

TEST(LibraryFrame, ErrorTextsAndTheirLimits) {
    char buf[64];
    EXPECT_EQ(canGetErrorText(-2, buf, 64), canOK);
    EXPECT_STREQ(buf, "CAN error -2");
    EXPECT_EQ(canGetErrorText(-1, buf, 5), canOK);
    EXPECT_STREQ(buf, "CAN ");
    buf[0] = 'x';
    EXPECT_EQ(canGetErrorText(-1, buf, 0), canERR_PARAM);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(canGetErrorText(-1, nullptr, 10), canERR_PARAM);
}

CHILD_SCENARIO(libraryCalls) {
    char buf[64];
    canInitializeLibrary();
    canInitializeLibrary();
    int32_t count = 0;
    canGetNumberOfChannels(&count);
    canGetErrorText(-2, buf, 64);
    canUnloadLibrary();
    ExitProcess(static_cast<UINT>(count));
}

TEST(LibraryFrame, LibraryCallsTraceAsTheHostExpects) {
    ChildOutcome outcome = runChild("libraryCalls");
    ASSERT_FALSE(outcome.timedOut) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 1u); // one channel, also after a second initialisation
    EXPECT_EQ(outcome.traceLines, (std::vector<std::string>{"canlib: canGetNumberOfChannels",
                                                            "canlib: canGetErrorText: err=-2",
                                                            "canlib: canUnloadLibrary"}))
        << outcome.describe();
    EXPECT_TRUE(outcome.messageBoxes.empty());
}

CHILD_SCENARIO(callKvBeep) {
    kvBeep(1, 2, 3);
}
CHILD_SCENARIO(callCanGetVersion) {
    canGetVersion();
}
CHILD_SCENARIO(callScriptEnvvarOpen) {
    kvScriptEnvvarOpen(0, "x", nullptr, nullptr);
}
CHILD_SCENARIO(callTimeDomainResetTime) {
    kvTimeDomainResetTime(nullptr);
}
CHILD_SCENARIO(callObjBufWriteWithNulls) {
    canObjBufWrite(0, 0, 0, nullptr, 0, 0);
}

TEST(LibraryFrame, UnsupportedFunctionsStopTheHostNamingThemselves) {
    const std::pair<const char *, const char *> calls[] = {
        {"callKvBeep", "kvBeep"},
        {"callCanGetVersion", "canGetVersion"},
        {"callScriptEnvvarOpen", "kvScriptEnvvarOpen"},
        {"callTimeDomainResetTime", "kvTimeDomainResetTime"},
        {"callObjBufWriteWithNulls", "canObjBufWrite"},
    };
    for (const auto &[scenario, name] : calls) {
        ChildOutcome outcome = runChild(scenario);
        ASSERT_FALSE(outcome.timedOut) << outcome.describe();
        EXPECT_EQ(outcome.exitCode, 1u) << name;
        EXPECT_EQ(outcome.traceLines, std::vector<std::string>{std::string("canlib: ") + name});
        ASSERT_EQ(outcome.messageBoxes.size(), 1u) << outcome.describe();
        EXPECT_EQ(outcome.messageBoxes[0].title, TITLE);
        EXPECT_EQ(outcome.messageBoxes[0].text,
                  expectedStop(widen(name) + L" function not implemented!"));
    }
}

// The host ends without closing the channel, while the worker is connected and waits for a
// reply. Arguments: the gateway's address, and the name of the event that the gateway sets
// once it holds the request.
CHILD_SCENARIO(exitWithTheChannelOpen) {
    const std::string address = narrow(childArguments().at(0));
    const HANDLE held = OpenEventW(SYNCHRONIZE, FALSE, childArguments().at(1).c_str());
    if (held == nullptr)
        ExitProcess(9);
    DialogAnswerer answerer([&](HWND dialog) {
        setHostText(dialog, widen(address));
        closeWithCloseBox(dialog);
    });
    canOpenChannel(0, 0);
    int32_t id = 0;
    canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 8000); // connected: a heartbeat
    const uint8_t request[8] = {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};
    canWrite(0, 0x605, request, 8, canMSG_STD); // the gateway never answers it
    if (WaitForSingleObject(held, 8000) != WAIT_OBJECT_0)
        ExitProcess(10);
    ExitProcess(id == 0x705 ? 7 : 8);
}

TEST(LibraryFrame, HostMayEndWithTheChannelOpen) {
    TestGateway gateway;
    ASSERT_TRUE(gateway.started) << gateway.startError;
    // Heartbeats, but no answer to the SDO request: the worker waits for it as the host ends.
    const std::wstring heldName = L"canlib-test-held-" + widen(gateway.address);
    const HANDLE held = CreateEventW(nullptr, TRUE, FALSE, heldName.c_str());
    ASSERT_NE(held, nullptr);
    gateway.simulator.setResponder([held](const std::vector<uint8_t> &request) {
        std::vector<korvalsim::Action> actions;
        if (request[8] == 1)
            actions.push_back({korvalsim::Action::Kind::Write,
                               {request[0], request[1], 0, 0, 0, 4, 0xFF, 100, 1, 5},
                               0});
        else
            SetEvent(held);
        return actions;
    });
    ChildOptions options;
    options.timeoutMs = 15000;
    options.extraArguments = {widen(gateway.address), heldName};
    ChildOutcome outcome = runChild("exitWithTheChannelOpen", options);
    gateway.simulator.setResponder(nullptr);
    CloseHandle(held);
    EXPECT_FALSE(outcome.timedOut) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 7u) << outcome.describe();
}

// The host closes the channel from a DLL's detach at process exit (see exit_closer.cpp).
CHILD_SCENARIO(closeAtProcessExit) {
    const std::string address = narrow(childArguments().at(0));
    DialogAnswerer answerer([&](HWND dialog) {
        setHostText(dialog, widen(address));
        closeWithCloseBox(dialog);
    });
    canOpenChannel(0, 0);
    if (canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 8000) != canOK)
        ExitProcess(11); // never connected
    HMODULE closer = LoadLibraryW(L"exit_closer.dll");
    if (closer == nullptr)
        ExitProcess(12);
    if (childArguments().size() > 1 && childArguments()[1] == L"unload") {
        FreeLibrary(closer); // closes the channel while the worker still runs
        OutputDebugStringA("unloaded\r\n");
    }
    ExitProcess(0);
}

TEST(LibraryFrame, CloseDuringProcessExitReturns) {
    TestGateway gateway;
    ASSERT_TRUE(gateway.started) << gateway.startError;
    ChildOptions options;
    options.timeoutMs = 15000;
    options.extraArguments = {widen(gateway.address)};
    ChildOutcome outcome = runChild("closeAtProcessExit", options);
    EXPECT_FALSE(outcome.timedOut) << "canClose waited for a worker the system had ended\n"
                                   << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("canlib: canClose: canHdl=0")) << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("exit closer: canClose returned")) << outcome.describe();

    // The same from a DLL that the host unloads: the loader's lock is held meanwhile, which
    // the worker's own end would need.
    options.extraArguments.push_back(L"unload");
    outcome = runChild("closeAtProcessExit", options);
    EXPECT_FALSE(outcome.timedOut) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("unloaded")) << outcome.describe();
}

// A worker that needs the loader's lock (its first WSAStartup may load a DLL) while a host's DLL
// closes the channel in its detach, that lock held (see exit_closer.cpp). The need is made
// certain here: the worker's WSAStartup loads a module once the detach has begun.
HANDLE workerInStartup = nullptr;
HANDLE detachBegun = nullptr;

int WSAAPI startupThatNeedsTheLoaderLock(WORD version, LPWSADATA data) {
    SetEvent(workerInStartup);
    WaitForSingleObject(detachBegun, 20000);
    FreeLibrary(LoadLibraryW(L"version.dll"));
    return WSAStartup(version, data);
}

CHILD_SCENARIO(closeInADetachWhileTheWorkerNeedsTheLoaderLock) {
    const std::string address = narrow(childArguments().at(0));
    workerInStartup = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    detachBegun = CreateEventW(
        nullptr, TRUE, FALSE,
        (L"canlib-test-detach-begun-" + std::to_wstring(GetCurrentProcessId())).c_str());
    if (!replaceImport(GetModuleHandleW(L"canlib32.dll"), "ws2_32.dll", "WSAStartup",
                       reinterpret_cast<const void *>(&startupThatNeedsTheLoaderLock)))
        ExitProcess(21);
    const HMODULE closer = LoadLibraryW(L"exit_closer.dll");
    if (closer == nullptr || openChannel(address).handle != 0)
        ExitProcess(22);
    if (WaitForSingleObject(workerInStartup, 10000) != WAIT_OBJECT_0)
        ExitProcess(23);
    FreeLibrary(closer);
    OutputDebugStringA("unloaded\r\n");
    // With the lock free the worker goes on and ends; a new one starts and hears the gateway.
    exitOnceTheGatewayIsHeardAgain(address, 24, 25);
}

TEST(LibraryFrame, CloseWithTheLoaderLockHeldReturnsThoughTheWorkerNeedsIt) {
    TestGateway gateway;
    ASSERT_TRUE(gateway.started) << gateway.startError;
    const ChildOutcome outcome =
        runChildOn(gateway, "closeInADetachWhileTheWorkerNeedsTheLoaderLock", 60000);
    ASSERT_FALSE(outcome.timedOut) << "canClose and the worker waited for each other\n"
                                   << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("exit closer: canClose returned")) << outcome.describe();
    EXPECT_TRUE(
        outcome.hasTrace("canlib: closeConnection: the worker has not ended within 8000 ms; "
                         "the close returns without it"))
        << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("unloaded")) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 0u) << "25: no frame after the second open\n" << outcome.describe();
}

// A host's DLL opens the channel in its attach and closes it in its detach, both with the
// loader's lock held (see attach_opener.cpp); then the host opens the channel itself.
CHILD_SCENARIO(openInAttachCloseInDetach) {
    const std::string address = narrow(childArguments().at(0));
    // The dialog, first shown here, has everything it needs loaded before the loader's lock
    // is taken: under that lock no DLL can start a thread of its own.
    openChannel(address);
    canClose(0);
    {
        DialogAnswerer answerer([&](HWND dialog) {
            setHostText(dialog, widen(address));
            closeWithCloseBox(dialog);
        });
        if (LoadLibraryW(L"attach_opener.dll") != nullptr)
            ExitProcess(13); // the attach refuses the load
    }
    OutputDebugStringA("loader returned\r\n");
    exitOnceTheGatewayIsHeardAgain(address, 14, 15);
}

TEST(LibraryFrame, CloseBeforeTheWorkerBeganReturnsAndALaterOpenWorks) {
    TestGateway gateway;
    ASSERT_TRUE(gateway.started) << gateway.startError;
    const ChildOutcome outcome = runChildOn(gateway, "openInAttachCloseInDetach", 20000);
    ASSERT_FALSE(outcome.timedOut) << "canClose waited for a worker that could not begin\n"
                                   << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("attach opener: canOpenChannel returned")) << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("attach opener: canClose returned")) << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("loader returned")) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 0u) << "15: no frame after the second open\n" << outcome.describe();
}

// The library's own requests for a thread are refused the way the C runtime refuses them when
// the system has no room for one more. (Filling the address space with idle threads instead takes
// seconds for 32 bits under Wine, and is out of reach for 64 bits.)
uintptr_t __cdecl refuseThread(void *, unsigned, unsigned(__stdcall *)(void *), void *, unsigned,
                               unsigned *) {
    errno = EAGAIN;
    return 0;
}

void refuseThreadsToTheLibrary() {
    if (!replaceImport(GetModuleHandleW(L"canlib32.dll"), "msvcrt.dll", "_beginthreadex",
                       reinterpret_cast<const void *>(&refuseThread)))
        ExitProcess(21);
}

CHILD_SCENARIO(openWithoutRoomForTheWorker) {
    DialogAnswerer answerer([](HWND dialog) {
        setHostText(dialog, L"127.0.0.1");
        closeWithCloseBox(dialog);
    });
    refuseThreadsToTheLibrary();
    canOpenChannel(0, 0);
    ExitProcess(20); // the open must not report success without a worker
}

TEST(LibraryFrame, WorkerThatCannotStartStopsTheHostWithAMessage) {
    ChildOptions options;
    options.timeoutMs = 30000;
    ChildOutcome outcome = runChild("openWithoutRoomForTheWorker", options);
    ASSERT_FALSE(outcome.timedOut) << outcome.describe();
    EXPECT_FALSE(outcome.crashed) << outcome.describe();
    // Not std::terminate's abort (exit code 3): the stop policy's exit code and message.
    EXPECT_EQ(outcome.exitCode, 1u) << outcome.describe();
    EXPECT_GE(outcome.findTrace("canlib: openConnection: "), 0) << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("canlib: canOpenChannel: the connection to the gateway cannot be "
                                 "started"))
        << outcome.describe();
    ASSERT_EQ(outcome.messageBoxes.size(), 1u) << outcome.describe();
    EXPECT_EQ(outcome.messageBoxes[0].title, L"Brenvox CAN Library for Vantrel");
    EXPECT_EQ(outcome.messageBoxes[0].text,
              L"canOpenChannel failed: the connection to the gateway cannot be started\n\n"
              L"Vantrel will be terminated.");
}
