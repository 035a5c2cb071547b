// How long canClose takes while the worker waits on the gateway: the host writes a request to a
// gateway that answers every request only after a delay, and closes the channel while the
// worker waits for the reply.
//
//   close_latency --address 127.x.y.z [--dll PATH] [--closes 8] [--reply-delay 500]
//                 [--close-after 100]
//
// The gateway at the address must delay each reply by --reply-delay ms (run.sh starts
// korval-gateway-sim --fault delay:500 for it). Each cycle opens the channel, waits until an
// exchange has come through, writes one more request and closes the channel --close-after ms
// later, plus 0 to 39 ms that differ from cycle to cycle, so that the closes do not all fall at
// the same moment of a periodic wait. The worker is then waiting for a reply that is still at
// least reply-delay - close-after - 39 ms away.
// A channel opened again after a close connects after the worker's 3000 ms reconnect pause, so
// each cycle takes some seconds.
#include "bench_support.h"

#include <string>
#include <vector>

using namespace bench;

int main(int argc, char **argv) {
    const std::string address = option(argc, argv, "--address", "");
    const unsigned closes = std::max(1u, numberOption(argc, argv, "--closes", 8));
    const unsigned replyDelay = numberOption(argc, argv, "--reply-delay", 500);
    const unsigned closeAfter = numberOption(argc, argv, "--close-after", 100);
    const unsigned spread = 40;
    if (address.empty() || closeAfter + spread >= replyDelay) {
        say("usage: close_latency --address 127.x.y.z [--dll PATH] [--closes N] "
            "[--reply-delay MS] [--close-after MS (40 less than the delay)]\n");
        return 2;
    }

    Canlib api;
    if (!api.loadFromOptions("close_latency", argc, argv))
        return 1;
    api.initializeLibrary();
    say("canClose while the worker waits for a gateway reply: gateway %s delays every reply by\n"
        "%u ms; canClose is called %u to %u ms after canWrite; %u closes.\n",
        address.c_str(), replyDelay, closeAfter, closeAfter + spread - 1, closes);

    std::vector<double> milliseconds;
    for (unsigned i = 0; i < closes; ++i) {
        const canHandle handle = openChannel(api, address);
        // Also covers the reconnect pause of a channel opened again.
        if (handle != 0 || !waitUntilExchanging(api, handle, 15000, replyDelay + 300)) {
            say("close_latency: no SDO exchange through the library with %s (cycle %u)\n",
                address.c_str(), i + 1);
            return 1;
        }
        if (api.write(handle, SDO_REQUEST_ID, READ_DEVICE_TYPE, 8, canMSG_STD) != canOK) {
            say("close_latency: canWrite failed\n");
            return 1;
        }
        const unsigned waited = closeAfter + (i * 17) % spread;
        Sleep(waited);
        const int64_t start = now();
        const canStatus closed = api.close(handle);
        const double ms = ticksToSeconds(now() - start) * 1000;
        if (closed != canOK) {
            say("close_latency: canClose returned %d\n", static_cast<int>(closed));
            return 1;
        }
        say("  close %u, %u ms after canWrite: %.2f ms\n", i + 1, waited, ms);
        milliseconds.push_back(ms);
    }

    const Percentiles p = percentiles(milliseconds);
    say("  canClose: median %.2f ms, max %.2f ms, min %.2f ms over %zu closes\n", p.median, p.max,
        p.min, milliseconds.size());
    target("canClose while the worker waits on the socket, max", p.max, "ms", "<= 50", p.max <= 50);
    info("canClose while the worker waits on the socket, median", p.median, "ms");
    return 0;
}
