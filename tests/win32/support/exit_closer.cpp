// A DLL of the host's that closes the CAN channel in its own detach: at process exit, when the
// system has already ended every other thread, the library's worker included; or when the
// host unloads it, with the loader's lock held while the worker still runs.
#include "support/canlib_function.h"

#include <cstdint>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_DETACH)
        return TRUE;
    // A test that needs to know when the detach has begun names an event for it.
    wchar_t name[64];
    wsprintfW(name, L"canlib-test-detach-begun-%lu", GetCurrentProcessId());
    if (const HANDLE begun = OpenEventW(EVENT_MODIFY_STATE, FALSE, name)) {
        SetEvent(begun);
        CloseHandle(begun);
    }
    const auto close = canlibFunction<int32_t(__cdecl *)(int32_t)>("canClose");
    if (close != nullptr && close(0) == 0)
        OutputDebugStringA("exit closer: canClose returned\r\n");
    return TRUE;
}
