// Writes the simulator's TCP traffic to a pcap file as a capture on the loopback interface
// would show it, without capture rights: raw IPv4 packets (link type 101) with TCP headers
// whose sequence and acknowledgement numbers follow the bytes, so that Wireshark tracks each
// connection and reassembles a reply that was sent in pieces.
#pragma once

#include "socket_io.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace korvalsim {

// One connection as the capture shows it: each side's next sequence number. A connection
// accepted while no file was open stays out of the capture.
struct TcpFlow {
    bool recorded = false;
    Endpoint client;
    Endpoint server;
    uint32_t clientSeq = 0;
    uint32_t serverSeq = 0;
};

class PcapWriter {
  public:
    static constexpr uint32_t LinkTypeRawIpv4 = 101;

    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;

    // Creates (or empties) the file and writes the global header; false with a reason.
    bool open(const std::string &path, std::string *error);
    void close();
    bool isOpen() const;

    // Everything below may be called from any thread, and does nothing while no file is open.
    // Every packet is flushed at once, so the file is readable while the simulator runs.
    TcpFlow connect(const Endpoint &client, const Endpoint &server);
    void clientData(TcpFlow &flow, const uint8_t *data, size_t size);
    void serverData(TcpFlow &flow, const uint8_t *data, size_t size);
    // FIN from the side that closes, the other side's FIN, the last ACK.
    void finish(TcpFlow &flow, bool serverFirst);
    // The client reset the connection.
    void reset(TcpFlow &flow);

  private:
    void data(TcpFlow &flow, bool fromServer, const uint8_t *bytes, size_t size);
    // Writes one packet and advances the sender's sequence number by its length (and by one
    // for SYN and FIN). Called with mutex_ held.
    void packet(TcpFlow &flow, bool fromServer, uint8_t flags, const uint8_t *bytes, size_t size);

    mutable std::mutex mutex_;
    std::FILE *file_ = nullptr;
    uint16_t ipId_ = 0;
    int64_t lastMicros_ = 0;
};

} // namespace korvalsim
