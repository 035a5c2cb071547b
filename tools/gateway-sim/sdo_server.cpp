#include "sdo_server.h"

#include <algorithm>
#include <cstddef>

namespace korvalsim {

namespace {

std::vector<uint8_t> u32le(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

uint16_t indexOf(const SdoFrame &f) {
    return static_cast<uint16_t>(f[1] | (f[2] << 8));
}

SdoFrame withMux(uint8_t command, uint16_t index, uint8_t sub) {
    return {command, static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), sub, 0, 0, 0,
            0};
}

} // namespace

NodeInfo defaultNodeInfo(uint8_t id) {
    return NodeInfo{id,
                    0x00020192,
                    "KORVAL sim node " + std::to_string(id),
                    0x4B520000u + id,
                    0x00005000u + id,
                    0x00010000u + id,
                    0x20240000u + id};
}

SdoFrame sdoAbort(uint16_t index, uint8_t sub, uint32_t code) {
    SdoFrame f = withMux(0x80, index, sub);
    std::vector<uint8_t> c = u32le(code);
    for (size_t i = 0; i < 4; ++i)
        f[4 + i] = c[i];
    return f;
}

SdoServer::SdoServer(const NodeInfo &info) {
    dictionary_[{0x2000, 0}] = Entry{u32le(0), true};
    setInfo(info);
}

void SdoServer::setInfo(const NodeInfo &info) {
    dictionary_[{0x1000, 0}] = Entry{u32le(info.deviceType), false};
    dictionary_[{0x1008, 0}] =
        Entry{std::vector<uint8_t>(info.deviceName.begin(), info.deviceName.end()), false};
    dictionary_[{0x1018, 0}] = Entry{{4}, false};
    dictionary_[{0x1018, 1}] = Entry{u32le(info.vendorId), false};
    dictionary_[{0x1018, 2}] = Entry{u32le(info.productCode), false};
    dictionary_[{0x1018, 3}] = Entry{u32le(info.revision), false};
    dictionary_[{0x1018, 4}] = Entry{u32le(info.serial), false};
}

SdoServer::Entry *SdoServer::find(uint16_t index, uint8_t sub, uint32_t &code) {
    auto it = dictionary_.find({index, sub});
    if (it != dictionary_.end())
        return &it->second;
    auto next = dictionary_.lower_bound({index, 0});
    code = (next != dictionary_.end() && next->first.first == index) ? abort_code::NoSubindex
                                                                     : abort_code::NoObject;
    return nullptr;
}

SdoFrame SdoServer::handle(const SdoFrame &request) {
    const uint8_t command = request[0] >> 5;
    const uint16_t index = indexOf(request);
    const uint8_t sub = request[3];
    switch (command) {
    case 1:
        uploading_ = false;
        return download(request, index, sub);
    case 2:
        uploading_ = false;
        return initiateUpload(index, sub);
    case 3:
        return uploadSegment(request);
    case 4: {
        uploading_ = false;
        SdoFrame echo = request;
        echo[0] = 0x80;
        return echo;
    }
    default:
        uploading_ = false;
        return sdoAbort(index, sub, abort_code::UnknownCommand);
    }
}

SdoFrame SdoServer::initiateUpload(uint16_t index, uint8_t sub) {
    uint32_t code = 0;
    const Entry *entry = find(index, sub, code);
    if (!entry)
        return sdoAbort(index, sub, code);
    const std::vector<uint8_t> &data = entry->value;
    if (!data.empty() && data.size() <= 4) {
        // Expedited: e = 1, s = 1, n = number of unused bytes.
        SdoFrame f = withMux(static_cast<uint8_t>(0x43 | ((4 - data.size()) << 2)), index, sub);
        for (size_t i = 0; i < data.size(); ++i)
            f[4 + i] = data[i];
        return f;
    }
    // An empty value cannot be expedited (n has no "4 unused"), so it goes segmented too.
    uploading_ = true;
    uploadKey_ = {index, sub};
    uploadData_ = data;
    uploadOffset_ = 0;
    expectedToggle_ = false;
    SdoFrame f = withMux(0x41, index, sub);
    std::vector<uint8_t> size = u32le(static_cast<uint32_t>(data.size()));
    for (size_t i = 0; i < 4; ++i)
        f[4 + i] = size[i];
    return f;
}

SdoFrame SdoServer::uploadSegment(const SdoFrame &request) {
    if (!uploading_)
        return sdoAbort(0, 0, abort_code::UnknownCommand);
    const bool toggle = (request[0] & 0x10) != 0;
    if (toggle != expectedToggle_) {
        uploading_ = false;
        return sdoAbort(uploadKey_.first, uploadKey_.second, abort_code::ToggleNotAlternated);
    }
    const size_t count = std::min<size_t>(7, uploadData_.size() - uploadOffset_);
    uploadOffset_ += count;
    const bool last = uploadOffset_ == uploadData_.size();
    SdoFrame f{};
    f[0] = static_cast<uint8_t>((toggle ? 0x10 : 0) | ((7 - count) << 1) | (last ? 1 : 0));
    for (size_t i = 0; i < count; ++i)
        f[1 + i] = uploadData_[uploadOffset_ - count + i];
    expectedToggle_ = !expectedToggle_;
    if (last)
        uploading_ = false;
    return f;
}

SdoFrame SdoServer::download(const SdoFrame &request, uint16_t index, uint8_t sub) {
    const bool expedited = (request[0] & 0x02) != 0;
    const bool sized = (request[0] & 0x01) != 0;
    uint32_t code = 0;
    Entry *entry = find(index, sub, code);
    if (!entry)
        return sdoAbort(index, sub, code);
    if (!entry->writable)
        return sdoAbort(index, sub, abort_code::ReadOnly);
    if (!expedited)
        return sdoAbort(index, sub, abort_code::UnsupportedAccess);
    const size_t size = sized ? 4 - ((request[0] >> 2) & 3) : entry->value.size();
    if (size > 4 || size != entry->value.size())
        return sdoAbort(index, sub, abort_code::LengthMismatch);
    entry->value.assign(request.begin() + 4,
                        request.begin() + 4 + static_cast<std::ptrdiff_t>(size));
    return withMux(0x60, index, sub);
}

} // namespace korvalsim
