// Time-limited, stoppable TCP client operations, the same on every platform. A transfer is
// tried first and waited for only when it would block; every wait is on the socket and the
// stop request together, so a stop ends it at once.
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

#include <mutex>

namespace Korval::os {

namespace {

IoResult failed(std::string error) {
    return {IoStatus::Failed, 0, std::move(error)};
}

IoStatus statusOf(platform::Readiness readiness) {
    switch (readiness) {
    case platform::Readiness::Ready:
        return IoStatus::Done;
    case platform::Readiness::TimedOut:
        return IoStatus::TimedOut;
    case platform::Readiness::Stopped:
        return IoStatus::Stopped;
    case platform::Readiness::Failed:
        break;
    }
    return IoStatus::Failed;
}

// The outcome of one name resolution, shared with the thread that performs it, so that a
// slow resolver cannot hold the caller past its time limit or its stop request.
struct Resolution {
    Signal done{true};
    std::mutex lock;
    in_addr address{};
    std::string error;
};

IoStatus resolve(const std::string &host, const Deadline &deadline, const StopSignal &stop,
                 in_addr &address, std::string &error) {
    if (inet_pton(AF_INET, host.c_str(), &address) == 1)
        return IoStatus::Done;

    auto resolution = std::make_shared<Resolution>();
    if (!resolution->done.isValid()) {
        error = "cannot resolve '" + host + "': the system cannot provide a wait";
        return IoStatus::Failed;
    }
    std::string threadError;
    const bool started = Thread::startDetached(
        [resolution, host] {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo *found = nullptr;
            const int code = getaddrinfo(host.c_str(), nullptr, &hints, &found);
            {
                std::lock_guard<std::mutex> guard(resolution->lock);
                if (code == 0 && found != nullptr)
                    resolution->address = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
                else
                    resolution->error = "cannot resolve '" + host + "': " +
                                        platform::resolveErrorText(code != 0 ? code : EAI_NONAME);
            }
            if (found != nullptr)
                freeaddrinfo(found);
            resolution->done.set();
        },
        threadError);
    if (!started) {
        error = "cannot resolve '" + host + "': " + threadError;
        return IoStatus::Failed;
    }

    const int which = waitForEither(resolution->done, stop.signal(), deadline.remainingMs());
    if (which == 1 || stop.isRaised())
        return IoStatus::Stopped;
    if (which != 0)
        return IoStatus::TimedOut;
    std::lock_guard<std::mutex> guard(resolution->lock);
    if (!resolution->error.empty()) {
        error = resolution->error;
        return IoStatus::Failed;
    }
    address = resolution->address;
    return IoStatus::Done;
}

} // namespace

std::unique_ptr<TcpSocket> TcpSocket::create(std::string &error) {
    platform::NativeSocket native;
    if (!platform::openStreamSocket(native, error))
        return nullptr;
    return std::unique_ptr<TcpSocket>(new TcpSocket(native));
}

TcpSocket::~TcpSocket() {
    close();
}

bool TcpSocket::disableNagle(std::string &error) {
    if (native.handle == platform::INVALID_HANDLE) {
        error = "the socket is closed";
        return false;
    }
    return platform::setNoDelay(native, error);
}

IoResult TcpSocket::connect(const std::string &host, uint16_t port, uint32_t timeoutMs,
                            const StopSignal &stop) {
    if (native.handle == platform::INVALID_HANDLE)
        return failed("the socket is closed");
    const Deadline deadline(timeoutMs);

    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    std::string error;
    IoStatus status = resolve(host, deadline, stop, target.sin_addr, error);
    if (status != IoStatus::Done)
        return {status, 0, error};

    int code = platform::startConnect(native, target);
    while (code != 0) {
        if (!platform::isConnectInProgress(code))
            return failed(platform::errorText(code));
        status = statusOf(platform::waitSocket(native, platform::Want::Connect,
                                               deadline.remainingMs(), stop, error));
        if (status == IoStatus::TimedOut && !deadline.passed())
            continue;
        if (status != IoStatus::Done)
            return {status, 0, error};
        code = platform::connectOutcome(native);
    }
    connected = true;
    return {IoStatus::Done, 0, {}};
}

template <class Transfer>
IoResult TcpSocket::transfer(platform::Want want, uint32_t timeoutMs, const StopSignal &stop,
                             Transfer attempt) {
    if (!connected)
        return failed("the connection is closed");
    const Deadline deadline(timeoutMs);
    for (;;) {
        const long moved = attempt();
        if (moved >= 0)
            return {IoStatus::Done, static_cast<std::size_t>(moved), {}};
        const int code = platform::lastError();
        if (!platform::isWouldBlock(code))
            return failed(platform::errorText(code));
        std::string error;
        const IoStatus status =
            statusOf(platform::waitSocket(native, want, deadline.remainingMs(), stop, error));
        if (status == IoStatus::Stopped || status == IoStatus::Failed)
            return {status, 0, error};
        if (status == IoStatus::TimedOut && deadline.passed())
            return {IoStatus::TimedOut, 0, {}};
    }
}

IoResult TcpSocket::send(const uint8_t *data, std::size_t length, uint32_t timeoutMs,
                         const StopSignal &stop) {
    return transfer(platform::Want::Write, timeoutMs, stop,
                    [&] { return platform::sendSome(native, data, length); });
}

IoResult TcpSocket::receive(uint8_t *buffer, std::size_t capacity, uint32_t timeoutMs,
                            const StopSignal &stop) {
    return transfer(platform::Want::Read, timeoutMs, stop,
                    [&] { return platform::receiveSome(native, buffer, capacity); });
}

void TcpSocket::close() {
    connected = false;
    platform::closeSocket(native);
}

} // namespace Korval::os
