#include "modbus_frame.h"

#include <algorithm>

namespace korvalsim {

void FrameReader::append(const uint8_t *data, size_t size) {
    buffer_.insert(buffer_.end(), data, data + size);
}

FrameReader::Result FrameReader::next(std::vector<uint8_t> &frame) {
    if (buffer_.size() < modbus::HeaderSize)
        return Result::NeedMore;
    const size_t protocol = static_cast<size_t>(buffer_[2] << 8 | buffer_[3]);
    const size_t length = static_cast<size_t>(buffer_[4] << 8 | buffer_[5]);
    // At least unit id and function code must follow the header.
    if (protocol != 0 || length < 2 || length > modbus::MaxLength)
        return Result::Invalid;
    const size_t total = modbus::HeaderSize + length;
    if (buffer_.size() < total)
        return Result::NeedMore;
    frame.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
    return Result::Frame;
}

std::vector<uint8_t> makeReply(const std::vector<uint8_t> &request,
                               const std::vector<uint8_t> &payload) {
    const size_t length = payload.size();
    std::vector<uint8_t> reply(modbus::HeaderSize + length, 0);
    reply[0] = request[0];
    reply[1] = request[1];
    reply[4] = static_cast<uint8_t>(length >> 8);
    reply[5] = static_cast<uint8_t>(length);
    std::copy(payload.begin(), payload.end(), reply.begin() + modbus::HeaderSize);
    return reply;
}

std::vector<uint8_t> exceptionReply(const std::vector<uint8_t> &request, uint8_t code) {
    return makeReply(request, {request[6], static_cast<uint8_t>(request[7] | 0x80), code});
}

} // namespace korvalsim
