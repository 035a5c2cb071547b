// Time-limited, stoppable TCP client operations, the same on every platform: each wait is
// cut into short slices so that a stop request ends it within one slice.
#include "os/os.h"
#include "os/socket_platform.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace Korval::os {

namespace {

constexpr uint32_t WAIT_SLICE_MS = 20;

using Clock = std::chrono::steady_clock;

uint32_t millisecondsUntil(Clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

IoResult failed(std::string error) {
    return {IoStatus::Failed, 0, std::move(error)};
}

IoStatus waitUntilReady(intptr_t handle, bool forWrite, Clock::time_point end,
                        const StopSignal &stop, std::string &error) {
    for (;;) {
        if (stop.isRaised())
            return IoStatus::Stopped;
        uint32_t slice = std::min(WAIT_SLICE_MS, millisecondsUntil(end));
        switch (platform::waitSocket(handle, forWrite, slice, error)) {
        case platform::Readiness::Ready:
            return IoStatus::Done;
        case platform::Readiness::Failed:
            return IoStatus::Failed;
        case platform::Readiness::NotYet:
            break;
        }
        if (Clock::now() >= end)
            return IoStatus::TimedOut;
    }
}

// The outcome of one name resolution, shared with the thread that performs it, so that a
// slow resolver cannot hold the caller past its time limit or its stop request.
struct Resolution {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    in_addr address{};
    std::string error;
};

IoStatus resolve(const std::string &host, Clock::time_point end, const StopSignal &stop,
                 in_addr &address, std::string &error) {
    if (inet_pton(AF_INET, host.c_str(), &address) == 1)
        return IoStatus::Done;

    auto resolution = std::make_shared<Resolution>();
    std::thread([resolution, host] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        int code = getaddrinfo(host.c_str(), nullptr, &hints, &found);
        std::lock_guard<std::mutex> guard(resolution->lock);
        if (code == 0 && found != nullptr)
            resolution->address = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
        else
            resolution->error = "cannot resolve '" + host +
                                "': " + platform::resolveErrorText(code != 0 ? code : EAI_NONAME);
        if (found != nullptr)
            freeaddrinfo(found);
        resolution->done = true;
        resolution->finished.notify_all();
    }).detach();

    std::unique_lock<std::mutex> guard(resolution->lock);
    for (;;) {
        if (resolution->done) {
            if (!resolution->error.empty()) {
                error = resolution->error;
                return IoStatus::Failed;
            }
            address = resolution->address;
            return IoStatus::Done;
        }
        if (stop.isRaised())
            return IoStatus::Stopped;
        if (Clock::now() >= end)
            return IoStatus::TimedOut;
        uint32_t slice = std::min(WAIT_SLICE_MS, millisecondsUntil(end));
        resolution->finished.wait_for(guard, std::chrono::milliseconds(slice));
    }
}

} // namespace

std::unique_ptr<TcpSocket> TcpSocket::create(std::string &error) {
    intptr_t handle = platform::openStreamSocket(error);
    if (handle == platform::INVALID_HANDLE)
        return nullptr;
    return std::unique_ptr<TcpSocket>(new TcpSocket(handle));
}

TcpSocket::~TcpSocket() {
    close();
}

bool TcpSocket::disableNagle(std::string &error) {
    if (nativeHandle == platform::INVALID_HANDLE) {
        error = "the socket is closed";
        return false;
    }
    return platform::setNoDelay(nativeHandle, error);
}

IoResult TcpSocket::connect(const std::string &host, uint16_t port, uint32_t timeoutMs,
                            const StopSignal &stop) {
    if (nativeHandle == platform::INVALID_HANDLE)
        return failed("the socket is closed");
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);

    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    std::string error;
    IoStatus status = resolve(host, end, stop, target.sin_addr, error);
    if (status != IoStatus::Done)
        return {status, 0, error};

    int code = platform::startConnect(nativeHandle, target);
    if (code != 0) {
        if (!platform::isConnectInProgress(code))
            return failed(platform::errorText(code));
        status = waitUntilReady(nativeHandle, true, end, stop, error);
        if (status != IoStatus::Done)
            return {status, 0, error};
        code = platform::connectOutcome(nativeHandle);
        if (code != 0)
            return failed(platform::errorText(code));
    }
    connected = true;
    return {IoStatus::Done, 0, {}};
}

template <class Transfer>
IoResult TcpSocket::transferWhenReady(bool forWrite, uint32_t timeoutMs, const StopSignal &stop,
                                      Transfer transfer) {
    if (!connected)
        return failed("the connection is closed");
    std::string error;
    IoStatus status = waitUntilReady(
        nativeHandle, forWrite, Clock::now() + std::chrono::milliseconds(timeoutMs), stop, error);
    if (status != IoStatus::Done)
        return {status, 0, error};
    long moved = transfer();
    if (moved < 0)
        return failed(platform::errorText(platform::lastError()));
    return {IoStatus::Done, static_cast<std::size_t>(moved), {}};
}

IoResult TcpSocket::send(const uint8_t *data, std::size_t length, uint32_t timeoutMs,
                         const StopSignal &stop) {
    if (!connected)
        return failed("the connection is closed");
    // A small request almost always fits at once: waiting for room first would cost a trip
    // through the system (a slow one under Wine) for nothing.
    long sent = platform::sendSome(nativeHandle, data, length);
    if (sent >= 0)
        return {IoStatus::Done, static_cast<std::size_t>(sent), {}};
    if (!platform::isWouldBlock(platform::lastError()))
        return failed(platform::errorText(platform::lastError()));
    return transferWhenReady(true, timeoutMs, stop,
                             [&] { return platform::sendSome(nativeHandle, data, length); });
}

IoResult TcpSocket::receive(uint8_t *buffer, std::size_t capacity, uint32_t timeoutMs,
                            const StopSignal &stop) {
    return transferWhenReady(false, timeoutMs, stop,
                             [&] { return platform::receiveSome(nativeHandle, buffer, capacity); });
}

void TcpSocket::close() {
    connected = false;
    if (nativeHandle != platform::INVALID_HANDLE) {
        platform::closeSocket(nativeHandle);
        nativeHandle = platform::INVALID_HANDLE;
    }
}

} // namespace Korval::os
