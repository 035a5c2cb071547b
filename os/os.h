// The library's one seam to the operating system. Everything above it is portable;
// os_win32.cpp serves the DLL, os_posix.cpp the native build and its tests.
#pragma once

#include "os/stop_signal.h"

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

[[noreturn]] void endProcess(int exitCode);

// Milliseconds since system start, wrapping at 2^32.
uint32_t tickCount();

void sleepMilliseconds(uint32_t ms);

using WindowHandle = void *;

#ifndef _WIN32
// POSIX has no windows: there a window handle points at one of these, which stands in for the
// window procedure of the host window.
class PosixWindow {
  public:
    virtual void handleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) = 0;

  protected:
    ~PosixWindow() = default;
};
#endif

// Synchronous window message; does nothing for a null or dead window.
void sendWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Lets messages that other threads send to this thread's windows be handled while this
// thread waits for the worker, so that it cannot deadlock with the worker's synchronous
// notification. When the worker may be waiting on the very message this thread is handling
// (a host that closes the channel from its notification handler), that message is answered
// early so that the worker can go on.
void letSentMessagesThrough(bool workerMayWaitOnThisThread);

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
    explicit TcpSocket(intptr_t handle) : nativeHandle(handle) {}
    // One send or receive call once the socket is ready for it, within the time limit.
    template <class Transfer>
    IoResult transferWhenReady(bool forWrite, uint32_t timeoutMs, const StopSignal &stop,
                               Transfer transfer);
    intptr_t nativeHandle;
    std::atomic<bool> connected{false};
};

} // namespace Korval::os
