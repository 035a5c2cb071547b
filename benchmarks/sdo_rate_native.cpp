// SDO exchanges per second through the library built natively (Linux), called through its
// exported functions as a host calls them, against a plain Linux client of the same gateway,
// side by side in one process.
//
//   sdo_rate_native --address 127.x.y.z [--exchanges 10000] [--rounds 10] [--warmup 500]
//
// The gateway is the native korval-gateway-sim that run.sh starts. The connect dialog of the
// native build is answered through ConnectDialog::posixUser. The library's trace lines go to
// stderr.
#include "bench_common.h"
#include "canlib.h"
#include "rate_rounds.h"
#include "ui/connect_dialog.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

using namespace bench;

namespace {

// Blocking send and recv, TCP_NODELAY, each call bounded by the reply time limit.
class RawClient {
  public:
    explicit RawClient(const std::string &address) {
        handle = socket(AF_INET, SOCK_STREAM, 0);
        if (handle < 0)
            return;
        int on = 1;
        setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        timeval limit{REPLY_TIMEOUT_MS / 1000, 0};
        setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(502);
        inet_pton(AF_INET, address.c_str(), &target.sin_addr);
        // A loopback connect completes or fails at once.
        connected =
            ::connect(handle, reinterpret_cast<const sockaddr *>(&target), sizeof target) == 0;
    }
    ~RawClient() {
        if (handle >= 0)
            ::close(handle);
    }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool isConnected() const { return connected; }

    bool exchange() {
        uint8_t request[17];
        buildSdoRequest(transaction++, request);
        if (::send(handle, request, sizeof request, MSG_NOSIGNAL) != 17)
            return false;
        uint8_t reply[17];
        size_t got = 0;
        while (got < sizeof reply) {
            const ssize_t n = recv(handle, reply + got, sizeof reply - got, 0);
            if (n <= 0)
                return false;
            got += static_cast<size_t>(n);
        }
        return isSdoReplyTo(request, reply);
    }

  private:
    int handle = -1;
    bool connected = false;
    uint16_t transaction = 0;
};

bool libraryExchange(unsigned &heartbeats) {
    if (canWrite(0, SDO_REQUEST_ID, READ_DEVICE_TYPE, 8, canMSG_STD) != canOK)
        return false;
    for (;;) {
        int32_t id = 0;
        uint8_t data[8];
        uint32_t dlc = 0, flags = 0, time = 0;
        if (canReadWait(0, &id, data, &dlc, &flags, &time, REPLY_TIMEOUT_MS) != canOK)
            return false;
        if (id == SDO_RESPONSE_ID)
            return dlc == 8 && data[0] == 0x43;
        ++heartbeats;
    }
}

// Frames written before the worker has connected are dropped with its send queue, so the
// first exchanges are retried until one succeeds; then whatever else arrives is drained.
bool waitUntilExchanging(unsigned timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool answered = false;
    while (!answered && Clock::now() < end) {
        if (canWrite(0, SDO_REQUEST_ID, READ_DEVICE_TYPE, 8, canMSG_STD) != canOK)
            return false;
        int32_t id = 0;
        uint8_t data[8];
        uint32_t dlc = 0, flags = 0, time = 0;
        while (canReadWait(0, &id, data, &dlc, &flags, &time, 300) == canOK)
            if (id == SDO_RESPONSE_ID)
                answered = true;
    }
    return answered;
}

} // namespace

int main(int argc, char **argv) {
    const unsigned exchanges = numberOption(argc, argv, "--exchanges", 10000);
    const unsigned rounds = std::max(1u, numberOption(argc, argv, "--rounds", 10));
    const unsigned warmup = numberOption(argc, argv, "--warmup", 500);
    const std::string address = option(argc, argv, "--address", "");
    if (address.empty()) {
        say("usage: sdo_rate_native --address 127.x.y.z [--exchanges N] [--rounds N] "
            "[--warmup N]\n");
        return 2;
    }

    // The user of the dialog: the address typed, all nodes, closed without OK.
    Korval::ConnectDialog::posixUser = [&address](Korval::ConnectDialog &dialog) {
        dialog.setHostNameText(address);
        dialog.setNodeIdSelectedIndex(0);
        return 2;
    };
    canInitializeLibrary();
    if (canOpenChannel(0, 0) != 0 || !waitUntilExchanging(15000)) {
        say("sdo_rate_native: no SDO exchange through the library with %s\n", address.c_str());
        return 1;
    }
    RawClient plain(address);
    if (!plain.isConnected()) {
        say("sdo_rate_native: the plain client does not connect to %s\n", address.c_str());
        return 1;
    }

    unsigned heartbeats = 0;
    std::vector<RateClient> clients = {
        {"library", "canWrite + canReadWait, the library built natively",
         [&] { return libraryExchange(heartbeats); }},
        {"raw", "Linux socket: blocking send/recv, TCP_NODELAY", [&] { return plain.exchange(); }},
    };
    say("SDO exchange rate, native (Linux) build of the library against a plain Linux client;\n"
        "external simulator on %s. One request in flight; %u exchanges per client after %u\n"
        "warm-up exchanges each, in %u alternating rounds. 'x ref' is the median over the rounds\n"
        "of the client's rate divided by the raw client's rate in the same round.\n",
        address.c_str(), exchanges, warmup, rounds);
    if (!runRounds(clients, warmup, rounds, exchanges / rounds))
        return 1;
    printRates(clients, clients[1]);
    printRatio("rate native, library/raw, median of rounds", clients[0], clients[1]);
    say("  heartbeats skipped by the library client: %u\n", heartbeats);
    canClose(0);
    return 0;
}
