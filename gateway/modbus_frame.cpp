#include "gateway/modbus_frame.h"

namespace Korval {

std::atomic<uint16_t> KorvalConnection::mbusSeqNo{0};

namespace {

using K = KorvalConnection;

// Header shared by both requests: transaction number, protocol 0, length, unit, function,
// sub-function.
template <std::size_t Size>
void writeHeader(std::array<uint8_t, Size> &frame, uint8_t unitId, uint8_t subFunction) {
    const uint16_t transaction = K::mbusSeqNo.fetch_add(1);
    const std::size_t length = Size - K::MODBUS_PREFIX_LEN;
    frame[0] = static_cast<uint8_t>(transaction >> 8);
    frame[1] = static_cast<uint8_t>(transaction & 0xFF);
    frame[2] = 0;
    frame[3] = 0;
    frame[4] = static_cast<uint8_t>(length >> 8);
    frame[5] = static_cast<uint8_t>(length & 0xFF);
    frame[6] = unitId;
    frame[7] = K::MODBUS_CUSTOM_FCT;
    frame[8] = subFunction;
}

bool hasCommonHeader(const ReplyBuffer &buffer, std::size_t count, uint8_t subFunction) {
    return buffer[2] == 0 && buffer[3] == 0 &&
           static_cast<std::size_t>(buffer[4] * 256 + buffer[5]) + K::MODBUS_PREFIX_LEN == count &&
           buffer[7] == K::MODBUS_CUSTOM_FCT && buffer[8] == subFunction;
}

std::string invalidFrameText(const ReplyBuffer &buffer, std::size_t count) {
    auto at = [&buffer](std::size_t i) { return std::to_string(buffer[i]); };
    return "Invalid frame or exception response!\ncnt=" + std::to_string(count) + " MB[" + at(0) +
           ", " + at(1) + ", " + at(2) + ", " + at(3) + ", " + at(4) + ", " + at(5) +
           ", id=" + at(6) + ", fc=" + at(7) + ", sf=" + at(8) + "]";
}

} // namespace

ActiveNodesRequest buildActiveNodesRequest() {
    ActiveNodesRequest request{};
    writeHeader(request, 0xFF, K::MODBUS_SUB1_GET_ACTIVE_NODES);
    return request;
}

bool buildSdoRequest(uint32_t canId, const std::vector<uint8_t> &data, SdoRequest &request) {
    writeHeader(request, static_cast<uint8_t>((canId - K::CANOPEN_SDO_REQUEST) & 0xFF),
                K::MODBUS_SUB2_ENCAPSULATED_SDO);
    if (data.size() < 8)
        return false;
    for (std::size_t i = 0; i < 8; ++i)
        request[9 + i] = data[i];
    return true;
}

bool isWholeReply(const ReplyBuffer &buffer, std::size_t count) {
    if (count >= buffer.size())
        return true;
    if (count < K::MODBUS_PREFIX_LEN)
        return false;
    return count >= K::MODBUS_PREFIX_LEN + static_cast<std::size_t>(buffer[4] * 256 + buffer[5]);
}

DecodedReply decodeReply(const ReplyBuffer &buffer, std::size_t count) {
    DecodedReply reply;
    if (count > buffer.size())
        count = buffer.size();
    if (count == K::MODBUS_SUB2_RPL_LEN &&
        hasCommonHeader(buffer, count, K::MODBUS_SUB2_ENCAPSULATED_SDO)) {
        reply.kind = DecodedReply::Kind::SdoReply;
        reply.nodeId = buffer[6];
        for (std::size_t i = 0; i < 8; ++i)
            reply.sdoBytes[i] = buffer[9 + i];
    } else if (count > K::MODBUS_SUB1_REQ_LEN && buffer[6] == 0xFF &&
               hasCommonHeader(buffer, count, K::MODBUS_SUB1_GET_ACTIVE_NODES)) {
        reply.kind = DecodedReply::Kind::NodeList;
        reply.nodeIds.assign(buffer.begin() + K::MODBUS_SUB1_REQ_LEN,
                             buffer.begin() + static_cast<std::ptrdiff_t>(count));
    } else {
        reply.invalidDetail = invalidFrameText(buffer, count);
    }
    return reply;
}

} // namespace Korval
