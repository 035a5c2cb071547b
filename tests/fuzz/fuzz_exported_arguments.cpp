// The exported functions that take pointers and sizes, called with fuzzed mixes of null pointers,
// heap blocks of exactly the fuzzed length (so that AddressSanitizer reports any access past
// them) and sizes up to that length, while the channel is open to a simulated gateway that keeps
// frames coming. Nothing may crash, touch memory outside a block, or stop: inputs for which the
// library stops by design (unsupported items, codes and sizes, refused frames; on Linux the call
// fails with a message on stderr) are skipped, and a stop reached anyway fails a check.
#include "canlib.h"
#include "ui/connect_dialog.h"

#include "gateway_simulator.h"
#include "support/test_address.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

#define CALL(expression) (++counts.calls, (expression))

void check(bool condition, const char *what) {
    if (condition)
        return;
    std::fprintf(stderr, "check failed: %s\n", what);
    __builtin_trap();
}

const uint8_t NODE = 5;
const uint8_t SECOND_NODE = 6;
char fullChannelName[64];

// Shown at the end, as evidence that the reads met frames and the skips left calls to make.
struct Counts {
    unsigned long calls = 0, skipped = 0, framesRead = 0;
} counts;

// Node polls list two nodes; an SDO request comes back unchanged as the node's answer.
std::vector<korvalsim::Action> echoAndListTwoNodes(const std::vector<uint8_t> &request) {
    using korvalsim::Action;
    if (request.size() > 8 && request[8] == 1)
        return {{Action::Kind::Write,
                 {request[0], request[1], 0, 0, 0, 5, 0xFF, 100, 1, NODE, SECOND_NODE},
                 0}};
    return {{Action::Kind::Write, request, 0}};
}

// A heap block of exactly the given length, filled with one byte value.
class Block {
  public:
    Block(std::size_t length, uint8_t fill) : bytes(new uint8_t[length]), size(length) {
        std::memset(bytes.get(), fill, length);
    }
    uint8_t *data() const { return bytes.get(); }
    std::size_t length() const { return size; }

  private:
    std::unique_ptr<uint8_t[]> bytes;
    std::size_t size;
};

// No block (a null pointer), or a block of a fuzzed length up to maxLength.
std::unique_ptr<Block> maybeBlock(FuzzedDataProvider &in, std::size_t maxLength) {
    if (in.ConsumeBool())
        return nullptr;
    const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, maxLength);
    return std::make_unique<Block>(length, in.ConsumeIntegral<uint8_t>());
}

uint8_t *dataOf(const std::unique_ptr<Block> &block) {
    return block ? block->data() : nullptr;
}

// The size passed with a block: never more than its length; with no block, any size.
uint32_t sizeFor(FuzzedDataProvider &in, const std::unique_ptr<Block> &block) {
    if (block)
        return in.ConsumeIntegralInRange<uint32_t>(0, static_cast<uint32_t>(block->length()));
    return in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint32_t>();
}

// A single value on the heap behind an out-pointer, or none.
template <class T> std::unique_ptr<T> maybeValue(FuzzedDataProvider &in) {
    if (in.ConsumeBool())
        return nullptr;
    return std::make_unique<T>(in.ConsumeIntegral<T>());
}

template <class T> T *pointerOf(const std::unique_ptr<T> &value) {
    return value.get();
}

// Mostly the open channel 0, sometimes any handle.
int32_t handleFrom(FuzzedDataProvider &in) {
    return in.ConsumeBool() ? 0 : in.ConsumeIntegral<int32_t>();
}

void skip() {
    ++counts.skipped;
}

bool isFourOrEight(uint32_t size) {
    return size == 4 || size == 8;
}

// The value a sized answer carries: four bytes, or eight holding the sign-extended four.
bool sizedValueIs(const uint8_t *buf, uint32_t size, int32_t expected) {
    if (size == 4) {
        int32_t value;
        std::memcpy(&value, buf, 4);
        return value == expected;
    }
    int64_t value;
    std::memcpy(&value, buf, 8);
    return value == expected;
}

void errorText(FuzzedDataProvider &in) {
    const canStatus code = in.ConsumeIntegral<int32_t>();
    auto block = maybeBlock(in, 96);
    const uint32_t size = sizeFor(in, block);
    const canStatus status =
        CALL(canGetErrorText(code, reinterpret_cast<char *>(dataOf(block)), size));
    if (!block || size == 0) {
        check(status == canERR_PARAM, "canGetErrorText without room answers canERR_PARAM");
        return;
    }
    check(status == canOK, "canGetErrorText with room answers canOK");
    check(std::memchr(block->data(), 0, size) != nullptr, "the error text ends within bufSize");
}

void channelData(FuzzedDataProvider &in) {
    static const int32_t ITEMS[] = {canCHANNELDATA_CHANNEL_FLAGS, canCHANNELDATA_CARD_TYPE,
                                    canCHANNELDATA_CHAN_NO_ON_CARD, canCHANNELDATA_CARD_SERIAL_NO,
                                    canCHANNELDATA_CHANNEL_NAME};
    const int32_t item = in.PickValueInArray(ITEMS);
    const int32_t channel = in.ConsumeIntegral<int32_t>();
    auto block = maybeBlock(in, 40);
    const uint32_t size = sizeFor(in, block);
    const bool hasRoom = block && size > 0;
    if (hasRoom && item != canCHANNELDATA_CHANNEL_NAME && !isFourOrEight(size))
        return skip(); // an unsupported size stops
    const canStatus status = CALL(canGetChannelData(channel, item, dataOf(block), size));
    if (!hasRoom) {
        check(status == canERR_PARAM, "canGetChannelData without room answers canERR_PARAM");
        return;
    }
    check(status == canOK, "canGetChannelData answers canOK");
    const auto *buf = block->data();
    switch (item) {
    case canCHANNELDATA_CHANNEL_NAME: {
        const std::size_t length = std::strlen(fullChannelName);
        const std::size_t expected = length < size - 1 ? length : size - 1;
        check(buf[expected] == 0 && std::memcmp(buf, fullChannelName, expected) == 0,
              "the channel name is cut to bufSize - 1 and terminated");
        break;
    }
    case canCHANNELDATA_CARD_TYPE:
        check(sizedValueIs(buf, size, canHWTYPE_VIRTUAL), "card type");
        break;
    case canCHANNELDATA_CHAN_NO_ON_CARD:
        check(sizedValueIs(buf, size, static_cast<int32_t>(static_cast<uint32_t>(channel) + 1u)),
              "channel number on card");
        break;
    default:
        check(sizedValueIs(buf, size, 0), "channel flags and serial number");
        break;
    }
}

void ioControl(FuzzedDataProvider &in) {
    static const uint32_t CODES[] = {
        canIOCTL_CLEAR_ERROR_COUNTERS, canIOCTL_SET_TIMER_SCALE, canIOCTL_GET_RX_BUFFER_LEVEL,
        canIOCTL_GET_TX_BUFFER_LEVEL,  canIOCTL_FLUSH_RX_BUFFER, canIOCTL_FLUSH_TX_BUFFER,
        canIOCTL_GET_TIMER_SCALE,      canIOCTL_GET_EVENTHANDLE, canIOCTL_SET_LOCAL_TXECHO};
    const uint32_t code = in.PickValueInArray(CODES);
    const int32_t handle = handleFrom(in);
    auto block = maybeBlock(in, 16);
    const uint32_t size = sizeFor(in, block);
    const bool sized = code == canIOCTL_GET_RX_BUFFER_LEVEL ||
                       code == canIOCTL_GET_TX_BUFFER_LEVEL || code == canIOCTL_GET_TIMER_SCALE ||
                       code == canIOCTL_GET_EVENTHANDLE || code == canIOCTL_SET_LOCAL_TXECHO;
    if (sized && !isFourOrEight(size))
        return skip(); // an unsupported size stops
    const canStatus status = CALL(canIoCtl(handle, code, dataOf(block), size));
    const bool needsChannel = code == canIOCTL_GET_RX_BUFFER_LEVEL ||
                              code == canIOCTL_FLUSH_RX_BUFFER || code == canIOCTL_FLUSH_TX_BUFFER;
    if (needsChannel && handle != 0) {
        check(status == canERR_PARAM, "canIoCtl on no channel answers canERR_PARAM");
        return;
    }
    const bool answers = sized && code != canIOCTL_SET_LOCAL_TXECHO;
    if (answers && !block) {
        check(status == canERR_PARAM, "canIoCtl without a buffer answers canERR_PARAM");
        return;
    }
    check(status == canOK, "canIoCtl answers canOK");
    if (code == canIOCTL_GET_TIMER_SCALE)
        check(sizedValueIs(block->data(), size, 1000), "timer scale");
    else if (code == canIOCTL_GET_TX_BUFFER_LEVEL)
        check(sizedValueIs(block->data(), size, 0), "transmit level");
    else if (code == canIOCTL_GET_EVENTHANDLE)
        check(sizedValueIs(block->data(), size, -1), "event handle");
}

void readFrame(FuzzedDataProvider &in) {
    const int32_t handle = handleFrom(in);
    const bool wait = in.ConsumeBool();
    auto id = maybeValue<int32_t>(in);
    auto dlc = maybeValue<uint32_t>(in);
    auto flag = maybeValue<uint32_t>(in);
    auto time = maybeValue<uint32_t>(in);
    // The host's frame buffer holds the 8 bytes of a classic CAN frame.
    std::unique_ptr<Block> msg;
    if (in.ConsumeBool())
        msg = std::make_unique<Block>(8, 0xA5);
    const int32_t idBefore = id ? *id : 0;
    const uint32_t dlcBefore = dlc ? *dlc : 0;
    const canStatus status =
        wait ? CALL(canReadWait(handle, pointerOf(id), dataOf(msg), pointerOf(dlc), pointerOf(flag),
                                pointerOf(time), 0))
             : CALL(canRead(handle, pointerOf(id), dataOf(msg), pointerOf(dlc), pointerOf(flag),
                            pointerOf(time)));
    if (handle != 0) {
        check(status == canERR_PARAM, "reading no channel answers canERR_PARAM");
        return;
    }
    if (status == canERR_NOMSG) {
        check((!id || *id == idBefore) && (!dlc || *dlc == dlcBefore),
              "an empty read leaves the out-values alone");
        return;
    }
    check(status == canOK, "reading answers canOK or canERR_NOMSG");
    ++counts.framesRead;
    if (id)
        check((*id > 0x580 && *id <= 0x580 + 127) || (*id > 0x700 && *id <= 0x700 + 127),
              "a received frame is an SDO answer or a heartbeat");
    if (dlc)
        check(*dlc == 1 || *dlc == 8, "a received frame has 1 or 8 bytes");
    if (flag)
        check(*flag == canMSG_STD, "a received frame is a standard frame");
}

void readStatus(FuzzedDataProvider &in) {
    const int32_t handle = handleFrom(in);
    auto flags = maybeValue<uint32_t>(in);
    const canStatus status = CALL(canReadStatus(handle, pointerOf(flags)));
    if (!flags || handle != 0) {
        check(status == canERR_PARAM, "canReadStatus without flags or channel");
        return;
    }
    check(status == canOK && (*flags == 0 || *flags == canSTAT_RX_PENDING), "canReadStatus");
}

void busParams(FuzzedDataProvider &in) {
    const bool translate = in.ConsumeBool();
    const int32_t handle = handleFrom(in);
    auto bitRate = maybeValue<int32_t>(in);
    auto tSeg1 = maybeValue<uint32_t>(in);
    auto tSeg2 = maybeValue<uint32_t>(in);
    auto sjw = maybeValue<uint32_t>(in);
    auto noSamp = maybeValue<uint32_t>(in);
    auto syncMode = maybeValue<uint32_t>(in);
    const canStatus status =
        translate
            ? CALL(canTranslateBaud(pointerOf(bitRate), pointerOf(tSeg1), pointerOf(tSeg2),
                                    pointerOf(sjw), pointerOf(noSamp), pointerOf(syncMode)))
            : CALL(canGetBusParams(handle, pointerOf(bitRate), pointerOf(tSeg1), pointerOf(tSeg2),
                                   pointerOf(sjw), pointerOf(noSamp), pointerOf(syncMode)));
    // A null pointer is skipped; every other value gets the fixed configuration.
    check(status == canOK && (!bitRate || *bitRate == 250000) && (!tSeg1 || *tSeg1 == 4) &&
              (!tSeg2 || *tSeg2 == 3) && (!sjw || *sjw == 2) && (!noSamp || *noSamp == 1) &&
              (!syncMode || *syncMode == 0),
          "the fixed bus parameters");
}

void busStatistics(FuzzedDataProvider &in) {
    const int32_t handle = handleFrom(in);
    auto block = maybeBlock(in, 64);
    const uint32_t size = sizeFor(in, block);
    const canStatus status = CALL(canGetBusStatistics(handle, dataOf(block), size));
    if (size == 0) {
        check(status == canOK, "canGetBusStatistics of size 0");
        return;
    }
    if (!block) {
        check(status == canERR_PARAM, "canGetBusStatistics without a buffer");
        return;
    }
    check(status == canOK, "canGetBusStatistics");
    for (uint32_t i = 0; i < size; ++i)
        check(block->data()[i] == 0, "the statistics read as zero");
}

void countersAndMode(FuzzedDataProvider &in) {
    const int32_t handle = handleFrom(in);
    if (in.ConsumeBool()) {
        auto tx = maybeValue<uint32_t>(in);
        auto rx = maybeValue<uint32_t>(in);
        auto overrun = maybeValue<uint32_t>(in);
        check(CALL(canReadErrorCounters(handle, pointerOf(tx), pointerOf(rx),
                                        pointerOf(overrun))) == canOK,
              "canReadErrorCounters");
        check((!tx || *tx == 0) && (!rx || *rx == 0) && (!overrun || *overrun == 0),
              "the error counters read as zero");
    } else {
        auto lineMode = maybeValue<int32_t>(in);
        auto resNet = maybeValue<int32_t>(in);
        check(CALL(canGetDriverMode(handle, pointerOf(lineMode), pointerOf(resNet))) == canOK,
              "canGetDriverMode");
        check((!lineMode || *lineMode == 0) && (!resNet || *resNet == 0),
              "the driver mode reads as zero");
    }
}

// Accepted frames only: a refused one stops.
void writeFrame(FuzzedDataProvider &in) {
    const int32_t handle = handleFrom(in);
    const int32_t id = 0x601 + in.ConsumeIntegralInRange<int32_t>(0, 0x7E);
    Block msg(8, 0);
    for (std::size_t i = 0; i < 8; ++i)
        msg.data()[i] = in.ConsumeIntegral<uint8_t>();
    const canStatus status = in.ConsumeBool()
                                 ? CALL(canWrite(handle, id, msg.data(), 8, canMSG_STD))
                                 : CALL(canWriteWait(handle, id, msg.data(), 8, canMSG_STD,
                                                     in.ConsumeIntegral<uint32_t>()));
    check(status == (handle == 0 ? canOK : canERR_PARAM), "canWrite of an accepted frame");
}

void queuesAndChannels(FuzzedDataProvider &in) {
    const int32_t handle = handleFrom(in);
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
        check(CALL(canFlushReceiveQueue(handle)) == (handle == 0 ? canOK : canERR_PARAM),
              "canFlushReceiveQueue");
        break;
    case 1:
        check(CALL(canFlushTransmitQueue(handle)) == (handle == 0 ? canOK : canERR_PARAM),
              "canFlushTransmitQueue");
        break;
    default: {
        auto count = maybeValue<int32_t>(in);
        const canStatus status = CALL(canGetNumberOfChannels(pointerOf(count)));
        check(count ? status == canOK && *count == 1 : status == canERR_PARAM,
              "canGetNumberOfChannels");
        break;
    }
    }
}

void closeChannel() {
    canClose(0);
    canFlushReceiveQueue(0);
    canFlushTransmitQueue(0);
    std::printf("exported arguments: %lu calls, %lu frames read, %lu calls skipped as stops\n",
                counts.calls, counts.framesRead, counts.skipped);
    std::fflush(stdout);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Lives as long as the process: the channel's worker talks to it until the very end.
    static auto *gateway = new korvalsim::GatewaySimulator(testsupport::uniqueLoopbackAddress());
    gateway->setResponder(echoAndListTwoNodes);
    std::string error;
    if (!gateway->start(&error)) {
        std::fprintf(stderr, "simulated gateway did not start: %s\n", error.c_str());
        std::abort();
    }
    const std::string address = gateway->address();
    Korval::ConnectDialog::posixUser = [address](Korval::ConnectDialog &dialog) {
        dialog.setHostNameText(address);
        return Korval::ConnectDialog::DIALOG_RESULT_OK;
    };
    canInitializeLibrary();
    if (canOpenChannel(0, 0) != 0 || !gateway->waitForConnections(1, 10000)) {
        std::fprintf(stderr, "the channel did not connect to %s\n", address.c_str());
        std::abort();
    }
    std::atexit(closeChannel);
    canGetChannelData(0, canCHANNELDATA_CHANNEL_NAME, fullChannelName, sizeof fullChannelName);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    // Answers to earlier inputs stay for later reads to find; only a backlog is dropped, so
    // that a long run's memory stays bounded.
    int32_t backlog = 0;
    if (canIoCtl(0, canIOCTL_GET_RX_BUFFER_LEVEL, &backlog, sizeof backlog) == canOK &&
        backlog > 256)
        canFlushReceiveQueue(0);
    for (int calls = 0; calls < 32 && in.remaining_bytes() > 0; ++calls) {
        switch (in.ConsumeIntegralInRange<int>(0, 10)) {
        case 0:
            errorText(in);
            break;
        case 1:
            channelData(in);
            break;
        case 2:
            ioControl(in);
            break;
        case 3:
            readFrame(in);
            break;
        case 4:
            readStatus(in);
            break;
        case 5:
            busParams(in);
            break;
        case 6:
            busStatistics(in);
            break;
        case 7:
            countersAndMode(in);
            break;
        case 8:
            writeFrame(in);
            break;
        case 9:
            queuesAndChannels(in);
            break;
        default:
            // A pause for the gateway's answers, so that reads find frames.
            usleep(in.ConsumeIntegralInRange<unsigned>(0, 2000));
            break;
        }
    }
    return 0;
}
