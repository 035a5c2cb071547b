// Pure protocol logic: SDO server, frame cutting and the gateway's normal answers.
#include "gateway_model.h"
#include "modbus_frame.h"
#include "sdo_server.h"

#include <gtest/gtest.h>

#include <string>

using namespace korvalsim;

namespace {

SdoFrame upload(uint16_t index, uint8_t sub) {
    return {0x40, static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), sub, 0, 0, 0, 0};
}

SdoFrame download32(uint16_t index, uint8_t sub, uint32_t v) {
    return {0x23,
            static_cast<uint8_t>(index),
            static_cast<uint8_t>(index >> 8),
            sub,
            static_cast<uint8_t>(v),
            static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

SdoFrame segment(bool toggle) {
    return {static_cast<uint8_t>(toggle ? 0x70 : 0x60)};
}

uint32_t le32(const SdoFrame &f) {
    return f[4] | (f[5] << 8) | (f[6] << 16) | (static_cast<uint32_t>(f[7]) << 24);
}

// Runs a whole segmented upload the way a client would, checking every segment header.
std::string segmentedUpload(SdoServer &server, uint16_t index, uint8_t sub) {
    const SdoFrame init = server.handle(upload(index, sub));
    EXPECT_EQ(init[0], 0x41);
    const uint32_t size = le32(init);
    std::string data;
    bool toggle = false;
    for (int i = 0; i < 100; ++i) {
        const SdoFrame seg = server.handle(segment(toggle));
        EXPECT_EQ(seg[0] & 0xE0, 0x00) << "segment response command";
        EXPECT_EQ((seg[0] & 0x10) != 0, toggle);
        const size_t count = 7 - ((seg[0] >> 1) & 7);
        data.append(seg.begin() + 1, seg.begin() + 1 + static_cast<std::ptrdiff_t>(count));
        if (seg[0] & 1)
            break;
        toggle = !toggle;
    }
    EXPECT_EQ(data.size(), size);
    return data;
}

} // namespace

TEST(SdoServer, ExpeditedUploadIndicatesSize) {
    SdoServer server(defaultNodeInfo(5));
    EXPECT_EQ(server.handle(upload(0x1000, 0)),
              (SdoFrame{0x43, 0x00, 0x10, 0x00, 0x92, 0x01, 0x02, 0x00}));
    EXPECT_EQ(server.handle(upload(0x1018, 0)), (SdoFrame{0x4F, 0x18, 0x10, 0x00, 4, 0, 0, 0}));
    EXPECT_EQ(le32(server.handle(upload(0x1018, 4))), defaultNodeInfo(5).serial);
}

TEST(SdoServer, SegmentedUploadReassemblesNamesOfAnyLength) {
    for (const std::string name :
         {"", "Hello", "exactly 14 chr", "KORVAL sim node 5, with a long tail"}) {
        NodeInfo info = defaultNodeInfo(9);
        info.deviceName = name;
        SdoServer server(info);
        EXPECT_EQ(segmentedUpload(server, 0x1008, 0), name);
    }
}

TEST(SdoServer, ShortNameIsExpedited) {
    NodeInfo info = defaultNodeInfo(9);
    info.deviceName = "ab";
    SdoServer server(info);
    EXPECT_EQ(server.handle(upload(0x1008, 0)), (SdoFrame{0x4B, 0x08, 0x10, 0x00, 'a', 'b', 0, 0}));
}

TEST(SdoServer, UploadErrorsAbort) {
    SdoServer server(defaultNodeInfo(5));
    EXPECT_EQ(server.handle(upload(0x6000, 1)), sdoAbort(0x6000, 1, abort_code::NoObject));
    EXPECT_EQ(server.handle(upload(0x1018, 5)), sdoAbort(0x1018, 5, abort_code::NoSubindex));
    EXPECT_EQ(server.handle(segment(false)), sdoAbort(0, 0, abort_code::UnknownCommand));
    EXPECT_EQ(server.handle({0xA0, 0x08, 0x10, 0, 0, 0, 0, 0}),
              sdoAbort(0x1008, 0, abort_code::UnknownCommand));
}

TEST(SdoServer, WrongToggleAbortsAndEndsTransfer) {
    SdoServer server(defaultNodeInfo(5));
    server.handle(upload(0x1008, 0));
    EXPECT_EQ(server.handle(segment(false))[0] & 0x10, 0);
    EXPECT_EQ(server.handle(segment(false)), sdoAbort(0x1008, 0, abort_code::ToggleNotAlternated));
    EXPECT_EQ(server.handle(segment(true)), sdoAbort(0, 0, abort_code::UnknownCommand));
}

TEST(SdoServer, ClientAbortIsEchoedAndEndsTransfer) {
    SdoServer server(defaultNodeInfo(5));
    server.handle(upload(0x1008, 0));
    const SdoFrame abort{0x80, 0x08, 0x10, 0x00, 0x00, 0x00, 0x04, 0x05};
    EXPECT_EQ(server.handle(abort), abort);
    EXPECT_EQ(server.handle(segment(false)), sdoAbort(0, 0, abort_code::UnknownCommand));
}

TEST(SdoServer, DownloadWritesScratchValueOnly) {
    SdoServer server(defaultNodeInfo(5));
    EXPECT_EQ(server.handle(download32(0x2000, 0, 0xCAFEF00D)),
              (SdoFrame{0x60, 0x00, 0x20, 0x00, 0, 0, 0, 0}));
    EXPECT_EQ(le32(server.handle(upload(0x2000, 0))), 0xCAFEF00Du);

    SdoFrame unsized = download32(0x2000, 0, 0x01020304);
    unsized[0] = 0x22;
    EXPECT_EQ(server.handle(unsized)[0], 0x60);
    EXPECT_EQ(le32(server.handle(upload(0x2000, 0))), 0x01020304u);

    SdoFrame oneByte = download32(0x2000, 0, 7);
    oneByte[0] = 0x2F;
    EXPECT_EQ(server.handle(oneByte), sdoAbort(0x2000, 0, abort_code::LengthMismatch));
    SdoFrame segmented = download32(0x2000, 0, 4);
    segmented[0] = 0x21;
    EXPECT_EQ(server.handle(segmented), sdoAbort(0x2000, 0, abort_code::UnsupportedAccess));
    EXPECT_EQ(server.handle(download32(0x1000, 0, 1)), sdoAbort(0x1000, 0, abort_code::ReadOnly));
    EXPECT_EQ(server.handle(download32(0x2001, 0, 1)), sdoAbort(0x2001, 0, abort_code::NoObject));
    EXPECT_EQ(le32(server.handle(upload(0x2000, 0))), 0x01020304u);
}

TEST(SdoServer, NewIdentityKeepsScratchValue) {
    SdoServer server(defaultNodeInfo(5));
    server.handle(download32(0x2000, 0, 42));
    NodeInfo info = defaultNodeInfo(5);
    info.deviceType = 0x12345678;
    server.setInfo(info);
    EXPECT_EQ(le32(server.handle(upload(0x1000, 0))), 0x12345678u);
    EXPECT_EQ(le32(server.handle(upload(0x2000, 0))), 42u);
}

TEST(DefaultNodeInfo, DiffersPerNodeAndSerialCarriesId) {
    const NodeInfo a = defaultNodeInfo(3);
    const NodeInfo b = defaultNodeInfo(4);
    EXPECT_NE(a.vendorId, b.vendorId);
    EXPECT_NE(a.productCode, b.productCode);
    EXPECT_NE(a.revision, b.revision);
    EXPECT_EQ(a.serial & 0xFF, 3u);
    EXPECT_GT(a.deviceName.size(), 4u);
}

TEST(FrameReader, CutsByLengthFieldAcrossAppends) {
    const std::vector<uint8_t> a{0, 1, 0, 0, 0, 3, 0xFF, 0x64, 1};
    const std::vector<uint8_t> b{0, 2, 0, 0, 0, 2, 0xFF, 0x03};
    std::vector<uint8_t> stream = a;
    stream.insert(stream.end(), b.begin(), b.end());

    FrameReader reader;
    std::vector<uint8_t> frame;
    for (size_t i = 0; i + 1 < a.size(); ++i) {
        reader.append(&stream[i], 1);
        EXPECT_EQ(reader.next(frame), FrameReader::Result::NeedMore);
    }
    reader.append(&stream[a.size() - 1], stream.size() - a.size() + 1);
    ASSERT_EQ(reader.next(frame), FrameReader::Result::Frame);
    EXPECT_EQ(frame, a);
    ASSERT_EQ(reader.next(frame), FrameReader::Result::Frame);
    EXPECT_EQ(frame, b);
    EXPECT_EQ(reader.next(frame), FrameReader::Result::NeedMore);
}

TEST(FrameReader, RejectsImpossibleHeaders) {
    const std::vector<std::vector<uint8_t>> bad{
        {0, 1, 0, 0, 0x00, 0xFE}, // length 254
        {0, 1, 0, 0, 0xFF, 0xFF},
        {0, 1, 0, 0, 0x00, 0x01}, // no room for a function code
        {0, 1, 0, 1, 0x00, 0x03}, // protocol id not Modbus
    };
    for (const auto &header : bad) {
        FrameReader reader;
        reader.append(header.data(), header.size());
        std::vector<uint8_t> frame;
        EXPECT_EQ(reader.next(frame), FrameReader::Result::Invalid);
    }
}

TEST(GatewayModel, NodeListSkipsInvalidAndRepeatedIds) {
    GatewayModel model;
    model.setNodes({5, 0, 10, 128, 5});
    model.setNode(defaultNodeInfo(7));
    EXPECT_EQ(model.reply({0x12, 0x34, 0, 0, 0, 3, 0xFF, 0x64, 1}, false),
              (std::vector<uint8_t>{0x12, 0x34, 0, 0, 0, 6, 0xFF, 0x64, 1, 5, 10, 7}));
}

TEST(GatewayModel, MalformedRequestsGetExceptions) {
    GatewayModel model;
    model.setNodes({5});
    using Bytes = std::vector<uint8_t>;
    EXPECT_EQ(model.reply({0, 9, 0, 0, 0, 2, 0x01, 0x03}, false),
              (Bytes{0, 9, 0, 0, 0, 3, 1, 0x83, 1}));
    EXPECT_EQ(model.reply({0, 9, 0, 0, 0, 3, 0xFF, 0x64, 7}, false),
              (Bytes{0, 9, 0, 0, 0, 3, 0xFF, 0xE4, 1}));
    EXPECT_EQ(model.reply({0, 9, 0, 0, 0, 4, 0xFF, 0x64, 1, 0}, false),
              (Bytes{0, 9, 0, 0, 0, 3, 0xFF, 0xE4, 3}));
    EXPECT_EQ(model.reply({0, 9, 0, 0, 0, 4, 5, 0x64, 2, 0x40}, false),
              (Bytes{0, 9, 0, 0, 0, 3, 5, 0xE4, 3}));
    EXPECT_EQ(model.reply({0, 9, 0, 0, 0, 11, 6, 0x64, 2, 0x40, 0, 0x10, 0, 0, 0, 0, 0}, false),
              (Bytes{0, 9, 0, 0, 0, 3, 6, 0xE4, 0x0B}));
}
