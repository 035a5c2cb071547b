#include "pcap_writer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace korvalsim {

namespace {

constexpr size_t IpHeaderSize = 20;
constexpr size_t TcpHeaderSize = 20;
// Loopback's segments are as large as an IPv4 packet allows.
constexpr size_t MaxSegment = 65535 - IpHeaderSize - TcpHeaderSize;

constexpr uint8_t Fin = 0x01;
constexpr uint8_t Syn = 0x02;
constexpr uint8_t Rst = 0x04;
constexpr uint8_t Psh = 0x08;
constexpr uint8_t Ack = 0x10;

void putBe16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void putBe32(uint8_t *p, uint32_t v) {
    putBe16(p, v >> 16);
    putBe16(p + 2, v);
}
void putLe32(std::vector<uint8_t> &out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

// Ones' complement sum of big-endian 16-bit words, an odd last byte padded with zero.
uint32_t addWords(uint32_t sum, const uint8_t *p, size_t size) {
    for (size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (size % 2)
        sum += static_cast<uint32_t>(p[size - 1] << 8);
    return sum;
}
uint16_t foldChecksum(uint32_t sum) {
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// Distinct starting sequence numbers per connection, as real stacks choose them.
uint32_t initialSequence(const Endpoint &from, const Endpoint &to) {
    return 0x1000u * from.port + 0x10u * to.port + (from.address & 0xFF) * 0x01000000u;
}

} // namespace

PcapWriter::~PcapWriter() {
    close();
}

bool PcapWriter::open(const std::string &path, std::string *error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_)
        std::fclose(file_);
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        if (error)
            *error = "cannot write the capture file " + path;
        return false;
    }
    // Global header, little-endian: magic, version 2.4, UTC, accuracy, snapshot length, link.
    std::vector<uint8_t> header;
    putLe32(header, 0xA1B2C3D4);
    putLe32(header, 2 | 4u << 16);
    putLe32(header, 0);
    putLe32(header, 0);
    putLe32(header, 65535);
    putLe32(header, LinkTypeRawIpv4);
    std::fwrite(header.data(), 1, header.size(), file_);
    std::fflush(file_);
    return true;
}

void PcapWriter::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

bool PcapWriter::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return file_ != nullptr;
}

TcpFlow PcapWriter::connect(const Endpoint &client, const Endpoint &server) {
    TcpFlow flow;
    flow.client = client;
    flow.server = server;
    flow.clientSeq = initialSequence(client, server);
    flow.serverSeq = initialSequence(server, client);
    std::lock_guard<std::mutex> lock(mutex_);
    flow.recorded = file_ != nullptr;
    packet(flow, false, Syn, nullptr, 0);
    packet(flow, true, Syn | Ack, nullptr, 0);
    packet(flow, false, Ack, nullptr, 0);
    return flow;
}

void PcapWriter::clientData(TcpFlow &flow, const uint8_t *bytes, size_t size) {
    data(flow, false, bytes, size);
}

void PcapWriter::serverData(TcpFlow &flow, const uint8_t *bytes, size_t size) {
    data(flow, true, bytes, size);
}

void PcapWriter::data(TcpFlow &flow, bool fromServer, const uint8_t *bytes, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t done = 0; done < size;) {
        const size_t part = std::min(size - done, MaxSegment);
        packet(flow, fromServer, Psh | Ack, bytes + done, part);
        done += part;
    }
}

void PcapWriter::finish(TcpFlow &flow, bool serverFirst) {
    std::lock_guard<std::mutex> lock(mutex_);
    packet(flow, serverFirst, Fin | Ack, nullptr, 0);
    packet(flow, !serverFirst, Fin | Ack, nullptr, 0);
    packet(flow, serverFirst, Ack, nullptr, 0);
}

void PcapWriter::reset(TcpFlow &flow) {
    std::lock_guard<std::mutex> lock(mutex_);
    packet(flow, false, Rst | Ack, nullptr, 0);
}

void PcapWriter::packet(TcpFlow &flow, bool fromServer, uint8_t flags, const uint8_t *bytes,
                        size_t size) {
    if (!file_ || !flow.recorded)
        return;
    const Endpoint &from = fromServer ? flow.server : flow.client;
    const Endpoint &to = fromServer ? flow.client : flow.server;
    uint32_t &seq = fromServer ? flow.serverSeq : flow.clientSeq;
    const uint32_t ack = fromServer ? flow.clientSeq : flow.serverSeq;

    const size_t total = IpHeaderSize + TcpHeaderSize + size;
    std::vector<uint8_t> ip(total, 0);
    ip[0] = 0x45; // IPv4, 5-word header
    putBe16(&ip[2], static_cast<uint32_t>(total));
    putBe16(&ip[4], ipId_++);
    ip[6] = 0x40; // don't fragment
    ip[8] = 64;   // time to live
    ip[9] = 6;    // TCP
    putBe32(&ip[12], from.address);
    putBe32(&ip[16], to.address);
    putBe16(&ip[10], foldChecksum(addWords(0, ip.data(), IpHeaderSize)));

    uint8_t *tcp = &ip[IpHeaderSize];
    putBe16(tcp, from.port);
    putBe16(tcp + 2, to.port);
    putBe32(tcp + 4, seq);
    putBe32(tcp + 8, (flags & Syn) && !(flags & Ack) ? 0 : ack);
    tcp[12] = 5 << 4; // header words
    tcp[13] = flags;
    putBe16(tcp + 14, 65535); // window
    if (size)
        std::memcpy(tcp + TcpHeaderSize, bytes, size);
    // Pseudo-header: addresses, protocol and TCP length.
    uint32_t sum = addWords(0, &ip[12], 8);
    sum += 6 + static_cast<uint32_t>(TcpHeaderSize + size);
    putBe16(tcp + 16, foldChecksum(addWords(sum, tcp, TcpHeaderSize + size)));

    seq += static_cast<uint32_t>(size) + ((flags & (Syn | Fin)) ? 1 : 0);

    // Time stamps never go backwards in the file, whatever the wall clock does.
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    lastMicros_ = std::max<int64_t>(lastMicros_, now);
    std::vector<uint8_t> record;
    putLe32(record, static_cast<uint32_t>(lastMicros_ / 1000000));
    putLe32(record, static_cast<uint32_t>(lastMicros_ % 1000000));
    putLe32(record, static_cast<uint32_t>(total));
    putLe32(record, static_cast<uint32_t>(total));
    record.insert(record.end(), ip.begin(), ip.end());
    std::fwrite(record.data(), 1, record.size(), file_);
    std::fflush(file_);
}

} // namespace korvalsim
