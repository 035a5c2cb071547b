// The bound for a host call that must not wait out one of the library's limits for the gateway:
// connect, send, reply, and the pause before a new connection, 3000 ms each. The bound lies
// halfway between returning at once and waiting the limit out, so that a loaded machine has as
// much room as the fault: a call late into the limit still shows a wait-out. Where the library
// traces what such a wait ends with, the tests also check that the call returned before that
// line. How fast the calls are is for the benchmarks.
#pragma once

namespace testsupport {

constexpr long LIBRARY_LIMIT_MS = 3000;
constexpr long PROMPT_GUARD_MS = LIBRARY_LIMIT_MS / 2;

// The same for a call begun lateMs after the limit began: halfway to what was left of it.
constexpr long promptGuardMs(long lateMs) {
    return (LIBRARY_LIMIT_MS - lateMs) / 2;
}

} // namespace testsupport
