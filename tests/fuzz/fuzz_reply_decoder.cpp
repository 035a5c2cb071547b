// Any receive of 0 to 136 bytes decodes into exactly one outcome without leaving the buffer.
#include "gateway/modbus_frame.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > Korval::KorvalConnection::MODBUS_MAX_MSG_LEN)
        return -1;
    Korval::ReplyBuffer buffer{};
    if (size > 0)
        std::memcpy(buffer.data(), data, size);
    Korval::DecodedReply reply = Korval::decodeReply(buffer, size);
    switch (reply.kind) {
    case Korval::DecodedReply::Kind::SdoReply:
        if (size != 17)
            __builtin_trap();
        break;
    case Korval::DecodedReply::Kind::NodeList:
        if (reply.nodeIds.size() + 9 != size || reply.nodeIds.empty())
            __builtin_trap();
        break;
    case Korval::DecodedReply::Kind::Invalid:
        if (reply.invalidDetail.rfind("Invalid frame or exception response!\ncnt=", 0) != 0)
            __builtin_trap();
        break;
    }
    return 0;
}
