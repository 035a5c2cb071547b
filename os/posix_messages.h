// POSIX side: the stand-in for the message queue of a thread that owns windows, shared by the
// window functions (os_posix.cpp) and the waits that let sent messages through (sync_posix.cpp).
#pragma once

namespace Korval::os::posix {

// A descriptor that becomes readable when a message is sent to a window of the calling thread.
int sentMessagesDescriptor();
// Handles, on the calling thread, the messages sent to its windows so far.
void handleSentMessages();

} // namespace Korval::os::posix
