// The bound for a host call that must not wait for the gateway. Each of the library's waits
// for the gateway (connect, send, reply) and its pause before a new connection lasts 3000 ms: a
// call that waited one of them out takes longer than this guard, and a call that did not stays
// far below it even on a loaded machine. How fast the calls are is for the benchmarks.
#pragma once

namespace testsupport {

constexpr long PROMPT_GUARD_MS = 2500;

} // namespace testsupport
