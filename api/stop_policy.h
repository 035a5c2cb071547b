// How the library refuses what it cannot serve: a message box naming the reason, then the end
// of the host process with exit code 1 on Windows. A POSIX host is not ended: there the call
// fails with the status code each function declares.
#pragma once

#include "canlib.h"

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <type_traits>

namespace Korval {

// canERR_NOT_IMPLEMENTED, after a trace line of the function's name.
int32_t notImplemented(const std::string &msg);
// canERR_PARAM.
int32_t invalidParameter(const std::string &msg);

// A call that cannot be served because the system refused memory or a thread: a trace line
// "{function}: {reason}", then the stop's message box; status where the host goes on. Needs no
// memory.
int32_t stopForFailure(const char *functionName, const char *reason, int32_t status) noexcept;

// The result a function of any declared type gives for a failed call.
template <class Result> Result failedWith(int32_t status) {
    if constexpr (std::is_void_v<Result>)
        static_cast<void>(status);
    else
        return static_cast<Result>(status);
}

// Runs the body of an exported function so that no C++ exception reaches the host, which
// would end it in std::terminate without a word.
template <class Body> auto guarded(const char *functionName, Body body) noexcept {
    using Result = decltype(body());
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return failedWith<Result>(stopForFailure(functionName, "out of memory", canERR_NOMEM));
    } catch (const std::exception &error) {
        return failedWith<Result>(stopForFailure(functionName, error.what(), canERR_INTERNAL));
    } catch (...) {
        return failedWith<Result>(stopForFailure(functionName, "unknown error", canERR_INTERNAL));
    }
}

} // namespace Korval
