// The one wait of the Win32 side: on several handles at once, bounded, and optionally
// handling the window messages that other threads send to the waiting thread meanwhile.
#pragma once

#include <windows.h>

#include <cstdint>

namespace Korval::os {

constexpr int WAIT_TIMED_OUT = -1;
constexpr int WAIT_FAILURE = -2;

// The index of a handle that was signalled, WAIT_TIMED_OUT or WAIT_FAILURE. Never ends before
// ms has passed unless a handle was signalled.
int waitForObjects(const HANDLE *handles, DWORD count, uint32_t ms, bool letSentMessagesThrough);

} // namespace Korval::os
