// The capture file read back byte by byte: what tshark and Wireshark rely on to read it and to
// follow each TCP connection.
#include "pcap_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace korvalsim;

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t le32(const Bytes &b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint32_t be16(const Bytes &b, size_t at) {
    return static_cast<uint32_t>(b[at] << 8 | b[at + 1]);
}
uint32_t be32(const Bytes &b, size_t at) {
    return be16(b, at) << 16 | be16(b, at + 2);
}

// Ones' complement sum over a range: 0xFFFF when the checksum inside it is right.
uint32_t onesSum(const Bytes &b, size_t from, size_t to, uint32_t sum = 0) {
    for (size_t i = from; i < to; i += 2)
        sum += i + 1 < to ? be16(b, i) : static_cast<uint32_t>(b[i] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}

struct Packet {
    Bytes ip; // the IPv4 packet
    uint64_t micros;
    uint32_t seq() const { return be32(ip, 24); }
    uint32_t ack() const { return be32(ip, 28); }
    uint8_t flags() const { return ip[33]; }
    uint32_t sourcePort() const { return be16(ip, 20); }
    Bytes payload() const { return Bytes(ip.begin() + 40, ip.end()); }
};

std::vector<Packet> readCapture(const std::string &path, Bytes &globalHeader) {
    std::ifstream in(path, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Packet> packets;
    if (file.size() < 24)
        return packets;
    globalHeader.assign(file.begin(), file.begin() + 24);
    for (size_t at = 24; at + 16 <= file.size();) {
        const uint32_t included = le32(file, at + 8);
        EXPECT_EQ(included, le32(file, at + 12)) << "whole packets only";
        const auto start = file.begin() + static_cast<std::ptrdiff_t>(at + 16);
        EXPECT_LE(at + 16 + included, file.size());
        packets.push_back(
            {Bytes(start, start + included), le32(file, at) * 1000000ull + le32(file, at + 4)});
        at += 16 + included;
    }
    return packets;
}

class PcapWriterTest : public ::testing::Test {
  protected:
    std::string path = ::testing::TempDir() + "pcap_writer_" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap";
    void TearDown() override { std::remove(path.c_str()); }
};

constexpr uint8_t Fin = 0x01, Syn = 0x02, Psh = 0x08, Ack = 0x10;
const Endpoint client{0x7F000001, 40000};
const Endpoint server{0x7F004D01, 502};

} // namespace

TEST_F(PcapWriterTest, ConnectionReadsBackAsValidIpv4AndTcp) {
    PcapWriter writer;
    ASSERT_TRUE(writer.open(path, nullptr));
    TcpFlow flow = writer.connect(client, server);
    const Bytes request{0, 1, 0, 0, 0, 3, 0xFF, 0x64, 1};
    const Bytes reply{0, 1, 0, 0, 0, 4, 0xFF, 0x64, 1, 5};
    writer.clientData(flow, request.data(), request.size());
    // A reply in two pieces, as a split reply is sent.
    writer.serverData(flow, reply.data(), 4);
    writer.serverData(flow, reply.data() + 4, reply.size() - 4);
    writer.finish(flow, true);
    writer.close();

    Bytes global;
    const std::vector<Packet> packets = readCapture(path, global);
    EXPECT_EQ(global, (Bytes{0xD4, 0xC3, 0xB2, 0xA1, 2,    0,    4, 0, 0,   0, 0, 0,
                             0,    0,    0,    0,    0xFF, 0xFF, 0, 0, 101, 0, 0, 0}));
    ASSERT_EQ(packets.size(), 9u);
    const uint8_t expectedFlags[] = {Syn,       Syn | Ack, Ack,       Psh | Ack, Psh | Ack,
                                     Psh | Ack, Fin | Ack, Fin | Ack, Ack};
    const uint32_t expectedSource[] = {40000, 502, 40000, 40000, 502, 502, 502, 40000, 502};
    for (size_t i = 0; i < packets.size(); ++i) {
        const Bytes &ip = packets[i].ip;
        SCOPED_TRACE("packet " + std::to_string(i));
        ASSERT_GE(ip.size(), 40u);
        EXPECT_EQ(ip[0], 0x45);
        EXPECT_EQ(be16(ip, 2), ip.size()) << "total length";
        EXPECT_EQ(ip[9], 6) << "TCP";
        EXPECT_EQ(onesSum(ip, 0, 20), 0xFFFFu) << "IPv4 header checksum";
        const uint32_t pseudo = onesSum(ip, 12, 20) + 6 + static_cast<uint32_t>(ip.size() - 20);
        EXPECT_EQ(onesSum(ip, 20, ip.size(), pseudo), 0xFFFFu) << "TCP checksum";
        EXPECT_EQ(packets[i].flags(), expectedFlags[i]);
        EXPECT_EQ(packets[i].sourcePort(), expectedSource[i]);
        if (i > 0)
            EXPECT_GE(packets[i].micros, packets[i - 1].micros);
    }
    EXPECT_EQ(be32(packets[0].ip, 12), client.address);
    EXPECT_EQ(be32(packets[0].ip, 16), server.address);
    EXPECT_EQ(packets[3].payload(), request);
    EXPECT_EQ(packets[4].payload(), Bytes(reply.begin(), reply.begin() + 4));
    EXPECT_EQ(packets[5].payload(), Bytes(reply.begin() + 4, reply.end()));

    // Each side's sequence numbers count its SYN, its bytes and its FIN; each ACK names the
    // other side's next byte.
    const uint32_t clientStart = packets[0].seq(), serverStart = packets[1].seq();
    EXPECT_EQ(packets[1].ack(), clientStart + 1);
    EXPECT_EQ(packets[3].seq(), clientStart + 1);
    EXPECT_EQ(packets[4].seq(), serverStart + 1);
    EXPECT_EQ(packets[4].ack(), clientStart + 1 + request.size());
    EXPECT_EQ(packets[5].seq(), serverStart + 1 + 4);
    EXPECT_EQ(packets[6].seq(), serverStart + 1 + reply.size());
    EXPECT_EQ(packets[7].ack(), serverStart + 1 + reply.size() + 1);
    EXPECT_EQ(packets[8].ack(), clientStart + 1 + request.size() + 1);
}

TEST_F(PcapWriterTest, ConnectionFromBeforeTheFileWasOpenStaysOut) {
    PcapWriter writer;
    TcpFlow early = writer.connect(client, server);
    ASSERT_TRUE(writer.open(path, nullptr));
    const Bytes data{1, 2, 3};
    writer.clientData(early, data.data(), data.size());
    writer.finish(early, false);
    TcpFlow later = writer.connect(Endpoint{client.address, 40001}, server);
    writer.reset(later);
    writer.close();

    Bytes global;
    const std::vector<Packet> packets = readCapture(path, global);
    ASSERT_EQ(packets.size(), 4u) << "handshake and reset of the later connection only";
    for (const Packet &p : packets)
        EXPECT_TRUE(p.sourcePort() == 40001 || p.sourcePort() == 502);
    EXPECT_EQ(packets[3].flags(), 0x04 | Ack) << "reset";
}

TEST_F(PcapWriterTest, UnwritableFileIsReported) {
    PcapWriter writer;
    std::string error;
    EXPECT_FALSE(writer.open(::testing::TempDir() + "no-such-folder/x.pcap", &error));
    EXPECT_NE(error.find("no-such-folder"), std::string::npos);
    EXPECT_FALSE(writer.isOpen());
}
