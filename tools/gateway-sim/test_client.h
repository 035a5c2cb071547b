// A plain socket client of the simulator and the requests the library sends, for tests that
// look at the simulator from the wire.
#pragma once

#include "sdo_server.h"
#include "socket_io.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace korvalsim::wire {

using Bytes = std::vector<uint8_t>;

constexpr unsigned Generous = 3000; // bound for things that must happen
constexpr unsigned Quiet = 200;     // how long we watch for things that must not happen

class Client {
  public:
    explicit Client(const std::string &address) {
        Socket::connectTo(address, 502, Generous, socket_, nullptr);
    }
    bool connected() const { return socket_.valid(); }

    void send(const Bytes &bytes) {
        size_t sent = 0;
        for (int tries = 0; sent < bytes.size() && tries < 100; ++tries) {
            IoResult r = socket_.send(bytes.data() + sent, bytes.size() - sent);
            if (r.status == IoStatus::Done)
                sent += r.bytes;
            else
                socket_.waitWritable(20);
        }
        ASSERT_EQ(sent, bytes.size());
    }

    // One receive call, as the library does; empty on time-out or end of stream.
    Bytes readOnce(unsigned timeoutMs) {
        uint8_t buffer[136];
        const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs);
        while (socket_.waitReadable(remaining(deadline))) {
            IoResult r = socket_.receive(buffer, sizeof buffer);
            if (r.status == IoStatus::Done)
                return Bytes(buffer, buffer + r.bytes);
            if (r.status != IoStatus::WouldBlock) {
                closed_ = true;
                break;
            }
        }
        return {};
    }

    Bytes read(size_t count, unsigned timeoutMs = Generous) {
        Bytes all;
        const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs);
        while (all.size() < count && !closed_ && clock::now() < deadline) {
            Bytes part = readOnce(remaining(deadline));
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    }

    // True once the peer has closed (or reset) the connection.
    bool closedByPeer(unsigned timeoutMs = Generous) {
        read(SIZE_MAX, timeoutMs);
        return closed_;
    }

  private:
    using clock = std::chrono::steady_clock;
    static unsigned remaining(clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        return left.count() > 0 ? static_cast<unsigned>(left.count()) : 0;
    }
    Socket socket_;
    bool closed_ = false;
};

inline Bytes nodeListRequest(uint16_t tid) {
    return {static_cast<uint8_t>(tid >> 8), static_cast<uint8_t>(tid), 0, 0, 0, 3, 0xFF, 0x64, 1};
}

inline Bytes sdoRequest(uint16_t tid, uint8_t node, const SdoFrame &sdo) {
    Bytes r{static_cast<uint8_t>(tid >> 8), static_cast<uint8_t>(tid), 0, 0, 0, 11, node, 0x64, 2};
    r.insert(r.end(), sdo.begin(), sdo.end());
    return r;
}

inline SdoFrame upload(uint16_t index, uint8_t sub) {
    return {0x40, static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), sub, 0, 0, 0, 0};
}

} // namespace korvalsim::wire
