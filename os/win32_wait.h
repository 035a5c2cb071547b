// The one wait of the Win32 side: on several handles at once, bounded, and optionally
// handling the window messages that other threads send to the waiting thread meanwhile.
#pragma once

#include <windows.h>

#include <cstdint>

namespace Korval::os {

constexpr int WAIT_TIMED_OUT = -1;
constexpr int WAIT_FAILURE = -2;
constexpr int WAIT_MESSAGES_HANDLED = -3;

// The index of a handle that was signalled, WAIT_TIMED_OUT, WAIT_FAILURE, or, for a wait that
// lets sent messages through, WAIT_MESSAGES_HANDLED once it has handled some: their handlers
// may have changed what the caller waits for. Never ends before ms has passed otherwise.
int waitForObjects(const HANDLE *handles, DWORD count, uint32_t ms, bool letSentMessagesThrough);

} // namespace Korval::os
