// How soon a host's window hears of a received frame: the delay from the gateway's reply to
// the WM__CANLIB message in a host window that runs its own thread and message loop.
//
//   notify_latency [--address 127.x.y.z] [--dll PATH] [--frames 3000] [--warmup 200]
//
// Without --address the gateway is an in-process simulator on 127.0.99.2 whose responder
// stamps the clock just before each reply is sent, so both intervals below are measured;
// with --address (an external simulator) only the host-side round trip can be.
#include "bench_support.h"
#include "gateway_simulator.h"
#include "modbus_frame.h"
#include "support/host_window.h"

#include <atomic>
#include <memory>
#include <string>

using namespace bench;

namespace {

const char IN_PROCESS_ADDRESS[] = "127.0.99.2";

// Clock readings written by one thread (the simulator's, or the window's) and read by the
// main thread once the frame has been handed over; each slot is written once.
class Stamps {
  public:
    explicit Stamps(size_t capacity) : slots(capacity) {}
    void add(int64_t value) {
        const size_t index = count.load(std::memory_order_relaxed);
        if (index < slots.size())
            slots[index].store(value, std::memory_order_relaxed);
        count.store(index + 1, std::memory_order_release);
    }
    size_t size() const { return count.load(std::memory_order_acquire); }
    // 0 for a slot not written yet; the acquire pairs with add's release.
    int64_t at(size_t index) const {
        return index < size() && index < slots.size() ? slots[index].load(std::memory_order_relaxed)
                                                      : 0;
    }

  private:
    std::vector<std::atomic<int64_t>> slots;
    std::atomic<size_t> count{0};
};

Percentiles printLine(const char *what, std::vector<double> &samples) {
    const Percentiles p = percentiles(samples);
    say("  %-34s median %7.1f us   p99 %7.1f us   (min %6.1f, max %8.1f, n=%zu)\n", what, p.median,
        p.p99, p.min, p.max, samples.size());
    return p;
}

} // namespace

int main(int argc, char **argv) {
    const unsigned frames = numberOption(argc, argv, "--frames", 3000);
    const unsigned warmup = numberOption(argc, argv, "--warmup", 200);
    std::string address = option(argc, argv, "--address", "");
    const bool inProcess = address.empty();
    if (inProcess)
        address = IN_PROCESS_ADDRESS;

    // Generous: node polls and the retried first exchanges add frames and replies.
    const size_t capacity = 4 * (frames + warmup) + 1000;
    Stamps replySent(capacity);   // simulator thread: just before each SDO reply is sent
    Stamps messageSeen(capacity); // window thread: entry of each WM__CANLIB handler

    std::unique_ptr<korvalsim::GatewaySimulator> simulator;
    if (inProcess) {
        simulator = std::make_unique<korvalsim::GatewaySimulator>(address);
        simulator->setResponder([&replySent](const std::vector<uint8_t> &request) {
            using korvalsim::Action;
            if (request.size() == 17 && request[8] == 2) {
                // Node 5's device type, as the gateway would return it.
                const std::vector<uint8_t> payload{request[6], 100,  2,    0x43, 0x00, 0x10,
                                                   0x00,       0x91, 0x01, 0x0F, 0x00};
                Action write{Action::Kind::Write, korvalsim::makeReply(request, payload), 0};
                replySent.add(now());
                return std::vector<Action>{write};
            }
            // The node poll of the idle worker: node 5 is active.
            return std::vector<Action>{
                {Action::Kind::Write, korvalsim::makeReply(request, {0xFF, 100, 1, NODE}), 0}};
        });
        std::string error;
        if (!simulator->start(&error)) {
            say("notify_latency: the simulator does not start on %s: %s\n", address.c_str(),
                error.c_str());
            return 1;
        }
    }

    Canlib api;
    if (!api.loadFromOptions("notify_latency", argc, argv))
        return 1;
    api.initializeLibrary();
    testsupport::HostWindow window;
    window.onCanlibMessage = [&messageSeen] { messageSeen.add(now()); };
    if (api.setNotify(0, window.handle(), canNOTIFY_RX) != canOK) {
        say("notify_latency: canSetNotify failed\n");
        return 1;
    }
    const canHandle handle = openChannel(api, address);
    if (handle != 0 || !waitUntilExchanging(api, handle, 15000)) {
        say("notify_latency: no SDO exchange through the library with %s\n", address.c_str());
        return 1;
    }
    // waitUntilExchanging has read every frame so far and waited until 300 ms passed without
    // one, so every message and reply stamp is in: from here on frame k is message k and SDO
    // response j is reply stamp j.
    size_t framesRead = messageSeen.size();
    size_t sdoFramesRead = replySent.size();

    std::vector<double> replyToMessage, writeToMessage, sendToHandler;
    unsigned heartbeats = 0;
    for (unsigned i = 0; i < warmup + frames; ++i) {
        const int64_t written = now();
        if (api.write(handle, SDO_REQUEST_ID, READ_DEVICE_TYPE, 8, canMSG_STD) != canOK) {
            say("notify_latency: canWrite failed\n");
            return 1;
        }
        // One message per frame; heartbeats of a node poll may come in between.
        for (;;) {
            if (!window.waitForMessages(static_cast<int>(framesRead + 1), REPLY_TIMEOUT_MS)) {
                say("notify_latency: no WM__CANLIB within %u ms (frame %u)\n", REPLY_TIMEOUT_MS, i);
                return 1;
            }
            int32_t id = 0;
            uint8_t data[8];
            uint32_t dlc = 0;
            // The frame is queued before its message is sent, so it is there to read.
            if (api.read(handle, &id, data, &dlc, nullptr, nullptr) != canOK) {
                say("notify_latency: a frame was announced but not queued\n");
                return 1;
            }
            const int64_t seen = messageSeen.at(framesRead++);
            if (id != SDO_RESPONSE_ID) {
                ++heartbeats;
                continue;
            }
            if (i >= warmup) {
                writeToMessage.push_back(ticksToMicroseconds(seen - written));
                if (inProcess)
                    replyToMessage.push_back(
                        ticksToMicroseconds(seen - replySent.at(sdoFramesRead)));
            }
            ++sdoFramesRead;
            break;
        }
    }

    // The floor of the last step: the same message sent by a plain thread to the same window,
    // without the library. The channel is closed first, so that no frame message can come.
    api.close(handle);
    std::atomic<int64_t> sentAt{0};
    window.onCanlibMessage = [&sentAt, &sendToHandler] {
        sendToHandler.push_back(ticksToMicroseconds(now() - sentAt.load()));
    };
    for (unsigned i = 0; i < frames; ++i) {
        DWORD_PTR result = 0;
        sentAt = now();
        if (!SendMessageTimeoutW(window.handle(), WM__CANLIB, 0, canEVENT_RX, SMTO_ABORTIFHUNG,
                                 REPLY_TIMEOUT_MS, &result)) {
            say("notify_latency: the host window does not answer\n");
            return 1;
        }
    }
    // Orders the window thread's records before our reading of them.
    window.waitForMessages(static_cast<int>(framesRead + frames), REPLY_TIMEOUT_MS);

    say("Notification latency over %u SDO response frames (after %u warm-up), one in flight,\n"
        "host window on its own thread with its own message loop; clock QueryPerformanceCounter.\n"
        "Gateway: %s.\n",
        frames, warmup,
        inProcess ? "in-process simulator on 127.0.99.2 (same Wine process)"
                  : ("external simulator on " + address).c_str());
    Percentiles fromReply;
    if (inProcess)
        fromReply = printLine("reply sent -> WM__CANLIB handler:", replyToMessage);
    const Percentiles fromWrite = printLine("canWrite -> WM__CANLIB handler:", writeToMessage);
    printLine("reference: SendMessage -> handler:", sendToHandler);
    if (inProcess)
        say("  'reply sent' is read in the simulator's responder, after it has parsed the request\n"
            "  and just before its send() call; the interval covers the reply's trip over\n"
            "  loopback, the worker's wake-up and recv(), decoding, the receive queue, and\n"
            "  SendMessageW to the window's thread up to the handler's first line.\n");
    say("  'canWrite' is read on the host thread just before canWrite; that interval adds the\n"
        "  request's way: the send queue, the worker's wake-up, send(), the gateway.\n"
        "  'reference' is a plain thread's SendMessageTimeoutW of the same message to the same\n"
        "  window, without the library: Wine's share of the last step.\n"
        "  heartbeat frames seen in between (not counted): %u\n",
        heartbeats);
    if (inProcess) {
        target("WM_CANLIB p99, reply sent -> handler, in-process sim", fromReply.p99, "us",
               "< 1000", fromReply.p99 < 1000);
        info("WM_CANLIB median, reply sent -> handler, in-process sim", fromReply.median, "us");
    } else {
        target("WM_CANLIB p99, canWrite -> handler, native sim", fromWrite.p99, "us", "< 1000",
               fromWrite.p99 < 1000);
        info("WM_CANLIB median, canWrite -> handler, native sim", fromWrite.median, "us");
    }

    if (simulator)
        simulator->stop();
    return 0;
}
