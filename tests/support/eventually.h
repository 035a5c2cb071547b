// For what follows a moment after the event a test waited for: polls a condition with a bound.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

inline bool eventually(const std::function<bool()> &condition, unsigned timeoutMs = 2000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return condition();
}

} // namespace testsupport
