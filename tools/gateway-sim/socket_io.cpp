#include "socket_io.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <mutex>

namespace korvalsim {

namespace {

#ifdef _WIN32
using Native = SOCKET;
constexpr int SendFlags = 0;

int lastError() {
    return WSAGetLastError();
}
bool wouldBlock(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINTR;
}
bool connectPending(int error) {
    return error == WSAEWOULDBLOCK;
}
void closeNative(Native s) {
    closesocket(s);
}
bool makeNonBlocking(Native s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
std::string describe(int error) {
    return "socket error " + std::to_string(error);
}

// select() on Windows has no descriptor-value limit, and reports a failed connect in the
// exception set rather than the write set.
bool waitFor(Native s, bool forWrite, unsigned timeoutMs) {
    fd_set primary;
    fd_set failed;
    FD_ZERO(&primary);
    FD_ZERO(&failed);
    FD_SET(s, &primary);
    FD_SET(s, &failed);
    timeval tv{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    int n = forWrite ? select(0, nullptr, &primary, &failed, &tv)
                     : select(0, &primary, nullptr, &failed, &tv);
    return n > 0;
}
#else
using Native = int;
constexpr int SendFlags = MSG_NOSIGNAL; // a peer that went away must not kill the process

int lastError() {
    return errno;
}
bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}
bool connectPending(int error) {
    return error == EINPROGRESS || error == EINTR;
}
void closeNative(Native s) {
    ::close(s);
}
bool makeNonBlocking(Native s) {
    int flags = fcntl(s, F_GETFL, 0);
    return flags != -1 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
std::string describe(int error) {
    return std::strerror(error);
}

bool waitFor(Native s, bool forWrite, unsigned timeoutMs) {
    pollfd p{s, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    int n = poll(&p, 1, static_cast<int>(timeoutMs));
    return n > 0;
}
#endif

Native toNative(std::intptr_t handle) {
    return static_cast<Native>(handle);
}

void setError(std::string *error, const std::string &text) {
    if (error)
        *error = text;
}

bool makeAddress(const std::string &address, uint16_t port, sockaddr_in &out, std::string *error) {
    uint32_t ip = 0;
    if (!parseLoopbackAddress(address, ip)) {
        setError(error, "not a 127.x.y.z loopback address: " + address);
        return false;
    }
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    out.sin_addr.s_addr = htonl(ip);
    return true;
}

Native openStream(std::string *error) {
    Native s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == static_cast<Native>(-1)) {
        setError(error, "socket: " + describe(lastError()));
        return s;
    }
    if (!makeNonBlocking(s)) {
        setError(error, "cannot make socket non-blocking: " + describe(lastError()));
        closeNative(s);
        return static_cast<Native>(-1);
    }
    return s;
}

} // namespace

bool parseLoopbackAddress(const std::string &text, uint32_t &hostOrder) {
    uint32_t value = 0;
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
        }
        size_t start = pos;
        unsigned octet = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
            octet = octet * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
        }
        if (pos == start || octet > 255)
            return false;
        value = (value << 8) | octet;
    }
    if (pos != text.size() || (value >> 24) != 127)
        return false;
    hostOrder = value;
    return true;
}

bool initSockets(std::string *error) {
#ifdef _WIN32
    static std::once_flag once;
    static int result = 0;
    std::call_once(once, [] {
        WSADATA data;
        result = WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (result != 0) {
        setError(error, "WSAStartup failed: " + std::to_string(result));
        return false;
    }
#else
    (void)error;
#endif
    return true;
}

Socket::~Socket() {
    close();
}

Socket::Socket(Socket &&other) noexcept : handle_(other.handle_) {
    other.handle_ = -1;
}

Socket &Socket::operator=(Socket &&other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

void Socket::close() {
    if (valid())
        closeNative(toNative(handle_));
    handle_ = -1;
}

Socket Socket::listenOn(const std::string &address, uint16_t port, int backlog,
                        std::string *error) {
    sockaddr_in addr;
    if (!initSockets(error) || !makeAddress(address, port, addr, error))
        return Socket();
    Native s = openStream(error);
    if (s == static_cast<Native>(-1))
        return Socket();
    Socket result(static_cast<std::intptr_t>(s));
#ifndef _WIN32
    // Lets a restarted simulator rebind while old connections linger in TIME_WAIT.
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    if (::bind(s, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        setError(error,
                 "bind " + address + ":" + std::to_string(port) + ": " + describe(lastError()));
        return Socket();
    }
    if (::listen(s, backlog) != 0) {
        setError(error, "listen: " + describe(lastError()));
        return Socket();
    }
    return result;
}

ConnectResult Socket::connectTo(const std::string &address, uint16_t port, unsigned timeoutMs,
                                Socket &out, std::string *error) {
    out.close();
    sockaddr_in addr;
    if (!initSockets(error) || !makeAddress(address, port, addr, error))
        return ConnectResult::Failed;
    Native s = openStream(error);
    if (s == static_cast<Native>(-1))
        return ConnectResult::Failed;
    Socket sock(static_cast<std::intptr_t>(s));
    if (::connect(s, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        int e = lastError();
        if (!connectPending(e)) {
            setError(error, "connect: " + describe(e));
            return ConnectResult::Failed;
        }
        if (!waitFor(s, true, timeoutMs)) {
            setError(error, "connect timed out");
            return ConnectResult::TimedOut;
        }
        int soError = 0;
        socklen_t len = sizeof soError;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&soError), &len) != 0 ||
            soError != 0) {
            setError(error, "connect: " + describe(soError));
            return ConnectResult::Failed;
        }
    }
    sock.setNoDelay();
    out = std::move(sock);
    return ConnectResult::Connected;
}

Socket Socket::accept() {
    Native s = ::accept(toNative(handle_), nullptr, nullptr);
    if (s == static_cast<Native>(-1))
        return Socket();
    Socket result(static_cast<std::intptr_t>(s));
    if (!makeNonBlocking(s))
        return Socket();
    result.setNoDelay();
    return result;
}

bool Socket::waitReadable(unsigned timeoutMs) const {
    return waitFor(toNative(handle_), false, timeoutMs);
}

bool Socket::waitWritable(unsigned timeoutMs) const {
    return waitFor(toNative(handle_), true, timeoutMs);
}

IoResult Socket::receive(uint8_t *buffer, size_t size) {
    int chunk = size > 65536 ? 65536 : static_cast<int>(size);
    auto n = ::recv(toNative(handle_), reinterpret_cast<char *>(buffer), chunk, 0);
    if (n > 0)
        return {IoStatus::Done, static_cast<size_t>(n)};
    if (n == 0)
        return {IoStatus::Closed, 0};
    return {wouldBlock(lastError()) ? IoStatus::WouldBlock : IoStatus::Failed, 0};
}

IoResult Socket::send(const uint8_t *data, size_t size) {
    int chunk = size > 65536 ? 65536 : static_cast<int>(size);
    auto n = ::send(toNative(handle_), reinterpret_cast<const char *>(data), chunk, SendFlags);
    if (n >= 0)
        return {IoStatus::Done, static_cast<size_t>(n)};
    return {wouldBlock(lastError()) ? IoStatus::WouldBlock : IoStatus::Failed, 0};
}

void Socket::setNoDelay() {
    // Replies are tiny and must leave at once; a split reply must really be two segments.
    int on = 1;
    setsockopt(toNative(handle_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on),
               sizeof on);
}

bool Socket::endpoints(Endpoint &local, Endpoint &peer) const {
    sockaddr_in addresses[2];
    for (int i = 0; i < 2; ++i) {
        socklen_t len = sizeof addresses[i];
        auto *address = reinterpret_cast<sockaddr *>(&addresses[i]);
        const int result = i == 0 ? getsockname(toNative(handle_), address, &len)
                                  : getpeername(toNative(handle_), address, &len);
        if (result != 0 || addresses[i].sin_family != AF_INET)
            return false;
    }
    local = Endpoint{ntohl(addresses[0].sin_addr.s_addr), ntohs(addresses[0].sin_port)};
    peer = Endpoint{ntohl(addresses[1].sin_addr.s_addr), ntohs(addresses[1].sin_port)};
    return true;
}

} // namespace korvalsim
