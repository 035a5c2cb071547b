// Opening and closing the one channel, notification, and what the channel is.
#include "api/call_support.h"
#include "api/stop_policy.h"
#include "canlib.h"
#include "channel/korval_can_interface.h"
#include "os/os.h"

#include <algorithm>
#include <cstring>
#include <string>

using namespace Korval;

namespace {

const char CHANNEL_NAME[] = "- Brenvox KORVAL";

} // namespace

extern "C" {

canHandle CANLIBAPI canOpenChannel(int32_t channel, int32_t /*flags*/) {
    return guarded("canOpenChannel", [&]() -> canHandle {
        os::writeTrace("canOpenChannel", "channel=" + std::to_string(channel));
        KorvalCanInterface *connection = KorvalCanInterface::Connection(channel);
        if (connection == nullptr)
            return canERR_PARAM;
        if (connection->IsOpen() == 0) {
            if (!KorvalCanInterface::showConnectDialog())
                return canERR_NOTFOUND;
            connection->clearStopReason();
            connection->onFatalError.subscribe(
                [connection](KorvalConnection &sender, const std::string &message) {
                    connection->errorNotify(sender, message);
                });
            if (!connection->openConnection(connection->HostName(), connection->NodeId()))
                return stopForFailure("canOpenChannel",
                                      "the connection to the gateway cannot be started",
                                      canERR_INTERNAL);
        }
        return channel;
    });
}

canStatus CANLIBAPI canClose(canHandle canHdl) {
    return guarded("canClose", [&]() -> canStatus {
        os::writeTrace("canClose", "canHdl=" + std::to_string(canHdl));
        KorvalCanInterface *connection = KorvalCanInterface::Connection(canHdl);
        if (connection == nullptr)
            return canERR_PARAM;
        connection->closeConnection();
        connection->clearStopReason();
        KorvalCanInterface::needBaudrate = false;
        return canOK;
    });
}

canStatus CANLIBAPI canSetNotify(canHandle canHdl, void *aHWnd, uint32_t aNotifyFlags) {
    return guarded("canSetNotify", [&]() -> canStatus {
        os::writeTrace("canSetNotify", "aNotifyFlags=" + hex8(aNotifyFlags));
        if ((aNotifyFlags & canNOTIFY_RX) != 0) {
            KorvalCanInterface *connection = KorvalCanInterface::Connection(canHdl);
            if (connection == nullptr)
                return canERR_PARAM;
            connection->WindowHandle(aHWnd);
            connection->onReceiveEvent.subscribe(
                [connection](KorvalConnection &sender) { connection->rxNotify(sender); });
        }
        return canOK;
    });
}

canStatus CANLIBAPI canGetNumberOfChannels(int32_t *countPtr) {
    return guarded("canGetNumberOfChannels", [&]() -> canStatus {
        os::writeTrace("canGetNumberOfChannels");
        if (countPtr == nullptr)
            return canERR_PARAM;
        *countPtr = KorvalCanInterface::NoOfChannels();
        return canOK;
    });
}

canStatus CANLIBAPI canGetChannelData(int32_t channel, int32_t item, void *buf, uint32_t bufSize) {
    return guarded("canGetChannelData", [&]() -> canStatus {
        os::writeTrace("canGetChannelData", "item=" + std::to_string(item));
        if (bufSize == 0 || buf == nullptr)
            return canERR_PARAM;

        int32_t value = 0;
        switch (item) {
        case canCHANNELDATA_CHANNEL_FLAGS:
            KorvalCanInterface::Initialize();
            KorvalCanInterface::needBaudrate = true;
            value = 0;
            break;
        case canCHANNELDATA_CARD_TYPE:
            value = canHWTYPE_VIRTUAL;
            break;
        case canCHANNELDATA_CHAN_NO_ON_CARD:
            value = static_cast<int32_t>(static_cast<uint32_t>(channel) + 1u);
            break;
        case canCHANNELDATA_CARD_SERIAL_NO:
            value = 0;
            break;
        case canCHANNELDATA_CHANNEL_NAME: {
            const std::size_t length = std::min<std::size_t>(bufSize - 1, sizeof CHANNEL_NAME - 1);
            std::memcpy(buf, CHANNEL_NAME, length);
            static_cast<char *>(buf)[length] = '\0';
            return canOK;
        }
        default:
            return invalidParameter("Unsupported canGetChannelData item " + std::to_string(item) +
                                    " requested");
        }
        if (!storeSizedValue(buf, bufSize, value))
            return invalidParameter("Unsupported canGetChannelData size " +
                                    std::to_string(static_cast<int32_t>(bufSize)) + " requested");
        return canOK;
    });
}

} // extern "C"
