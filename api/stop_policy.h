// How the library refuses what it cannot serve: a message box naming the reason, then the end
// of the host process with exit code 1. The declared results reach no caller.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <string>

namespace Korval {

int32_t notImplemented(const std::string &msg);
int32_t invalidParameter(const std::string &msg);

// A call that cannot be served because the system refused memory or a thread: a trace line
// "{function}: {reason}", then the stop message box and the end of the host. Needs no memory.
[[noreturn]] void stopForFailure(const char *functionName, const char *reason) noexcept;

// Runs the body of an exported function so that no C++ exception reaches the host, which
// would end it in std::terminate without a word.
template <class Body> auto guarded(const char *functionName, Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        stopForFailure(functionName, "out of memory");
    } catch (const std::exception &error) {
        stopForFailure(functionName, error.what());
    } catch (...) {
        stopForFailure(functionName, "unknown error");
    }
}

} // namespace Korval
