// The host's path for CAN frames: SDO requests out, SDO responses and heartbeats in.
#include "api/call_support.h"
#include "api/stop_policy.h"
#include "canlib.h"
#include "channel/korval_can_interface.h"
#include "os/os.h"

#include <cstring>
#include <string>
#include <vector>

using namespace Korval;

namespace {

const uint32_t SDO_REQUEST_FIRST = 0x601;
const uint32_t SDO_REQUEST_SPAN = 0x7E; // 0x601 to 0x67F: node ids 1 to 127
const uint32_t SDO_FRAME_LENGTH = 8;

// The caller's buffer need only hold dlc bytes; the text shows 00 for the rest.
std::string refusedFrameText(int32_t id, const uint8_t *msg, uint32_t dlc, uint32_t flag) {
    std::string text = "dlc=" + std::to_string(dlc) + " id=" + std::to_string(id) +
                       " flag=" + std::to_string(flag) + " data=";
    for (uint32_t i = 0; i < SDO_FRAME_LENGTH; ++i) {
        text += hex2(i < dlc ? msg[i] : 0);
        if (i + 1 < SDO_FRAME_LENGTH)
            text += ' ';
    }
    return text;
}

// A link that the gateway's firmware closed carries no frame until the channel is opened anew:
// the call fails with the reason as its trace line.
bool linkStopped(const char *functionName, const KorvalCanInterface &connection) {
    const std::string reason = connection.StopReason();
    if (reason.empty())
        return false;
    os::writeTrace(functionName, reason);
    return true;
}

} // namespace

extern "C" {

canStatus CANLIBAPI canWrite(canHandle canHdl, int32_t id, const void *msg, uint32_t dlc,
                             uint32_t flag) {
    return guarded("canWrite", [&]() -> canStatus {
        if (msg == nullptr) {
            os::writeTrace("canWrite", "msg=0");
            return invalidParameter("An invalid parameter was passed to canWrite:\nmsg=0");
        }
        const auto *bytes = static_cast<const uint8_t *>(msg);
        const bool accepted = dlc == SDO_FRAME_LENGTH &&
                              static_cast<uint32_t>(id) - SDO_REQUEST_FIRST <= SDO_REQUEST_SPAN &&
                              flag == canMSG_STD;
        if (!accepted) {
            const std::string text = refusedFrameText(id, bytes, dlc, flag);
            os::writeTrace("canWrite", text);
            return invalidParameter("An invalid parameter was passed to canWrite:\n" + text);
        }
        KorvalCanInterface *connection = KorvalCanInterface::Connection(canHdl);
        if (connection == nullptr)
            return canERR_PARAM;
        if (linkStopped("canWrite", *connection))
            return canERR_HARDWARE;
        connection->sendCanMsg(static_cast<uint32_t>(id),
                               std::vector<uint8_t>(bytes, bytes + SDO_FRAME_LENGTH));
        return canOK;
    });
}

canStatus CANLIBAPI canWriteWait(canHandle canHdl, int32_t id, const void *msg, uint32_t dlc,
                                 uint32_t flag, uint32_t /*timeOut*/) {
    return guarded("canWriteWait",
                   [&]() -> canStatus { return canWrite(canHdl, id, msg, dlc, flag); });
}

canStatus CANLIBAPI canWriteSync(canHandle /*canHdl*/, uint32_t /*timeout*/) {
    return guarded("canWriteSync", [&]() -> canStatus { return canOK; });
}

canStatus CANLIBAPI canReadWait(canHandle canHdl, int32_t *id, void *msg, uint32_t *dlc,
                                uint32_t *flag, uint32_t *time, uint32_t timeOut) {
    return guarded("canReadWait", [&]() -> canStatus {
        KorvalCanInterface *connection = KorvalCanInterface::Connection(canHdl);
        if (connection == nullptr) {
            os::sleepMilliseconds(1); // a host polling with a bad handle must not spin either
            return canERR_PARAM;
        }
        if (linkStopped("canReadWait", *connection)) {
            os::sleepMilliseconds(1); // nor one polling a closed link
            return canERR_HARDWARE;
        }
        uint32_t frameId = 0;
        std::vector<uint8_t> data;
        if (!connection->readCanMsg(frameId, data, timeOut)) {
            if (timeOut == 0)
                os::sleepMilliseconds(1); // a host polling an empty queue gives up the processor
            return canERR_NOMSG;
        }
        if (id != nullptr)
            *id = static_cast<int32_t>(frameId);
        if (dlc != nullptr)
            *dlc = static_cast<uint32_t>(data.size());
        if (flag != nullptr)
            *flag = canMSG_STD;
        if (time != nullptr)
            *time = os::tickCount();
        if (msg != nullptr && !data.empty())
            std::memcpy(msg, data.data(), data.size());
        return canOK;
    });
}

canStatus CANLIBAPI canRead(canHandle canHdl, int32_t *id, void *msg, uint32_t *dlc, uint32_t *flag,
                            uint32_t *time) {
    return guarded("canRead",
                   [&]() -> canStatus { return canReadWait(canHdl, id, msg, dlc, flag, time, 0); });
}

canStatus CANLIBAPI canReadStatus(canHandle canHdl, uint32_t *flags) {
    return guarded("canReadStatus", [&]() -> canStatus {
        KorvalCanInterface *connection = KorvalCanInterface::Connection(canHdl);
        if (flags == nullptr || connection == nullptr)
            return canERR_PARAM;
        *flags = connection->GetMsgCnt() > 0 ? canSTAT_RX_PENDING : 0;
        return canOK;
    });
}

uint32_t CANLIBAPI canReadTimer(canHandle /*canHdl*/) {
    return guarded("canReadTimer", [&]() -> uint32_t {
        os::writeTrace("canReadTimer");
        return os::tickCount();
    });
}

canStatus CANLIBAPI canFlushReceiveQueue(canHandle canHdl) {
    return guarded("canFlushReceiveQueue", [&]() -> canStatus {
        os::writeTrace("canFlushReceiveQueue");
        KorvalCanInterface *connection = KorvalCanInterface::Connection(canHdl);
        if (connection == nullptr)
            return canERR_PARAM;
        connection->clearReceiveBuffer();
        return canOK;
    });
}

canStatus CANLIBAPI canFlushTransmitQueue(canHandle canHdl) {
    return guarded("canFlushTransmitQueue", [&]() -> canStatus {
        os::writeTrace("canFlushTransmitQueue");
        KorvalCanInterface *connection = KorvalCanInterface::Connection(canHdl);
        if (connection == nullptr)
            return canERR_PARAM;
        connection->clearSendBuffer();
        return canOK;
    });
}

} // extern "C"
