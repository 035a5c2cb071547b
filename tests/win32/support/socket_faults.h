// Failures of the system's socket functions that a test cannot bring about for real, put into
// the loaded DLL's own imports of them: a send that carries only part of its bytes or never
// finds room, and a name lookup that finds a test name or blocks until released.
#pragma once

#include <windows.h>

#include <string>

namespace testsupport {

enum class SendFault { Short, Blocked };

// From the DLL's first send of `length` bytes on, every send on that socket until the DLL
// closes it sends half its bytes (Short) or finds no room (Blocked). Its start is told by the
// trace line "host: send fault", its end, the close, by "host: send fault ended after <n> ms",
// timed on this process's own clock. False if the DLL imports no send or closesocket.
bool putSendFault(HMODULE dll, int length, SendFault fault);

// The DLL's lookups of `name` find `address` (a dotted IPv4 address) instead.
bool mapHostName(HMODULE dll, const std::string &name, const std::string &address);

// The DLL's lookups of `name` set `started` and then wait until `release` is set (or a guard
// of 20 s has passed), and find nothing.
bool blockHostName(HMODULE dll, const std::string &name, HANDLE started, HANDLE release);

} // namespace testsupport
