// For what follows a moment after the event a test waited for: polls a condition with a bound.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// True as soon as condition returns true; false once timeoutMs have passed without. The
// condition is asked once per round and its answer taken as given, so that it may act (read a
// frame, look for a window) as well as look.
inline bool eventually(const std::function<bool()> &condition, unsigned timeoutMs = 2000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace testsupport
