#include "gateway/modbus_frame.h"

#include <gtest/gtest.h>

#include <initializer_list>

using namespace Korval;
using Kind = DecodedReply::Kind;

namespace {

ReplyBuffer bufferOf(std::initializer_list<uint8_t> bytes) {
    ReplyBuffer buffer{};
    std::size_t i = 0;
    for (uint8_t b : bytes)
        buffer[i++] = b;
    return buffer;
}

DecodedReply decode(std::initializer_list<uint8_t> bytes) {
    return decodeReply(bufferOf(bytes), bytes.size());
}

const std::vector<uint8_t> SDO_READ_1000 = {0x40, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00};

} // namespace

TEST(RequestFormat, FramesOfTheProtocolTableByteForByte) {
    KorvalConnection::mbusSeqNo = 258;

    ActiveNodesRequest poll = buildActiveNodesRequest();
    EXPECT_EQ(poll, (ActiveNodesRequest{0x01, 0x02, 0x00, 0x00, 0x00, 0x03, 0xFF, 0x64, 0x01}));

    SdoRequest sdo{};
    ASSERT_TRUE(buildSdoRequest(0x605, SDO_READ_1000, sdo));
    EXPECT_EQ(sdo, (SdoRequest{0x01, 0x03, 0x00, 0x00, 0x00, 0x0B, 0x05, 0x64, 0x02, 0x40, 0x00,
                               0x10, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(KorvalConnection::mbusSeqNo, 260);
}

TEST(RequestFormat, UnitIdIsTheLowByteOfTheNodeOffset) {
    SdoRequest sdo{};
    ASSERT_TRUE(buildSdoRequest(0x600, SDO_READ_1000, sdo));
    EXPECT_EQ(sdo[6], 0);
    ASSERT_TRUE(buildSdoRequest(0x67F, SDO_READ_1000, sdo));
    EXPECT_EQ(sdo[6], 127);
}

TEST(RequestFormat, OnlyTheFirstEightDataBytesAreSent) {
    std::vector<uint8_t> nine = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    SdoRequest sdo{};
    ASSERT_TRUE(buildSdoRequest(0x601, nine, sdo));
    EXPECT_EQ(sdo[16], 8);
}

TEST(RequestFormat, ShortFrameCannotBeEncodedButStillTakesItsNumber) {
    KorvalConnection::mbusSeqNo = 7;
    SdoRequest sdo{};
    EXPECT_FALSE(buildSdoRequest(0x605, std::vector<uint8_t>(7, 0), sdo));
    EXPECT_EQ(KorvalConnection::mbusSeqNo, 8);
}

TEST(RequestFormat, CounterStartsAtZeroAndWrapsAfter65535) {
    KorvalConnection::mbusSeqNo = 65535;
    ActiveNodesRequest last = buildActiveNodesRequest();
    ActiveNodesRequest next = buildActiveNodesRequest();
    EXPECT_EQ(last[0], 0xFF);
    EXPECT_EQ(last[1], 0xFF);
    EXPECT_EQ(next[0], 0x00);
    EXPECT_EQ(next[1], 0x00);
}

TEST(ReplyFormat, SdoReplyFromNodeFive) {
    DecodedReply reply = decode({0x01, 0x03, 0x00, 0x00, 0x00, 0x0B, 0x05, 0x64, 0x02, 0x43, 0x00,
                                 0x10, 0x00, 0x92, 0x01, 0x02, 0x00});
    ASSERT_EQ(reply.kind, Kind::SdoReply);
    EXPECT_EQ(reply.nodeId, 5);
    EXPECT_EQ(reply.sdoBytes,
              (std::array<uint8_t, 8>{0x43, 0x00, 0x10, 0x00, 0x92, 0x01, 0x02, 0x00}));
}

TEST(ReplyFormat, SdoReplyIgnoresTransactionIdAndAcceptsUnit255) {
    DecodedReply reply =
        decode({0xAB, 0xCD, 0x00, 0x00, 0x00, 0x0B, 0xFF, 0x64, 0x02, 1, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_EQ(reply.kind, Kind::SdoReply);
    EXPECT_EQ(reply.nodeId, 255);
}

TEST(ReplyFormat, NodeListInTheGatewaysOrder) {
    DecodedReply reply =
        decode({0x01, 0x02, 0x00, 0x00, 0x00, 0x06, 0xFF, 0x64, 0x01, 0x05, 0x0A, 0x03});
    ASSERT_EQ(reply.kind, Kind::NodeList);
    EXPECT_EQ(reply.nodeIds, (std::vector<uint8_t>{5, 10, 3}));
}

TEST(ReplyFormat, SeventeenByteNodeListIsEightNodes) {
    DecodedReply reply = decode({0, 0, 0, 0, 0, 11, 0xFF, 0x64, 0x01, 1, 2, 3, 4, 5, 0, 200, 255});
    ASSERT_EQ(reply.kind, Kind::NodeList);
    EXPECT_EQ(reply.nodeIds, (std::vector<uint8_t>{1, 2, 3, 4, 5, 0, 200, 255}));
}

TEST(ReplyFormat, FullListOf127NodesFillsTheBuffer) {
    ReplyBuffer buffer{};
    buffer[5] = 3 + 127;
    buffer[6] = 0xFF;
    buffer[7] = 0x64;
    buffer[8] = 0x01;
    for (std::size_t i = 0; i < 127; ++i)
        buffer[9 + i] = static_cast<uint8_t>(i + 1);
    DecodedReply reply = decodeReply(buffer, buffer.size());
    ASSERT_EQ(reply.kind, Kind::NodeList);
    ASSERT_EQ(reply.nodeIds.size(), 127u);
    EXPECT_EQ(reply.nodeIds.back(), 127);
}

TEST(ReplyFormat, ReplyCutAtTheBufferSizeFailsTheLengthTest) {
    ReplyBuffer buffer{};
    buffer[5] = 3 + 128; // 137 bytes announced, 136 received
    buffer[6] = 0xFF;
    buffer[7] = 0x64;
    buffer[8] = 0x01;
    EXPECT_EQ(decodeReply(buffer, buffer.size()).kind, Kind::Invalid);
}

TEST(ReplyFormat, LengthAndUnitRulesMakeFramesInvalid) {
    // Length field 12 instead of 11.
    EXPECT_EQ(decode({0, 1, 0, 0, 0, 12, 5, 0x64, 2, 1, 2, 3, 4, 5, 6, 7, 8}).kind, Kind::Invalid);
    // 16 and 18 bytes with function 100 and sub-function 2.
    EXPECT_EQ(decode({0, 1, 0, 0, 0, 10, 5, 0x64, 2, 1, 2, 3, 4, 5, 6, 7}).kind, Kind::Invalid);
    EXPECT_EQ(decode({0, 1, 0, 0, 0, 12, 5, 0x64, 2, 1, 2, 3, 4, 5, 6, 7, 8, 9}).kind,
              Kind::Invalid);
    // Protocol id other than 0.
    EXPECT_EQ(decode({0, 1, 0, 1, 0, 11, 5, 0x64, 2, 1, 2, 3, 4, 5, 6, 7, 8}).kind, Kind::Invalid);
    // Node list with unit id 5 instead of 255.
    EXPECT_EQ(decode({0, 1, 0, 0, 0, 5, 5, 0x64, 1, 5, 10}).kind, Kind::Invalid);
}

TEST(ReplyFormat, EmptyNodeListIsAnInvalidFrame) {
    DecodedReply reply = decode({0x01, 0x02, 0x00, 0x00, 0x00, 0x03, 0xFF, 0x64, 0x01});
    ASSERT_EQ(reply.kind, Kind::Invalid);
    EXPECT_EQ(reply.invalidDetail,
              "Invalid frame or exception response!\ncnt=9 MB[1, 2, 0, 0, 0, 3, id=255, fc=100, "
              "sf=1]");
}

TEST(ReplyFormat, ExceptionReplyShowsItsCodeAsSubFunction) {
    DecodedReply reply = decode({0x01, 0x03, 0x00, 0x00, 0x00, 0x03, 0x05, 0xE4, 0x01});
    ASSERT_EQ(reply.kind, Kind::Invalid);
    EXPECT_EQ(reply.invalidDetail,
              "Invalid frame or exception response!\ncnt=9 MB[1, 3, 0, 0, 0, 3, id=5, fc=228, "
              "sf=1]");
}

TEST(ReplyFormat, ClosedConnectionIsAnInvalidFrameOfZeroBytes) {
    DecodedReply reply = decodeReply(ReplyBuffer{}, 0);
    ASSERT_EQ(reply.kind, Kind::Invalid);
    EXPECT_EQ(reply.invalidDetail,
              "Invalid frame or exception response!\ncnt=0 MB[0, 0, 0, 0, 0, 0, id=0, fc=0, sf=0]");
}
