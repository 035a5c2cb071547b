#include "sdo_client.h"

#include <chrono>
#include <cstdio>
#include <utility>

namespace canopenscan {

namespace {

// Command bytes and fields of the SDO protocol, client and server side.
constexpr uint8_t INITIATE_UPLOAD_REQUEST = 0x40;
constexpr uint8_t UPLOAD_SEGMENT_REQUEST = 0x60;
constexpr uint8_t ABORT = 0x80;
constexpr uint8_t SCS_UPLOAD_SEGMENT = 0;
constexpr uint8_t SCS_INITIATE_UPLOAD = 2;
constexpr uint8_t SCS_ABORT = 4;
constexpr uint8_t EXPEDITED = 0x02;
constexpr uint8_t SIZE_INDICATED = 0x01;
constexpr uint8_t TOGGLE = 0x10;
constexpr uint8_t LAST_SEGMENT = 0x01;

constexpr uint32_t ABORT_TOGGLE = 0x05030000;
constexpr uint32_t ABORT_COMMAND = 0x05040001;
constexpr uint32_t ABORT_OUT_OF_MEMORY = 0x05040005;

uint8_t serverCommand(const FrameData &frame) {
    return frame[0] >> 5;
}

uint32_t le32(const FrameData &frame, size_t at) {
    return static_cast<uint32_t>(frame[at]) | static_cast<uint32_t>(frame[at + 1]) << 8 |
           static_cast<uint32_t>(frame[at + 2]) << 16 | static_cast<uint32_t>(frame[at + 3]) << 24;
}

bool sameMux(const FrameData &a, const FrameData &b) {
    return a[1] == b[1] && a[2] == b[2] && a[3] == b[3];
}

// An initiate answer or abort for another object is a late answer to an earlier request that
// timed out; it must not be taken for the answer to this one. Some servers abort a segment
// request with an empty multiplexer, so that counts as ours.
bool belongsTo(const FrameData &response, const FrameData &mux) {
    const uint8_t scs = serverCommand(response);
    if (scs == SCS_INITIATE_UPLOAD)
        return sameMux(response, mux);
    if (scs == SCS_ABORT)
        return sameMux(response, mux) || (response[1] == 0 && response[2] == 0 && response[3] == 0);
    return true;
}

std::string hexByte(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value));
    return text;
}

// Marks result as failed in place, so that the message may still read it.
SdoResult &failure(SdoResult &result, SdoResult::Outcome outcome, std::string detail,
                   uint32_t code = 0) {
    result.outcome = outcome;
    result.detail = std::move(detail);
    result.abortCode = code;
    result.data.clear();
    return result;
}

std::string tooLong(size_t length, size_t maxLength) {
    return "value longer than " + std::to_string(maxLength) + " bytes (" + std::to_string(length) +
           " or more)";
}

} // namespace

uint64_t steadyMilliseconds() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

std::string abortCodeText(uint32_t code) {
    switch (code) {
    case 0x05030000:
        return "toggle bit not alternated";
    case 0x05040000:
        return "SDO protocol timed out";
    case 0x05040001:
        return "command specifier not valid";
    case 0x05040005:
        return "out of memory";
    case 0x06010000:
        return "unsupported access to an object";
    case 0x06010001:
        return "attempt to read a write-only object";
    case 0x06010002:
        return "attempt to write a read-only object";
    case 0x06020000:
        return "object does not exist";
    case 0x06070010:
        return "data type or length does not match";
    case 0x06090011:
        return "sub-index does not exist";
    case 0x08000000:
        return "general error";
    case 0x08000024:
        return "no data available";
    default: {
        char text[32];
        std::snprintf(text, sizeof text, "abort code 0x%08X", static_cast<unsigned>(code));
        return text;
    }
    }
}

std::string SdoResult::describe() const {
    if (outcome == Outcome::ServerAbort)
        return abortCodeText(abortCode);
    return detail;
}

SdoClient::SdoClient(CanPort port, uint32_t timeoutMs)
    : port_(std::move(port)), timeoutMs_(timeoutMs) {
    if (!port_.nowMs)
        port_.nowMs = steadyMilliseconds;
}

bool SdoClient::exchange(uint8_t node, const FrameData &request, const FrameData &mux,
                         FrameData &response, SdoResult &result) {
    std::string error;
    if (!port_.write(REQUEST_BASE + node, request, error)) {
        failure(result, SdoResult::Outcome::LinkFailed, "sending the SDO request failed: " + error);
        return false;
    }
    // Heartbeats and other traffic keep arriving meanwhile; they do not extend the time-out.
    const uint64_t deadline = port_.nowMs() + timeoutMs_;
    for (;;) {
        const uint64_t now = port_.nowMs();
        if (now >= deadline) {
            failure(result, SdoResult::Outcome::TimedOut,
                    "no SDO answer within " + std::to_string(timeoutMs_) + " ms");
            return false;
        }
        CanFrame frame;
        const ReadStatus status = port_.read(frame, static_cast<uint32_t>(deadline - now), error);
        if (status == ReadStatus::Failed) {
            failure(result, SdoResult::Outcome::LinkFailed, "receiving failed: " + error);
            return false;
        }
        if (status == ReadStatus::TimedOut || frame.id != RESPONSE_BASE + node ||
            frame.length != 8 || !belongsTo(frame.data, mux))
            continue;
        response = frame.data;
        result.answered = true;
        return true;
    }
}

void SdoClient::sendAbort(uint8_t node, const FrameData &mux, uint32_t code) {
    FrameData frame{ABORT, mux[1], mux[2], mux[3]};
    for (size_t i = 0; i < 4; ++i)
        frame[4 + i] = static_cast<uint8_t>(code >> (8 * i));
    std::string ignored; // the transfer is over either way
    port_.write(REQUEST_BASE + node, frame, ignored);
}

SdoResult SdoClient::upload(uint8_t node, uint16_t index, uint8_t sub, size_t maxLength) {
    // The rest of the frame is zero, as the protocol wants the reserved bytes.
    const FrameData request{INITIATE_UPLOAD_REQUEST, static_cast<uint8_t>(index),
                            static_cast<uint8_t>(index >> 8), sub};
    SdoResult result;
    FrameData response{};
    if (!exchange(node, request, request, response, result))
        return result;

    const uint8_t command = response[0];
    if (serverCommand(response) == SCS_ABORT)
        return failure(result, SdoResult::Outcome::ServerAbort, "", le32(response, 4));
    if (serverCommand(response) != SCS_INITIATE_UPLOAD) {
        sendAbort(node, request, ABORT_COMMAND);
        return failure(result, SdoResult::Outcome::ProtocolError,
                       "unexpected answer " + hexByte(command) + " to an upload request",
                       ABORT_COMMAND);
    }
    if ((command & EXPEDITED) == 0)
        return segmentedUpload(node, request, response, maxLength, std::move(result));

    // Expedited: up to 4 bytes in the answer itself; n counts the unused ones.
    const size_t size = (command & SIZE_INDICATED) ? 4 - ((command >> 2) & 3) : 4;
    if (size > maxLength)
        return failure(result, SdoResult::Outcome::ProtocolError, tooLong(size, maxLength));
    result.data.assign(response.begin() + 4, response.begin() + 4 + static_cast<long>(size));
    return result;
}

SdoResult SdoClient::segmentedUpload(uint8_t node, const FrameData &request,
                                     const FrameData &initiateResponse, size_t maxLength,
                                     SdoResult result) {
    const bool sized = (initiateResponse[0] & SIZE_INDICATED) != 0;
    const uint32_t announced = le32(initiateResponse, 4);
    if (sized && announced > maxLength) {
        sendAbort(node, request, ABORT_OUT_OF_MEMORY);
        return failure(result, SdoResult::Outcome::ProtocolError, tooLong(announced, maxLength),
                       ABORT_OUT_OF_MEMORY);
    }
    bool toggle = false;
    // Every segment but the last should carry data; the count bounds a node that sends empty
    // ones without end.
    for (size_t segment = 0; segment <= maxLength; ++segment) {
        const FrameData segmentRequest{
            static_cast<uint8_t>(UPLOAD_SEGMENT_REQUEST | (toggle ? TOGGLE : 0))};
        FrameData response{};
        if (!exchange(node, segmentRequest, request, response, result))
            return result;
        const uint8_t command = response[0];
        if (serverCommand(response) == SCS_ABORT)
            return failure(result, SdoResult::Outcome::ServerAbort, "", le32(response, 4));
        if (serverCommand(response) != SCS_UPLOAD_SEGMENT) {
            sendAbort(node, request, ABORT_COMMAND);
            return failure(result, SdoResult::Outcome::ProtocolError,
                           "unexpected answer " + hexByte(command) + " to a segment request",
                           ABORT_COMMAND);
        }
        if (((command & TOGGLE) != 0) != toggle) {
            sendAbort(node, request, ABORT_TOGGLE);
            return failure(result, SdoResult::Outcome::ProtocolError, abortCodeText(ABORT_TOGGLE),
                           ABORT_TOGGLE);
        }
        const size_t count = 7 - ((command >> 1) & 7);
        const bool last = (command & LAST_SEGMENT) != 0;
        if (result.data.size() + count > maxLength) {
            if (!last)
                sendAbort(node, request, ABORT_OUT_OF_MEMORY);
            return failure(result, SdoResult::Outcome::ProtocolError,
                           tooLong(result.data.size() + count, maxLength),
                           last ? 0 : ABORT_OUT_OF_MEMORY);
        }
        result.data.insert(result.data.end(), response.begin() + 1,
                           response.begin() + 1 + static_cast<long>(count));
        if (last) {
            if (sized && result.data.size() != announced) {
                return failure(result, SdoResult::Outcome::ProtocolError,
                               "node announced " + std::to_string(announced) + " bytes but sent " +
                                   std::to_string(result.data.size()));
            }
            return result;
        }
        toggle = !toggle;
    }
    sendAbort(node, request, ABORT_OUT_OF_MEMORY);
    return failure(result, SdoResult::Outcome::ProtocolError,
                   "more than " + std::to_string(maxLength) + " segments without an end",
                   ABORT_OUT_OF_MEMORY);
}

} // namespace canopenscan
