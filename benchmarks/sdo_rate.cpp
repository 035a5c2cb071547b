// SDO exchanges per second through canlib32.dll against the same exchanges made by a plain
// Winsock client, side by side in one process and against one simulated gateway.
//
//   sdo_rate [--address 127.x.y.z] [--exchanges 20000] [--rounds 10] [--warmup 1000]
//
// Without --address the gateway is an in-process korvalsim::GatewaySimulator on 127.0.99.1;
// with it, a gateway already listening there (run.sh starts the native korval-gateway-sim).
// Besides the library and the plain client, variants of the plain client add the traits of the
// library's worker one at a time, to show where the library's time goes.
#include "bench_support.h"
#include "gateway_simulator.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace bench;

namespace {

const char IN_PROCESS_ADDRESS[] = "127.0.99.1";

enum class Style {
    Blocking,            // blocking send and recv
    SelectBoth,          // select() before every send and every recv, as the library's worker
    SelectBeforeReceive, // send at once, select() only before recv
};

// A client connection of our own to the gateway, one request in flight at a time.
class RawClient {
  public:
    RawClient(const std::string &address, Style how) : style(how) {
        handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (handle == INVALID_SOCKET)
            return;
        BOOL on = TRUE;
        setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on),
                   sizeof on);
        // Bounds every blocking call of the plain client.
        DWORD limit = REPLY_TIMEOUT_MS;
        setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&limit),
                   sizeof limit);
        setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&limit),
                   sizeof limit);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(502);
        inet_pton(AF_INET, address.c_str(), &target.sin_addr);
        // A loopback connect completes or fails at once, so the blocking connect is bounded.
        connected =
            ::connect(handle, reinterpret_cast<const sockaddr *>(&target), sizeof target) == 0;
        if (connected && style != Style::Blocking) {
            u_long nonBlocking = 1;
            ioctlsocket(handle, FIONBIO, &nonBlocking);
        }
    }
    ~RawClient() {
        if (handle != INVALID_SOCKET)
            closesocket(handle);
    }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool isConnected() const { return connected; }

    bool exchange() {
        uint8_t request[17];
        buildSdoRequest(transaction++, request);
        if (style == Style::SelectBoth && !waitReady(true))
            return false;
        if (::send(handle, reinterpret_cast<const char *>(request), 17, 0) != 17)
            return false;
        uint8_t reply[17];
        size_t got = 0;
        while (got < 17) {
            if (style != Style::Blocking && !waitReady(false))
                return false;
            int n =
                recv(handle, reinterpret_cast<char *>(reply + got), static_cast<int>(17 - got), 0);
            if (n <= 0)
                return false;
            got += static_cast<size_t>(n);
        }
        return isSdoReplyTo(request, reply);
    }

  private:
    // As the library waits: select() in 20 ms slices, the socket in the exception set too.
    bool waitReady(bool forWrite) {
        for (unsigned waited = 0; waited < REPLY_TIMEOUT_MS; waited += 20) {
            fd_set ready, failed;
            FD_ZERO(&ready);
            FD_ZERO(&failed);
            FD_SET(handle, &ready);
            FD_SET(handle, &failed);
            timeval slice{0, 20000};
            int count = ::select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr,
                                 &failed, &slice);
            if (count == SOCKET_ERROR)
                return false;
            if (count > 0)
                return FD_ISSET(handle, &ready) != 0;
        }
        return false;
    }

    SOCKET handle = INVALID_SOCKET;
    Style style;
    bool connected = false;
    uint16_t transaction = 0;
};

// A blocking client driven from another thread: each exchange is handed to it and its end
// handed back through a mutex and two condition variables, as frames travel between a host
// thread and the library's worker.
class HandedOverClient {
  public:
    HandedOverClient(const std::string &address, Style how)
        : client(address, how), thread([this] { run(); }) {}
    ~HandedOverClient() {
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
        }
        toWorker.notify_one();
        thread.join();
    }
    HandedOverClient(const HandedOverClient &) = delete;
    HandedOverClient &operator=(const HandedOverClient &) = delete;

    bool isConnected() const { return client.isConnected(); }

    bool exchange() {
        std::unique_lock<std::mutex> guard(lock);
        const uint64_t wanted = ++requested;
        toWorker.notify_one();
        return toHost.wait_for(guard, std::chrono::milliseconds(REPLY_TIMEOUT_MS), [&] {
            return completed == wanted;
        }) && succeeded;
    }

  private:
    void run() {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            // Bounded like the library's own wait; loops until there is work or a stop.
            toWorker.wait_for(guard, std::chrono::milliseconds(1000),
                              [&] { return stopping || requested != completed; });
            if (stopping)
                return;
            if (requested == completed)
                continue;
            guard.unlock();
            const bool ok = client.exchange();
            guard.lock();
            succeeded = ok;
            ++completed;
            toHost.notify_one();
        }
    }

    RawClient client;
    std::mutex lock;
    std::condition_variable toWorker, toHost;
    uint64_t requested = 0, completed = 0;
    bool succeeded = false, stopping = false;
    std::thread thread; // last: starts once everything above exists
};

struct Mode {
    Mode(const char *shortName, const char *text, std::function<bool()> fn)
        : name(shortName), description(text), exchange(std::move(fn)) {}
    const char *name;
    const char *description;
    std::function<bool()> exchange;
    double seconds = 0;
    unsigned done = 0;
    std::vector<double> roundRates;
    std::vector<double> microseconds; // each exchange's own duration
};

} // namespace

int main(int argc, char **argv) {
    const unsigned exchanges = numberOption(argc, argv, "--exchanges", 20000);
    const unsigned rounds = std::max(1u, numberOption(argc, argv, "--rounds", 10));
    const unsigned warmup = numberOption(argc, argv, "--warmup", 1000);
    std::string address = option(argc, argv, "--address", "");
    const bool inProcess = address.empty();
    if (inProcess)
        address = IN_PROCESS_ADDRESS;

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        say("sdo_rate: Winsock is not available\n");
        return 1;
    }
    std::unique_ptr<korvalsim::GatewaySimulator> simulator;
    if (inProcess) {
        simulator = std::make_unique<korvalsim::GatewaySimulator>(address);
        simulator->setNodes({NODE});
        std::string error;
        if (!simulator->start(&error)) {
            say("sdo_rate: the simulator does not start on %s: %s\n", address.c_str(),
                error.c_str());
            return 1;
        }
    }

    Canlib api;
    if (!api.load()) {
        say("sdo_rate: canlib32.dll does not load\n");
        return 1;
    }
    api.initializeLibrary();
    const canHandle handle = openChannel(api, address);
    if (handle != 0 || !waitUntilExchanging(api, handle, 15000)) {
        say("sdo_rate: no SDO exchange through the library with %s\n", address.c_str());
        return 1;
    }
    RawClient plain(address, Style::Blocking);
    RawClient selectBoth(address, Style::SelectBoth);
    RawClient selectReceive(address, Style::SelectBeforeReceive);
    HandedOverClient handedOver(address, Style::Blocking);
    HandedOverClient workerLike(address, Style::SelectBoth);
    if (!plain.isConnected() || !selectBoth.isConnected() || !selectReceive.isConnected() ||
        !handedOver.isConnected() || !workerLike.isConnected()) {
        say("sdo_rate: the plain client does not connect to %s\n", address.c_str());
        return 1;
    }

    say("SDO exchange rate: one 17-byte request / 17-byte reply in flight at a time, node %u,\n"
        "object 0x1000 read (expedited upload). Gateway: %s.\n"
        "%u exchanges per client after %u warm-up exchanges each, in %u rounds; each round runs\n"
        "the clients one after another, so that machine noise falls on all of them alike.\n",
        static_cast<unsigned>(NODE),
        inProcess ? "in-process korvalsim::GatewaySimulator on 127.0.99.1 (same Wine process)"
                  : ("external simulator on " + address + " (not in this process)").c_str(),
        exchanges, warmup, rounds);

    unsigned heartbeats = 0;
    std::vector<Mode> modes = {
        {"library", "canWrite + canReadWait through canlib32.dll",
         [&] { return libraryExchange(api, handle, heartbeats); }},
        {"raw", "Winsock client: blocking send/recv, TCP_NODELAY",
         [&] { return plain.exchange(); }},
        {"raw+select2", "raw, non-blocking, select() before each send and recv (as the worker)",
         [&] { return selectBoth.exchange(); }},
        {"raw+select1", "raw, non-blocking, send at once, select() only before recv",
         [&] { return selectReceive.exchange(); }},
        {"raw+thread", "raw on a second thread, handed over by condition variables both ways",
         [&] { return handedOver.exchange(); }},
        {"raw+both", "raw+select2 on a second thread with the hand-over: the worker's pattern",
         [&] { return workerLike.exchange(); }},
    };

    for (Mode &mode : modes)
        for (unsigned i = 0; i < warmup; ++i)
            if (!mode.exchange()) {
                say("sdo_rate: %s warm-up exchange %u failed\n", mode.name, i);
                return 1;
            }
    const unsigned perRound = exchanges / rounds;
    for (Mode &mode : modes)
        mode.microseconds.reserve(perRound * rounds);
    for (unsigned r = 0; r < rounds; ++r) {
        for (Mode &mode : modes) {
            const int64_t start = now();
            int64_t before = start;
            for (unsigned i = 0; i < perRound; ++i) {
                if (!mode.exchange()) {
                    say("sdo_rate: %s exchange failed in round %u\n", mode.name, r + 1);
                    return 1;
                }
                const int64_t after = now();
                mode.microseconds.push_back(ticksToMicroseconds(after - before));
                before = after;
            }
            const double seconds = ticksToSeconds(before - start);
            mode.seconds += seconds;
            mode.done += perRound;
            mode.roundRates.push_back(perRound / seconds);
        }
        if (simulator)
            simulator->clearRequests(); // its record is not what is measured
    }

    // The overall rate is the figure asked for; the median exchange and the best round are
    // less disturbed by other programs on a shared machine.
    auto rate = [](const Mode &mode) { return mode.done / mode.seconds; };
    auto best = [](const Mode &mode) {
        return *std::max_element(mode.roundRates.begin(), mode.roundRates.end());
    };
    std::vector<Percentiles> times;
    for (Mode &mode : modes)
        times.push_back(percentiles(mode.microseconds));
    const double rawRate = rate(modes[1]);
    say("  %-11s %9s %9s %9s %9s %10s %9s\n", "client", "rate/s", "x raw", "median us", "p99 us",
        "best rnd/s", "x raw");
    for (size_t m = 0; m < modes.size(); ++m) {
        const Mode &mode = modes[m];
        say("  %-11s %9.0f %9.3f %9.1f %9.1f %10.0f %9.3f  %s\n", mode.name, rate(mode),
            rate(mode) / rawRate, times[m].median, times[m].p99, best(mode),
            best(mode) / best(modes[1]), mode.description);
    }
    say("  RATIO library/raw: overall rate %.3f, median exchange %.3f, best round %.3f "
        "(target >= 0.90)\n",
        rate(modes[0]) / rawRate, times[1].median / times[0].median,
        best(modes[0]) / best(modes[1]));
    say("  target (overall rate) %s\n", rate(modes[0]) / rawRate >= 0.90 ? "met" : "NOT met");
    say("  heartbeats skipped by the library client: %u (node polls while it was idle)\n",
        heartbeats);

    api.close(handle);
    if (simulator)
        simulator->stop();
    WSACleanup();
    return 0;
}
