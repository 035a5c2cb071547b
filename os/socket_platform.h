// The few socket primitives that differ between Winsock and POSIX sockets; tcp_socket.cpp
// builds the time-limited, stoppable operations on top of them.
#pragma once

#include "os/sync.h"

#include <cstddef>
#include <cstdint>
#include <string>

struct sockaddr_in;

namespace Korval::os::platform {

constexpr intptr_t INVALID_HANDLE = -1;

// A non-blocking IPv4 stream socket and what its waits need.
struct NativeSocket {
    intptr_t handle = INVALID_HANDLE;
    intptr_t networkEvent = 0; // Windows: the event its network events set
    bool connectDone = false;  // Windows: the connect's network event has come
    int connectError = 0;      // Windows: and its outcome
};

// Opens the socket; false with the reason in error.
bool openStreamSocket(NativeSocket &socket, std::string &error);
void closeSocket(NativeSocket &socket);
bool setNoDelay(const NativeSocket &socket, std::string &error);

int lastError();
std::string errorText(int error);
bool isWouldBlock(int error);

// Starts a non-blocking connect: 0 when it completed at once, else the error (which may
// say that it is in progress).
int startConnect(NativeSocket &socket, const sockaddr_in &address);
bool isConnectInProgress(int error);
// The outcome of a connect after a wait: 0 for success, an in-progress code, or the error.
int connectOutcome(NativeSocket &socket);

enum class Want { Read, Write, Connect };
enum class Readiness { Ready, TimedOut, Stopped, Failed };
// One wait, bounded by ms and ended by a stop request, until the socket may be ready for
// what is wanted. Ready can be premature: the caller tries again and may wait again.
Readiness waitSocket(NativeSocket &socket, Want want, uint32_t ms, const StopSignal &stop,
                     std::string &error);

// Text for a failed name resolution (getaddrinfo's result code).
std::string resolveErrorText(int code);

// One send or receive call: the byte count, or -1 with lastError() set.
long sendSome(const NativeSocket &socket, const uint8_t *data, std::size_t length);
long receiveSome(const NativeSocket &socket, uint8_t *buffer, std::size_t capacity);

} // namespace Korval::os::platform
