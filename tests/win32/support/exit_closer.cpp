// A DLL of the host's that closes the CAN channel in its own detach: at process exit, when the
// system has already ended every other thread, the library's worker included; or when the
// host unloads it, with the loader's lock held while the worker still runs.
#include <windows.h>

#include <cstdint>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_DETACH)
        return TRUE;
    using CloseFunction = int32_t(__cdecl *)(int32_t);
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"canlib32.dll"), "canClose");
    CloseFunction close = nullptr;
    static_assert(sizeof close == sizeof found, "function pointers differ in size");
    CopyMemory(&close, &found, sizeof close);
    if (close != nullptr && close(0) == 0)
        OutputDebugStringA("exit closer: canClose returned\r\n");
    return TRUE;
}
