// Loopback addresses of our own: each test process (and each call) gets a 127.x.y.z that no
// other process of the run uses, so that test gateways on port 502 never collide.
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
#ifdef _WIN32
    const unsigned pid = static_cast<unsigned>(GetCurrentProcessId());
    const unsigned space = 1; // Wine's process ids and Linux's are counted apart
#else
    const unsigned pid = static_cast<unsigned>(getpid());
    const unsigned space = 0;
#endif
    const unsigned key = ((pid & 0x1FFFFu) << 6) | (calls++ & 0x3Fu);
    return "127." + std::to_string((space << 7) | ((key >> 16) & 0x7Fu)) + "." +
           std::to_string((key >> 8) & 0xFFu) + "." + std::to_string(key & 0xFFu);
}

} // namespace testsupport
