// What this process holds right now: threads, handles and memory, measured the ways that work
// under Wine as well as on Windows; and the numeric options of the long-run test programs.
#pragma once

#include <windows.h>

#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdint>
#include <string>

namespace testsupport {

// Threads of this process in a system snapshot.
inline unsigned threadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    const DWORD self = GetCurrentProcessId();
    unsigned count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    if (Thread32First(snapshot, &entry)) {
        do {
            if (entry.th32OwnerProcessID == self)
                ++count;
        } while (Thread32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return count;
}

// Valid handle values of this process: Wine's GetProcessHandleCount always reports 0.
inline unsigned handleCount() {
    unsigned count = 0;
    for (ULONG_PTR value = 4; value < 16384; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
}

struct MemoryUsage {
    uint64_t bytes = 0;
    const char *measure = "none"; // which counter the figure comes from
};

// Private bytes; Wine reports PrivateUsage as 0, and then the committed (pagefile) bytes are
// the nearest figure it has.
inline MemoryUsage memoryUsage() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    MemoryUsage usage;
    if (!GetProcessMemoryInfo(GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                              sizeof counters))
        return usage;
    if (counters.PrivateUsage != 0) {
        usage.bytes = counters.PrivateUsage;
        usage.measure = "PrivateUsage";
    } else {
        usage.bytes = counters.PagefileUsage;
        usage.measure = "PagefileUsage";
    }
    return usage;
}

// The value of "--name=N" on this program's command line, or fallback when it is absent or
// not a number. GoogleTest leaves options it does not know alone.
inline unsigned numberOption(const wchar_t *name, unsigned fallback) {
    int count = 0;
    LPWSTR *arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr)
        return fallback;
    const std::wstring prefix = std::wstring(L"--") + name + L"=";
    unsigned result = fallback;
    for (int i = 1; i < count; ++i) {
        const std::wstring argument = arguments[i];
        if (argument.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::wstring digits = argument.substr(prefix.size());
        if (!digits.empty() && digits.size() <= 9 &&
            digits.find_first_not_of(L"0123456789") == std::wstring::npos)
            result = static_cast<unsigned>(std::stoul(digits));
    }
    LocalFree(arguments);
    return result;
}

} // namespace testsupport
