// A DLL of the host's that opens the CAN channel in its attach and closes it in its detach. It
// refuses the attach, so that the loader calls the detach at once, its lock still held: the
// worker that the open started cannot have begun, since a new thread needs that lock first.
#include "support/canlib_function.h"

#include <cstdint>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        const auto open = canlibFunction<int32_t(__cdecl *)(int32_t, int32_t)>("canOpenChannel");
        if (open != nullptr && open(0, 0) == 0)
            OutputDebugStringA("attach opener: canOpenChannel returned\r\n");
        return FALSE;
    }
    if (reason == DLL_PROCESS_DETACH) {
        const auto close = canlibFunction<int32_t(__cdecl *)(int32_t)>("canClose");
        if (close != nullptr && close(0) == 0)
            OutputDebugStringA("attach opener: canClose returned\r\n");
    }
    return TRUE;
}
