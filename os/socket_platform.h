// The few socket primitives that differ between Winsock and POSIX sockets; tcp_socket.cpp
// builds the time-limited, stoppable operations on top of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct sockaddr_in;

namespace Korval::os::platform {

constexpr intptr_t INVALID_HANDLE = -1;

// A non-blocking IPv4 stream socket, or INVALID_HANDLE with the reason in error.
intptr_t openStreamSocket(std::string &error);
void closeSocket(intptr_t handle);
bool setNoDelay(intptr_t handle, std::string &error);

int lastError();
std::string errorText(int error);
bool isWouldBlock(int error);

// Starts a non-blocking connect: 0 when it completed at once, else the error (which may
// say that it is in progress).
int startConnect(intptr_t handle, const sockaddr_in &address);
bool isConnectInProgress(int error);
// The outcome of a connect that became writable: 0 for success, else the error.
int connectOutcome(intptr_t handle);

enum class Readiness { Ready, NotYet, Failed };
// One bounded wait until the socket can be written (or its connect finished) or read.
Readiness waitSocket(intptr_t handle, bool forWrite, uint32_t ms, std::string &error);

// Text for a failed name resolution (getaddrinfo's result code).
std::string resolveErrorText(int code);

// One send or receive call: the byte count, or -1 with lastError() set.
long sendSome(intptr_t handle, const uint8_t *data, std::size_t length);
long receiveSome(intptr_t handle, uint8_t *buffer, std::size_t capacity);

} // namespace Korval::os::platform
