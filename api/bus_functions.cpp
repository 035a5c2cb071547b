// Bus configuration and I/O control. The gateway has no CAN controller to configure, so
// settings are traced and dropped, queries get one fixed 250 kbit/s configuration, and only
// the queue controls and the bus-on guard act.
#include "api/call_support.h"
#include "api/stop_policy.h"
#include "canlib.h"
#include "channel/korval_can_interface.h"
#include "os/os.h"

#include <cstring>
#include <string>
#include <utility>

using namespace Korval;

namespace {

const int32_t FIXED_BIT_RATE = 250000;
const uint32_t FIXED_TSEG1 = 4;
const uint32_t FIXED_TSEG2 = 3;
const uint32_t FIXED_SJW = 2;
const uint32_t FIXED_NO_SAMP = 1;
const uint32_t FIXED_SYNC_MODE = 0;
const int32_t TIMER_SCALE = 1000; // microseconds per time-stamp unit: the tick count's 1 ms
const int32_t NO_EVENT_HANDLE = -1;

const char *ioCtlName(uint32_t func) {
    switch (func) {
    case canIOCTL_CLEAR_ERROR_COUNTERS:
        return "canIOCTL_CLEAR_ERROR_COUNTERS";
    case canIOCTL_SET_TIMER_SCALE:
        return "canIOCTL_SET_TIMER_SCALE";
    case canIOCTL_GET_RX_BUFFER_LEVEL:
        return "canIOCTL_GET_RX_BUFFER_LEVEL";
    case canIOCTL_GET_TX_BUFFER_LEVEL:
        return "canIOCTL_GET_TX_BUFFER_LEVEL";
    case canIOCTL_FLUSH_RX_BUFFER:
        return "canIOCTL_FLUSH_RX_BUFFER";
    case canIOCTL_FLUSH_TX_BUFFER:
        return "canIOCTL_FLUSH_TX_BUFFER";
    case canIOCTL_GET_TIMER_SCALE:
        return "canIOCTL_GET_TIMER_SCALE";
    case canIOCTL_GET_EVENTHANDLE:
        return "canIOCTL_GET_EVENTHANDLE";
    case canIOCTL_SET_LOCAL_TXECHO:
        return "canIOCTL_SET_LOCAL_TXECHO";
    default:
        return nullptr;
    }
}

int32_t unsupportedIoCtlSize(uint32_t buflen) {
    return invalidParameter("Unsupported canIoCtl size " +
                            std::to_string(static_cast<int32_t>(buflen)) + " requested");
}

std::string busParamsText(int32_t bitRate, uint32_t tSeg1, uint32_t tSeg2, uint32_t sjw,
                          uint32_t noSamp, uint32_t syncMode) {
    return "bitRate=" + std::to_string(bitRate) + " tseg1=" + std::to_string(tSeg1) +
           " tseg2=" + std::to_string(tSeg2) + " sjw=" + std::to_string(sjw) +
           " nos=" + std::to_string(noSamp) + " symd=" + std::to_string(syncMode);
}

// Hosts pass null for values they do not need: those are skipped.
void writeFixedBusParams(int32_t *bitRate, uint32_t *tSeg1, uint32_t *tSeg2, uint32_t *sjw,
                         uint32_t *noSamp, uint32_t *syncMode) {
    if (bitRate != nullptr)
        *bitRate = FIXED_BIT_RATE;
    const std::pair<uint32_t *, uint32_t> fixed[] = {{tSeg1, FIXED_TSEG1},
                                                     {tSeg2, FIXED_TSEG2},
                                                     {sjw, FIXED_SJW},
                                                     {noSamp, FIXED_NO_SAMP},
                                                     {syncMode, FIXED_SYNC_MODE}};
    for (const auto &[target, value] : fixed)
        if (target != nullptr)
            *target = value;
}

template <class T> T valueOrZero(const T *pointer) {
    return pointer != nullptr ? *pointer : T{};
}

} // namespace

extern "C" {

canStatus CANLIBAPI canIoCtl(canHandle canHdl, uint32_t func, void *buf, uint32_t buflen) {
    return guarded("canIoCtl", [&]() -> canStatus {
        const char *name = ioCtlName(func);
        if (name == nullptr) {
            os::writeTrace("canIoCtl", "func=" + std::to_string(func));
            return invalidParameter("Unsupported canIoCtl function " +
                                    std::to_string(static_cast<int32_t>(func)) + " requested");
        }
        os::writeTrace("canIoCtl", name);

        int32_t value = 0;
        switch (func) {
        case canIOCTL_CLEAR_ERROR_COUNTERS:
        case canIOCTL_SET_TIMER_SCALE:
            return canOK;
        case canIOCTL_FLUSH_RX_BUFFER:
        case canIOCTL_FLUSH_TX_BUFFER: {
            KorvalCanInterface *connection = KorvalCanInterface::Connection(canHdl);
            if (connection == nullptr)
                return canERR_PARAM;
            if (func == canIOCTL_FLUSH_RX_BUFFER)
                connection->clearReceiveBuffer();
            else
                connection->clearSendBuffer();
            return canOK;
        }
        case canIOCTL_SET_LOCAL_TXECHO:
            return buflen == 4 || buflen == 8 ? canOK : unsupportedIoCtlSize(buflen);
        case canIOCTL_GET_RX_BUFFER_LEVEL: {
            KorvalCanInterface *connection = KorvalCanInterface::Connection(canHdl);
            if (connection == nullptr)
                return canERR_PARAM;
            value = connection->GetMsgCnt();
            break;
        }
        case canIOCTL_GET_TX_BUFFER_LEVEL:
            value = 0;
            break;
        case canIOCTL_GET_TIMER_SCALE:
            value = TIMER_SCALE;
            break;
        default: // canIOCTL_GET_EVENTHANDLE
            value = NO_EVENT_HANDLE;
            break;
        }
        if (buflen != 4 && buflen != 8)
            return unsupportedIoCtlSize(buflen);
        if (buf == nullptr)
            return canERR_PARAM;
        storeSizedValue(buf, buflen, value);
        return canOK;
    });
}

canStatus CANLIBAPI canSetBusParams(canHandle /*canHdl*/, int32_t bitRate, uint32_t tSeg1,
                                    uint32_t tSeg2, uint32_t sjw, uint32_t noSamp,
                                    uint32_t syncMode) {
    return guarded("canSetBusParams", [&]() -> canStatus {
        os::writeTrace("canSetBusParams",
                       busParamsText(bitRate, tSeg1, tSeg2, sjw, noSamp, syncMode));
        KorvalCanInterface::Initialize();
        KorvalCanInterface::needBaudrate = false;
        return canOK;
    });
}

canStatus CANLIBAPI canTranslateBaud(int32_t *bitRate, uint32_t *tSeg1, uint32_t *tSeg2,
                                     uint32_t *sjw, uint32_t *noSamp, uint32_t *syncMode) {
    return guarded("canTranslateBaud", [&]() -> canStatus {
        os::writeTrace("canTranslateBaud",
                       busParamsText(valueOrZero(bitRate), valueOrZero(tSeg1), valueOrZero(tSeg2),
                                     valueOrZero(sjw), valueOrZero(noSamp), valueOrZero(syncMode)));
        writeFixedBusParams(bitRate, tSeg1, tSeg2, sjw, noSamp, syncMode);
        return canOK;
    });
}

canStatus CANLIBAPI canGetBusParams(canHandle /*canHdl*/, int32_t *bitRate, uint32_t *tSeg1,
                                    uint32_t *tSeg2, uint32_t *sjw, uint32_t *noSamp,
                                    uint32_t *syncMode) {
    return guarded("canGetBusParams", [&]() -> canStatus {
        os::writeTrace("canGetBusParams");
        writeFixedBusParams(bitRate, tSeg1, tSeg2, sjw, noSamp, syncMode);
        return canOK;
    });
}

canStatus CANLIBAPI canSetBitrate(canHandle /*canHdl*/, int32_t bitRate) {
    return guarded("canSetBitrate", [&]() -> canStatus {
        os::writeTrace("canSetBitrate", "bitRate=" + std::to_string(bitRate));
        return canOK;
    });
}

uint32_t CANLIBAPI canSetBusParamsC200(canHandle /*canHdl*/, uint8_t btr0, uint8_t btr1) {
    return guarded("canSetBusParamsC200", [&]() -> uint32_t {
        os::writeTrace("canSetBusParamsC200", "btr0=" + hex2(btr0) + ", btr1=" + hex2(btr1));
        return canOK;
    });
}

canStatus CANLIBAPI canGetBusStatistics(canHandle /*canHdl*/, void *stat, uint32_t bufSize) {
    return guarded("canGetBusStatistics", [&]() -> canStatus {
        os::writeTrace("canGetBusStatistics");
        if (bufSize == 0)
            return canOK;
        if (stat == nullptr)
            return canERR_PARAM;
        std::memset(stat, 0, bufSize);
        return canOK;
    });
}

canStatus CANLIBAPI canRequestBusStatistics(canHandle /*canHdl*/) {
    return guarded("canRequestBusStatistics", [&]() -> canStatus {
        os::writeTrace("canRequestBusStatistics");
        return canOK;
    });
}

canStatus CANLIBAPI canBusOn(canHandle canHdl) {
    return guarded("canBusOn", [&]() -> canStatus {
        os::writeTrace("canBusOn");
        if (KorvalCanInterface::Connection(canHdl) == nullptr)
            return canERR_PARAM;
        if (KorvalCanInterface::needBaudrate) {
            os::showErrorBox("Baud Rate AutoDetection is not supported!\nPlease select a CAN Baud "
                             "Rate before connecting.",
                             KorvalCanInterface::MSG_BOX_TITLE);
            return canERR_HARDWARE;
        }
        return canOK;
    });
}

canStatus CANLIBAPI canBusOff(canHandle /*canHdl*/) {
    return guarded("canBusOff", [&]() -> canStatus {
        os::writeTrace("canBusOff");
        return canOK;
    });
}

canStatus CANLIBAPI canSetBusOutputControl(canHandle /*canHdl*/, uint32_t drivertype) {
    return guarded("canSetBusOutputControl", [&]() -> canStatus {
        os::writeTrace("canSetBusOutputControl", std::to_string(drivertype));
        return canOK;
    });
}

canStatus CANLIBAPI canGetBusOutputControl(canHandle /*canHdl*/, uint32_t *driverType) {
    return guarded("canGetBusOutputControl", [&]() -> canStatus {
        os::writeTrace("canGetBusOutputControl");
        if (driverType == nullptr)
            return canERR_PARAM;
        *driverType = canDRIVER_NORMAL;
        return canOK;
    });
}

canStatus CANLIBAPI canAccept(canHandle /*canHdl*/, int32_t /*envelope*/, uint32_t /*flag*/) {
    return guarded("canAccept", [&]() -> canStatus {
        os::writeTrace("canAccept");
        return canOK;
    });
}

canStatus CANLIBAPI canSetAcceptanceFilter(canHandle /*canHdl*/, uint32_t /*code*/,
                                           uint32_t /*mask*/, int32_t /*isExtended*/) {
    return guarded("canSetAcceptanceFilter", [&]() -> canStatus {
        os::writeTrace("canSetAcceptanceFilter");
        return canOK;
    });
}

canStatus CANLIBAPI canReadErrorCounters(canHandle /*canHdl*/, uint32_t *txErr, uint32_t *rxErr,
                                         uint32_t *ovErr) {
    return guarded("canReadErrorCounters", [&]() -> canStatus {
        os::writeTrace("canReadErrorCounters");
        for (uint32_t *counter : {txErr, rxErr, ovErr})
            if (counter != nullptr)
                *counter = 0;
        return canOK;
    });
}

canStatus CANLIBAPI canRequestChipStatus(canHandle /*canHdl*/) {
    return guarded("canRequestChipStatus", [&]() -> canStatus {
        os::writeTrace("canRequestChipStatus");
        return canOK;
    });
}

canStatus CANLIBAPI canResetBus(canHandle /*canHdl*/) {
    return guarded("canResetBus", [&]() -> canStatus {
        os::writeTrace("canResetBus");
        return canOK;
    });
}

uint32_t CANLIBAPI canGetDriverMode(canHandle /*canHdl*/, int32_t *lineMode, int32_t *resNet) {
    return guarded("canGetDriverMode", [&]() -> uint32_t {
        os::writeTrace("canGetDriverMode");
        if (lineMode != nullptr)
            *lineMode = 0;
        if (resNet != nullptr)
            *resNet = 0;
        return canOK;
    });
}

} // extern "C"
