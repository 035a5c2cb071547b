// SDO exchanges per second through canlib32.dll against the same exchanges made by plain Winsock
// clients, side by side in one process and against one simulated gateway.
//
//   sdo_rate [--address 127.x.y.z] [--dll PATH] [--before-dll PATH] [--exchanges 10000]
//            [--rounds 10] [--warmup 500] [--traits]
//
// Without --address the gateway is an in-process korvalsim::GatewaySimulator on 127.0.99.1;
// with it, a gateway already listening there (run.sh starts the native korval-gateway-sim).
// --before-dll loads a second build of the library (an earlier revision's) into the same
// process and measures it in the same rounds as the first, so that both meet the same machine
// load; its figures are labelled "before". --traits adds plain clients that each copy one way of
// waiting of a worker-based library, to show what each costs under Wine.
#include "bench_support.h"
#include "gateway_simulator.h"
#include "rate_rounds.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace bench;

namespace {

const char IN_PROCESS_ADDRESS[] = "127.0.99.1";

int64_t deadline(uint32_t ms) {
    static const int64_t frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    return now() + frequency * ms / 1000;
}

// Milliseconds left until end, rounded up: a wait that ends early would only be repeated.
DWORD msUntil(int64_t end) {
    const double left = ticksToSeconds(end - now()) * 1000;
    return left > 0 ? static_cast<DWORD>(left) + 1 : 0;
}

enum class Style {
    Blocking,     // blocking send and recv
    Select,       // send at once; select() in 20 ms slices before recv
    NetworkEvent, // send and recv tried first; when one would block, WaitForMultipleObjects on
                  // the socket's network event and a stop event
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
        if (!connected)
            return;
        if (style == Style::Select) {
            u_long nonBlocking = 1;
            ioctlsocket(handle, FIONBIO, &nonBlocking);
        } else if (style == Style::NetworkEvent) {
            // Also makes the socket non-blocking.
            networkEvent = WSACreateEvent();
            stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            connected = networkEvent != WSA_INVALID_EVENT && stopEvent != nullptr &&
                        WSAEventSelect(handle, networkEvent, FD_READ | FD_WRITE | FD_CLOSE) == 0;
        }
    }
    ~RawClient() {
        if (handle != INVALID_SOCKET)
            closesocket(handle);
        if (networkEvent != WSA_INVALID_EVENT)
            WSACloseEvent(networkEvent);
        if (stopEvent != nullptr)
            CloseHandle(stopEvent);
    }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool isConnected() const { return connected; }

    bool exchange() {
        uint8_t request[17];
        buildSdoRequest(transaction++, request);
        const int64_t end = deadline(REPLY_TIMEOUT_MS);
        int sent = transfer(end, false, [&] {
            return ::send(handle, reinterpret_cast<const char *>(request), 17, 0);
        });
        if (sent != 17)
            return false;
        uint8_t reply[17];
        size_t got = 0;
        while (got < 17) {
            int n = transfer(end, true, [&] {
                return recv(handle, reinterpret_cast<char *>(reply + got),
                            static_cast<int>(17 - got), 0);
            });
            if (n <= 0)
                return false;
            got += static_cast<size_t>(n);
        }
        return isSdoReplyTo(request, reply);
    }

  private:
    // One send or recv call, made the way this client's style waits; -1 on failure or when
    // the time is up.
    template <class Call> int transfer(int64_t end, bool forReply, Call call) {
        switch (style) {
        case Style::Blocking:
            return call();
        case Style::Select:
            // A send of 17 bytes always finds room; only the reply is waited for.
            if (forReply && !selectUntilReadable(end))
                return -1;
            return call();
        case Style::NetworkEvent:
            for (;;) {
                const int n = call();
                if (n != SOCKET_ERROR || WSAGetLastError() != WSAEWOULDBLOCK)
                    return n;
                const DWORD left = msUntil(end);
                if (left == 0)
                    return -1;
                HANDLE events[2] = {networkEvent, stopEvent};
                if (WaitForMultipleObjects(2, events, FALSE, left) != WAIT_OBJECT_0)
                    return -1;
                WSANETWORKEVENTS seen;
                WSAEnumNetworkEvents(handle, networkEvent, &seen); // resets the event
            }
        }
        return -1;
    }

    // As the library's worker waited: select() in 20 ms slices, the socket in the exception
    // set too.
    bool selectUntilReadable(int64_t end) {
        while (msUntil(end) > 0) {
            fd_set ready, failed;
            FD_ZERO(&ready);
            FD_ZERO(&failed);
            FD_SET(handle, &ready);
            FD_SET(handle, &failed);
            timeval slice{0, 20000};
            const int count = ::select(0, &ready, nullptr, &failed, &slice);
            if (count == SOCKET_ERROR)
                return false;
            if (count > 0)
                return FD_ISSET(handle, &ready) != 0;
        }
        return false;
    }

    SOCKET handle = INVALID_SOCKET;
    WSAEVENT networkEvent = WSA_INVALID_EVENT;
    HANDLE stopEvent = nullptr;
    Style style;
    bool connected = false;
    uint16_t transaction = 0;
};

// Lock, bounded wait and pulse from the C++ library (winpthreads under MinGW).
class StandardMonitor {
  public:
    void enter() { mutex.lock(); }
    void leave() { mutex.unlock(); }
    void waitFor(DWORD ms) {
        std::unique_lock<std::mutex> held(mutex, std::adopt_lock);
        changed.wait_for(held, std::chrono::milliseconds(ms));
        held.release();
    }
    void pulse() { changed.notify_one(); }

  private:
    std::mutex mutex;
    std::condition_variable changed;
};

// The same from the platform's slim reader/writer lock and condition variable.
class SlimMonitor {
  public:
    void enter() { AcquireSRWLockExclusive(&lock); }
    void leave() { ReleaseSRWLockExclusive(&lock); }
    void waitFor(DWORD ms) { SleepConditionVariableSRW(&changed, &lock, ms, 0); }
    void pulse() { WakeConditionVariable(&changed); }

  private:
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
};

// A plain client driven from a second thread, as a worker-based library does it: the request
// goes through one monitor (the transmit queue) and the answer comes back through another (the
// receive queue), each with a pulse and a bounded wait.
template <class Monitor> class HandedOverClient {
  public:
    HandedOverClient(const std::string &address, Style how)
        : client(address, how), thread([this] { run(); }) {}
    ~HandedOverClient() {
        transmit.enter();
        stopping = true;
        transmit.pulse();
        transmit.leave();
        thread.join();
    }
    HandedOverClient(const HandedOverClient &) = delete;
    HandedOverClient &operator=(const HandedOverClient &) = delete;

    bool isConnected() const { return client.isConnected(); }

    bool exchange() {
        transmit.enter();
        const uint64_t wanted = ++requested;
        transmit.pulse();
        transmit.leave();

        const int64_t end = deadline(REPLY_TIMEOUT_MS);
        receive.enter();
        for (DWORD left = msUntil(end); completed != wanted && left > 0; left = msUntil(end))
            receive.waitFor(left);
        const bool ok = completed == wanted && succeeded;
        receive.leave();
        return ok;
    }

  private:
    void run() {
        uint64_t taken = 0;
        for (;;) {
            transmit.enter();
            // Bounded like the library's own wait, which polls the gateway when it runs out.
            while (!stopping && requested == taken)
                transmit.waitFor(1000);
            const bool stop = stopping;
            taken = requested;
            transmit.leave();
            if (stop)
                return;
            const bool ok = client.exchange();
            receive.enter();
            succeeded = ok;
            completed = taken;
            receive.pulse();
            receive.leave();
        }
    }

    RawClient client;
    Monitor transmit, receive;
    uint64_t requested = 0; // under transmit
    bool stopping = false;  // under transmit
    uint64_t completed = 0; // under receive
    bool succeeded = false; // under receive
    std::thread thread;     // last: starts once everything above exists
};

} // namespace

int main(int argc, char **argv) {
    const unsigned exchanges = numberOption(argc, argv, "--exchanges", 10000);
    const unsigned rounds = std::max(1u, numberOption(argc, argv, "--rounds", 10));
    const unsigned warmup = numberOption(argc, argv, "--warmup", 500);
    const bool traits = flag(argc, argv, "--traits");
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

    Canlib api, earlier;
    if (!api.loadFromOptions("sdo_rate", argc, argv))
        return 1;
    const std::string earlierPath = option(argc, argv, "--before-dll", "");
    if (!earlierPath.empty()) {
        if (!earlier.load(earlierPath)) {
            say("sdo_rate: %s does not load\n", earlierPath.c_str());
            return 1;
        }
        if (earlier.module == api.module) {
            say("sdo_rate: --dll and --before-dll name the same library\n");
            return 1;
        }
        say("sdo_rate: before library %ls\n", earlier.path().c_str());
    }
    for (const Canlib *library : {&api, &earlier}) {
        if (library->module == nullptr)
            continue;
        library->initializeLibrary();
        if (openChannel(*library, address) != 0 || !waitUntilExchanging(*library, 0, 15000)) {
            say("sdo_rate: no SDO exchange through %ls with %s\n", library->path().c_str(),
                address.c_str());
            return 1;
        }
    }
    const canHandle handle = 0;
    RawClient plain(address, Style::Blocking);
    RawClient evented(address, Style::NetworkEvent);
    if (!plain.isConnected() || !evented.isConnected()) {
        say("sdo_rate: the plain clients do not connect to %s\n", address.c_str());
        return 1;
    }

    unsigned heartbeats = 0, earlierHeartbeats = 0;
    std::vector<RateClient> clients = {
        {"library", "canWrite + canReadWait through the DLL",
         [&] { return libraryExchange(api, handle, heartbeats); }},
        {"raw", "Winsock: blocking send/recv, TCP_NODELAY", [&] { return plain.exchange(); }},
        {"raw+event", "raw, but send/recv tried first, else wait on network event + stop event",
         [&] { return evented.exchange(); }},
    };
    if (earlier.module != nullptr)
        clients.emplace_back("before", "the same through the --before-dll library",
                             [&] { return libraryExchange(earlier, handle, earlierHeartbeats); });
    std::unique_ptr<RawClient> selecting;
    std::unique_ptr<HandedOverClient<StandardMonitor>> standardHandOver, oldWorker;
    std::unique_ptr<HandedOverClient<SlimMonitor>> slimHandOver, newWorker;
    if (traits) {
        selecting = std::make_unique<RawClient>(address, Style::Select);
        standardHandOver =
            std::make_unique<HandedOverClient<StandardMonitor>>(address, Style::Blocking);
        slimHandOver = std::make_unique<HandedOverClient<SlimMonitor>>(address, Style::Blocking);
        oldWorker = std::make_unique<HandedOverClient<StandardMonitor>>(address, Style::Select);
        newWorker = std::make_unique<HandedOverClient<SlimMonitor>>(address, Style::NetworkEvent);
        if (!selecting->isConnected() || !standardHandOver->isConnected() ||
            !slimHandOver->isConnected() || !oldWorker->isConnected() ||
            !newWorker->isConnected()) {
            say("sdo_rate: the trait clients do not connect to %s\n", address.c_str());
            return 1;
        }
        clients.insert(
            clients.end(),
            {{"raw+select", "raw, non-blocking, select() in 20 ms slices before each recv",
              [&] { return selecting->exchange(); }},
             {"raw+std-cv", "raw on a second thread, handed over by std::condition_variable",
              [&] { return standardHandOver->exchange(); }},
             {"raw+slim-cv", "raw on a second thread, handed over by SRWLOCK + CONDITION_VARIABLE",
              [&] { return slimHandOver->exchange(); }},
             {"worker-old",
              "raw+select on a second thread with the std::condition_variable hand-over",
              [&] { return oldWorker->exchange(); }},
             {"worker-new", "raw+event on a second thread with the slim hand-over",
              [&] { return newWorker->exchange(); }}});
    }

    say("SDO exchange rate: one 17-byte request / 17-byte reply in flight at a time, node %u,\n"
        "object 0x1000 read (expedited upload). Gateway: %s.\n"
        "%u exchanges per client after %u warm-up exchanges each, in %u rounds; the clients take\n"
        "turns within each round (each round starts with the next one), so that machine noise\n"
        "falls on all of them alike. 'x ref' is the median over the rounds of the client's rate\n"
        "divided by the raw client's rate in the same round.\n",
        static_cast<unsigned>(NODE),
        inProcess ? "in-process korvalsim::GatewaySimulator on 127.0.99.1 (same Wine process)"
                  : ("external simulator on " + address + " (not in this process)").c_str(),
        exchanges, warmup, rounds);

    if (!runRounds(clients, warmup, rounds, exchanges / rounds, [&] {
            if (simulator)
                simulator->clearRequests(); // its record is not what is measured
        }))
        return 1;
    printRates(clients, clients[1]);
    say("  library/raw+event: median of rounds %.3f\n",
        median(roundRatios(clients[0], clients[2])));
    const char *what = inProcess ? "rate under Wine, DLL/raw, in-process sim"
                                 : "rate under Wine, DLL/raw, median of rounds";
    printRatio(what, clients[0], clients[1]);
    if (earlier.module != nullptr) {
        const RateClient &before = clients[3];
        printRatio(what, before, clients[1], "before");
        const double gain = median(roundRatios(clients[0], before));
        say("  library/before: median of rounds %.3f\n", gain);
        info("rate under Wine, DLL/before-DLL, same rounds", gain, "x");
    }
    say("  heartbeats skipped by the library client: %u (node polls while it was idle)\n",
        heartbeats);

    if (earlier.module != nullptr)
        earlier.close(handle);
    api.close(handle);
    if (simulator)
        simulator->stop();
    WSACleanup();
    return 0;
}
