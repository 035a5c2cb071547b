// CANopen SDO client for uploads (reads) from a node's object dictionary. It knows nothing of
// the CAN driver: frames go out and come in through two callbacks, so the same code runs in the
// Win32 host and in native unit tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace canopenscan {

using FrameData = std::array<uint8_t, 8>;

struct CanFrame {
    uint32_t id = 0;
    uint8_t length = 0;
    FrameData data{};
};

enum class ReadStatus { Frame, TimedOut, Failed };

// The link to the bus. read waits up to timeoutMs for the next received frame; on Failed (and
// on a false write) it puts the reason into error. nowMs is a monotonic clock in milliseconds.
struct CanPort {
    std::function<bool(uint32_t id, const FrameData &data, std::string &error)> write;
    std::function<ReadStatus(CanFrame &frame, uint32_t timeoutMs, std::string &error)> read;
    std::function<uint64_t()> nowMs;
};

// The steady clock, for ports that have no clock of their own.
uint64_t steadyMilliseconds();

struct SdoResult {
    enum class Outcome {
        Done,          // data holds the value
        ServerAbort,   // the node aborted; abortCode is its reason
        ProtocolError, // the answer broke the protocol; abortCode is what we sent (0: nothing)
        TimedOut,      // no answer within the time-out
        LinkFailed     // the driver refused to send or receive
    };
    Outcome outcome = Outcome::Done;
    std::vector<uint8_t> data;
    uint32_t abortCode = 0;
    std::string detail;
    bool answered = false; // at least one answer of the node arrived

    bool ok() const { return outcome == Outcome::Done; }
    // What went wrong, in words; empty when ok().
    std::string describe() const;
};

// Words for the common abort codes; "abort code 0x%08X" for the others.
std::string abortCodeText(uint32_t code);

class SdoClient {
  public:
    static constexpr uint32_t REQUEST_BASE = 0x600;
    static constexpr uint32_t RESPONSE_BASE = 0x580;

    SdoClient(CanPort port, uint32_t timeoutMs);

    // Reads object index:sub of node (1..127), expedited or segmented; values longer than
    // maxLength are refused rather than read without end.
    SdoResult upload(uint8_t node, uint16_t index, uint8_t sub, size_t maxLength);

  private:
    // Sends request and waits for the node's answer that belongs to the transfer of mux (the
    // initiate request). False with result filled in when none came.
    bool exchange(uint8_t node, const FrameData &request, const FrameData &mux, FrameData &response,
                  SdoResult &result);
    SdoResult segmentedUpload(uint8_t node, const FrameData &request,
                              const FrameData &initiateResponse, size_t maxLength,
                              SdoResult result);
    // Ends the transfer on our side and tells the node, so that it does not wait for more.
    void sendAbort(uint8_t node, const FrameData &mux, uint32_t code);

    CanPort port_;
    uint32_t timeoutMs_;
};

} // namespace canopenscan
