// Modbus/TCP framing for the gateway's private function 100.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvalsim {

namespace modbus {
constexpr uint8_t GatewayFunction = 0x64;
constexpr uint8_t NodeListSub = 1;
constexpr uint8_t SdoSub = 2;
constexpr uint8_t GatewayUnit = 0xFF;
constexpr uint8_t IllegalFunction = 0x01;
constexpr uint8_t IllegalDataValue = 0x03;
constexpr uint8_t TargetFailed = 0x0B;
constexpr size_t HeaderSize = 6;
constexpr size_t MaxLength = 253; // largest length field a Modbus/TCP ADU may carry
constexpr size_t NodeListRequestSize = 9;
constexpr size_t SdoRequestSize = 17;
} // namespace modbus

// Cuts a TCP byte stream into ADUs by their length field, however the stream was segmented.
class FrameReader {
  public:
    enum class Result { Frame, NeedMore, Invalid };

    void append(const uint8_t *data, size_t size);
    // Invalid means the stream cannot be Modbus (protocol id not 0 or length out of range);
    // the connection should be dropped.
    Result next(std::vector<uint8_t> &frame);

  private:
    std::vector<uint8_t> buffer_;
};

// Builds a reply header (transaction id copied from the request) followed by payload,
// where payload starts with the unit id.
std::vector<uint8_t> makeReply(const std::vector<uint8_t> &request,
                               const std::vector<uint8_t> &payload);
// Exception reply to a request of at least 8 bytes: function code with bit 7 set, then code.
std::vector<uint8_t> exceptionReply(const std::vector<uint8_t> &request, uint8_t code);

} // namespace korvalsim
