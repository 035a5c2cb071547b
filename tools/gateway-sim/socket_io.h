// Thin portable layer over BSD sockets and Winsock2, so the rest of the simulator has no #ifdefs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvalsim {

// Parses a dotted-quad IPv4 address and accepts it only inside 127.0.0.0/8: the simulator
// must never listen on or talk to anything but loopback.
bool parseLoopbackAddress(const std::string &text, uint32_t &hostOrder);

// An IPv4 address and port, both in host byte order.
struct Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;
};

enum class IoStatus { Done, WouldBlock, Closed, Failed };

struct IoResult {
    IoStatus status;
    size_t bytes;
};

enum class ConnectResult { Connected, TimedOut, Failed };

// Owns one non-blocking socket; closes it on destruction.
class Socket {
  public:
    Socket() = default;
    ~Socket();
    Socket(Socket &&other) noexcept;
    Socket &operator=(Socket &&other) noexcept;
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    static Socket listenOn(const std::string &address, uint16_t port, int backlog,
                           std::string *error);
    // Starts a connection and waits for it at most timeoutMs.
    static ConnectResult connectTo(const std::string &address, uint16_t port, unsigned timeoutMs,
                                   Socket &out, std::string *error);

    bool valid() const { return handle_ != -1; }
    void close();

    // Returns an invalid socket when no connection is pending.
    Socket accept();
    bool waitReadable(unsigned timeoutMs) const;
    bool waitWritable(unsigned timeoutMs) const;
    IoResult receive(uint8_t *buffer, size_t size);
    IoResult send(const uint8_t *data, size_t size);
    void setNoDelay();
    // This socket's own address and its peer's; false if either is unknown.
    bool endpoints(Endpoint &local, Endpoint &peer) const;

  private:
    explicit Socket(std::intptr_t handle) : handle_(handle) {}
    std::intptr_t handle_ = -1;
};

// Winsock needs a one-time start-up; a no-op elsewhere. Safe to call repeatedly.
bool initSockets(std::string *error);

} // namespace korvalsim
