// The library's one seam to the operating system. Everything above it is portable;
// os_win32.cpp serves the DLL, os_posix.cpp the native build and its tests.
#pragma once

#include "os/socket_platform.h"
#include "os/sync.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Korval::os {

// Writes one whole line to the debug trace under the category "canlib".
void writeTrace(const std::string &text);

#ifndef _WIN32
// The native build's tests watch the trace here; each line is given without its category.
void setTraceObserver(std::function<void(const std::string &line)> observer);
#endif

// The same, for a line of two parts joined by the library's pattern "{0}: {1}".
inline void writeTrace(const std::string &first, const std::string &second) {
    writeTrace(first + ": " + second);
}

// Modal message box with one OK button and the error icon; returns once it is dismissed.
void showErrorBox(const std::string &text, const std::string &title);

// What follows the message box of a stop. A Windows host is made for the library's stop: its
// process ends with exit code 1. A POSIX host (a Linux program, a Python interpreter) is not,
// and would lose what it has not saved: there this returns, and the call fails instead.
void endHostAfterStop();

// For a call that failed for want of memory or of a thread: the trace line and the message box
// with the title, then endHostAfterStop. Needs no memory of its own.
void stopAfterFailure(const char *traceText, const char *boxText, const char *title) noexcept;

// Milliseconds since system start, wrapping at 2^32.
uint32_t tickCount();

void sleepMilliseconds(uint32_t ms);

using WindowHandle = void *;

#ifndef _WIN32
// POSIX has no windows: there a window handle points at one of these, made with the procedure
// that stands in for the host window's. Any other handle, such as whatever a Linux host passes
// to canSetNotify, is no window: a notification to it does nothing, as to an invalid window.
// Until a thread takes a window as its own, its messages are handled at once on the sending
// thread; after that, as a Win32 window's, only while that thread retrieves messages: in
// retrieveMessages, or in a wait of the library's that lets sent messages through.
class PosixWindow {
  public:
    using Procedure = std::function<void(uint32_t message, uintptr_t wParam, intptr_t lParam)>;
    explicit PosixWindow(Procedure procedure);
    // Once it has returned, the procedure is never called again: it waits for a call on
    // another thread to return. Declare the window after what its procedure uses.
    ~PosixWindow();
    PosixWindow(const PosixWindow &) = delete;
    PosixWindow &operator=(const PosixWindow &) = delete;

    WindowHandle handle() { return this; }
    void ownByCurrentThread();
};

// Handles the messages sent to the calling thread's windows, waiting up to ms for the first.
void retrieveMessages(uint32_t ms);
// True while messages sent to the calling thread's windows wait to be handled.
bool messagesWaiting();
#endif

// The thread that owns a window, or 0 for none (and for a POSIX window no thread has taken).
uint32_t windowThreadId(WindowHandle window);

// True while the window exists and still belongs to that thread.
bool windowBelongsTo(WindowHandle window, uint32_t thread);

// A message sent without waiting for the window's thread. handled turns true once the window
// procedure has returned: at once for a window of the sending thread, else on the sending
// thread during a later waitForHandledMessages.
struct SentMessage {
    bool handled = false;
};

// False when nothing was sent (no window). The record must stay in place until it is marked
// handled or the sending thread has ended.
bool sendWithoutWaiting(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                        SentMessage &sent);

// One round of waiting for the windows to handle what this thread sent: up to ms, ending early
// when a handler returns or wake is set. True when wake was set.
bool waitForHandledMessages(uint32_t ms, const Signal &wake);

// True while the calling thread handles a message that another thread sent without waiting.
bool handlingMessageSentWithoutWaiting();

uint32_t currentThreadId();
// The calling process. A forked child has an id of its own: what it inherited from its parent
// (a worker, its signals, its socket) is not its own.
uint32_t processId();

// A key under the current user's hive, opened for reading and writing, created with its
// parents when missing.
class RegistryKey {
  public:
    explicit RegistryKey(const std::string &path);
    ~RegistryKey();
    RegistryKey(const RegistryKey &) = delete;
    RegistryKey &operator=(const RegistryKey &) = delete;

    bool isOpen() const { return handle != nullptr; }
    // The stored value in text form, or defaultValue when it is missing or unreadable.
    std::string readString(const std::string &name, const std::string &defaultValue) const;
    bool writeString(const std::string &name, const std::string &value);

  private:
    void *handle = nullptr;
};

enum class IoStatus { Done, TimedOut, Stopped, Failed };

struct IoResult {
    IoStatus status = IoStatus::Failed;
    std::size_t count = 0; // bytes moved by a send or receive that is Done
    std::string error;     // description of a Failed operation
};

// An IPv4 TCP client socket whose every wait is bounded by a time limit and ended early
// by a stop request.
class TcpSocket {
  public:
    // A new stream socket, or null with the reason in error.
    static std::unique_ptr<TcpSocket> create(std::string &error);
    ~TcpSocket();
    TcpSocket(const TcpSocket &) = delete;
    TcpSocket &operator=(const TcpSocket &) = delete;

    bool disableNagle(std::string &error);
    // host: dotted IPv4 address or a name to resolve.
    IoResult connect(const std::string &host, uint16_t port, uint32_t timeoutMs,
                     const StopSignal &stop);
    // One send: the count is what the system took of the bytes.
    IoResult send(const uint8_t *data, std::size_t length, uint32_t timeoutMs,
                  const StopSignal &stop);
    // One receive of up to capacity bytes; a count of 0 means the peer closed.
    IoResult receive(uint8_t *buffer, std::size_t capacity, uint32_t timeoutMs,
                     const StopSignal &stop);
    void close();
    bool isConnected() const { return connected; }

  private:
    explicit TcpSocket(const platform::NativeSocket &socket) : native(socket) {}
    // One send or receive, tried at once and waited for only when it would block.
    template <class Transfer>
    IoResult transfer(platform::Want want, uint32_t timeoutMs, const StopSignal &stop,
                      Transfer attempt);
    platform::NativeSocket native;
    std::atomic<bool> connected{false};
};

} // namespace Korval::os
