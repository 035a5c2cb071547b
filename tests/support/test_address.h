// Loopback addresses of our own: each test process (and each call) gets a 127.x.y.z that no
// other process of the run uses, so that test gateways on port 502 never collide. Native
// processes use 127.0-127.x.x, Win32 ones 127.128-255.x.x.
#pragma once

#include <atomic>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace testsupport {

inline std::string uniqueLoopbackAddress() {
    static std::atomic<unsigned> calls{0};
    const unsigned call = calls++ & 0x3Fu;
#ifdef _WIN32
    // Wine numbers the processes of each prefix apart, in steps of 4 from a small start: the
    // prefix's name picks the second octet, so that two prefixes running at once stay apart.
    wchar_t prefix[512] = {};
    GetEnvironmentVariableW(L"WINEPREFIX", prefix, 512);
    unsigned hash = 2166136261u;
    for (const wchar_t *c = prefix; *c != 0; ++c)
        hash = (hash ^ static_cast<unsigned>(*c)) * 16777619u;
    const unsigned process = (static_cast<unsigned>(GetCurrentProcessId()) >> 2) & 0x3FFu;
    const unsigned second = 0x80u | (hash & 0x7Fu);
    const unsigned low = (process << 6) | call;
#else
    const unsigned key = ((static_cast<unsigned>(getpid()) & 0x1FFFFu) << 6) | call;
    const unsigned second = (key >> 16) & 0x7Fu;
    const unsigned low = key & 0xFFFFu;
#endif
    return "127." + std::to_string(second) + "." + std::to_string(low >> 8) + "." +
           std::to_string(low & 0xFFu);
}

} // namespace testsupport
