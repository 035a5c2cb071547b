// The bytes on the wire between the library and the gateway: Modbus/TCP frames with the
// custom function 100, sub-function 1 (active nodes) and 2 (encapsulated SDO).
#pragma once

#include "gateway/korval_connection.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Korval {

using ActiveNodesRequest = std::array<uint8_t, KorvalConnection::MODBUS_SUB1_REQ_LEN>;
using SdoRequest = std::array<uint8_t, KorvalConnection::MODBUS_SUB2_REQ_LEN>;
using ReplyBuffer = std::array<uint8_t, KorvalConnection::MODBUS_MAX_MSG_LEN>;

// Both builders take the next transaction number from the process-wide counter.
ActiveNodesRequest buildActiveNodesRequest();

// Fails (returns false) for fewer than 8 data bytes; the counter has advanced even then.
bool buildSdoRequest(uint32_t canId, const std::vector<uint8_t> &data, SdoRequest &request);

struct DecodedReply {
    enum class Kind { SdoReply, NodeList, Invalid };
    Kind kind = Kind::Invalid;
    uint8_t nodeId = 0;                // SdoReply
    std::array<uint8_t, 8> sdoBytes{}; // SdoReply
    std::vector<uint8_t> nodeIds;      // NodeList, in the gateway's order
    std::string invalidDetail;         // Invalid
};

// True once count bytes hold all that the reply's length field announces (or more), or fill
// the buffer: receiving further could not make an invalid reply valid.
bool isWholeReply(const ReplyBuffer &buffer, std::size_t count);

// Reads a reply. The buffer is the whole zero-filled receive buffer; count is how many bytes
// the receives delivered (at most the buffer's size).
DecodedReply decodeReply(const ReplyBuffer &buffer, std::size_t count);

} // namespace Korval
