// For a host's own DLL: an export of the canlib32.dll already loaded in the process, found by
// name, without linking against it.
#pragma once

#include <windows.h>

template <class Function> Function canlibFunction(const char *name) {
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"canlib32.dll"), name);
    Function function = nullptr;
    static_assert(sizeof function == sizeof found, "function pointers differ in size");
    CopyMemory(&function, &found, sizeof function);
    return function;
}
