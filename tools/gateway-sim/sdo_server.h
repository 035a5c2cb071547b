// Object dictionary and SDO server of one simulated CANopen node. Pure logic, no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace korvalsim {

struct NodeInfo {
    uint8_t id;
    uint32_t deviceType;
    std::string deviceName;
    uint32_t vendorId, productCode, revision, serial;
};

// Deterministic per-node identity, so tests can predict what a node reports.
NodeInfo defaultNodeInfo(uint8_t id);

namespace abort_code {
constexpr uint32_t ToggleNotAlternated = 0x05030000;
constexpr uint32_t UnknownCommand = 0x05040001;
constexpr uint32_t UnsupportedAccess = 0x06010000;
constexpr uint32_t ReadOnly = 0x06010002;
constexpr uint32_t NoObject = 0x06020000;
constexpr uint32_t LengthMismatch = 0x06070010;
constexpr uint32_t NoSubindex = 0x06090011;
} // namespace abort_code

using SdoFrame = std::array<uint8_t, 8>;

// Serves 0x1000, 0x1008, 0x1018:00-04 (read-only) and 0x2000:00 (read/write UNSIGNED32).
// Supports expedited and segmented upload and expedited download; everything else aborts.
class SdoServer {
  public:
    explicit SdoServer(const NodeInfo &info);

    // Replaces the identity objects; the 0x2000 scratch value and transfer state are kept.
    void setInfo(const NodeInfo &info);
    // Every request gets exactly one response. A client abort is answered by echoing it, so
    // the gateway always has something to send back.
    SdoFrame handle(const SdoFrame &request);

  private:
    struct Entry {
        std::vector<uint8_t> value;
        bool writable;
    };
    using Key = std::pair<uint16_t, uint8_t>;

    SdoFrame initiateUpload(uint16_t index, uint8_t sub);
    SdoFrame uploadSegment(const SdoFrame &request);
    SdoFrame download(const SdoFrame &request, uint16_t index, uint8_t sub);
    // Returns nullptr and sets code when the object or subindex is missing.
    Entry *find(uint16_t index, uint8_t sub, uint32_t &code);

    std::map<Key, Entry> dictionary_;
    bool uploading_ = false;
    Key uploadKey_{0, 0};
    std::vector<uint8_t> uploadData_;
    size_t uploadOffset_ = 0;
    bool expectedToggle_ = false;
};

SdoFrame sdoAbort(uint16_t index, uint8_t sub, uint32_t code);

} // namespace korvalsim
