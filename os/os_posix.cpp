// POSIX side of the seam, for the native build, its tests and the Linux library: time, the
// registry kept in memory for the life of the process, and sockets. The trace and the message
// boxes are in messages_posix.cpp.
#include "os/os.h"
#include "os/socket_platform.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace Korval::os {

namespace {

using RegistryValues = std::map<std::string, std::string>;

struct MemoryRegistry {
    std::mutex lock;
    std::map<std::string, RegistryValues> keys;
};

MemoryRegistry &memoryRegistry() {
    static MemoryRegistry registry;
    return registry;
}

// The PosixWindow objects that exist: the only handles a notification is delivered to. Never
// destroyed, since a worker may still notify while the host's process exits.
struct WindowTable {
    std::mutex lock;
    std::set<const void *> windows;
};

WindowTable &windowTable() {
    static auto *table = new WindowTable;
    return *table;
}

} // namespace

PosixWindow::PosixWindow() {
    std::lock_guard<std::mutex> guard(windowTable().lock);
    windowTable().windows.insert(this);
}

PosixWindow::~PosixWindow() {
    std::lock_guard<std::mutex> guard(windowTable().lock);
    windowTable().windows.erase(this);
}

uint32_t tickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void sleepMilliseconds(uint32_t ms) {
    timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// A POSIX window is handled on the calling thread itself, so there is nothing to wait for.
void notifyWindow(WindowHandle window, uint32_t, uint32_t message, uintptr_t wParam,
                  intptr_t lParam, const StopSignal &, const Signal &) {
    {
        std::lock_guard<std::mutex> guard(windowTable().lock);
        if (windowTable().windows.count(window) == 0)
            return;
    }
    static_cast<PosixWindow *>(window)->handleMessage(message, wParam, lParam);
}

uint32_t windowThreadId(WindowHandle) {
    return 0;
}

uint32_t currentThreadId() {
    return static_cast<uint32_t>(gettid());
}

RegistryKey::RegistryKey(const std::string &path) {
    MemoryRegistry &registry = memoryRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    handle = &registry.keys[path];
}

RegistryKey::~RegistryKey() = default;

std::string RegistryKey::readString(const std::string &name,
                                    const std::string &defaultValue) const {
    MemoryRegistry &registry = memoryRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    const auto &values = *static_cast<const RegistryValues *>(handle);
    auto found = values.find(name);
    return found != values.end() ? found->second : defaultValue;
}

bool RegistryKey::writeString(const std::string &name, const std::string &value) {
    MemoryRegistry &registry = memoryRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    (*static_cast<RegistryValues *>(handle))[name] = value;
    return true;
}

namespace platform {

namespace {

int fdOf(const NativeSocket &socket) {
    return static_cast<int>(socket.handle);
}

} // namespace

bool openStreamSocket(NativeSocket &socket, std::string &error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = errorText(errno);
        return false;
    }
    socket.handle = fd;
    return true;
}

void closeSocket(NativeSocket &socket) {
    if (socket.handle != INVALID_HANDLE) {
        ::close(fdOf(socket));
        socket.handle = INVALID_HANDLE;
    }
}

bool setNoDelay(const NativeSocket &socket, std::string &error) {
    int on = 1;
    if (setsockopt(fdOf(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0)
        return true;
    error = errorText(errno);
    return false;
}

int lastError() {
    return errno;
}

std::string errorText(int error) {
    char buffer[128];
    const char *text = strerror_r(error, buffer, sizeof buffer);
    return std::string(text) + " (" + std::to_string(error) + ")";
}

std::string resolveErrorText(int code) {
    return gai_strerror(code);
}

bool isWouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

int startConnect(NativeSocket &socket, const sockaddr_in &address) {
    if (::connect(fdOf(socket), reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return 0;
    return errno;
}

bool isConnectInProgress(int error) {
    return error == EINPROGRESS || error == EINTR;
}

int connectOutcome(NativeSocket &socket) {
    int outcome = 0;
    socklen_t length = sizeof outcome;
    if (getsockopt(fdOf(socket), SOL_SOCKET, SO_ERROR, &outcome, &length) != 0)
        return errno;
    return outcome;
}

Readiness waitSocket(NativeSocket &socket, Want want, uint32_t ms, const StopSignal &stop,
                     std::string &error) {
    if (stop.isRaised())
        return Readiness::Stopped;
    pollfd entries[2] = {
        {fdOf(socket), static_cast<short>(want == Want::Read ? POLLIN : POLLOUT), 0},
        {static_cast<int>(stop.signal().waitHandle()), POLLIN, 0}};
    const int timeout =
        ms == WAIT_FOREVER ? -1 : static_cast<int>(std::min<uint32_t>(ms, INT32_MAX));
    const int ready = ::poll(entries, 2, timeout);
    if (ready < 0) {
        if (errno == EINTR)
            return Readiness::Ready;
        error = errorText(errno);
        return Readiness::Failed;
    }
    if ((entries[1].revents & POLLIN) != 0)
        return Readiness::Stopped;
    return ready == 0 ? Readiness::TimedOut : Readiness::Ready;
}

long sendSome(const NativeSocket &socket, const uint8_t *data, std::size_t length) {
    return static_cast<long>(::send(fdOf(socket), data, length, MSG_NOSIGNAL));
}

long receiveSome(const NativeSocket &socket, uint8_t *buffer, std::size_t capacity) {
    return static_cast<long>(::recv(fdOf(socket), buffer, capacity, 0));
}

} // namespace platform

} // namespace Korval::os
