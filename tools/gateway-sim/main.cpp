// korval-gateway-sim: runs the gateway simulator as a stand-alone process for demos and
// manual tests, until interrupted.
#include "gateway_simulator.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "flag is set from a signal handler");

extern "C" void onSignal(int) {
    interrupted = true;
}

struct Options {
    std::string address = "127.0.0.1";
    uint16_t port = 502;
    std::vector<uint8_t> nodes{5};
    korvalsim::Fault fault = korvalsim::Fault::None;
    unsigned parameter = 0;
    std::string pcap;
    bool verbose = false;
    bool help = false;
};

// Printed by --help on standard output, and on standard error after a bad argument.
const char USAGE[] =
    "usage: korval-gateway-sim [--address 127.x.y.z] [--port N] [--nodes 5,10,3]\n"
    "                          [--fault MODE] [--pcap FILE] [--verbose] [--help]\n"
    "\n"
    "A simulated KORVAL gateway: answers the node-list request (sub-function 1) and\n"
    "encapsulated SDO requests (sub-function 2) of Modbus function 100, until Ctrl-C.\n"
    "\n"
    "  --address A    IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port N       TCP port (default 502; below 1024 needs root)\n"
    "  --nodes LIST   active node ids, 1 to 127, comma-separated (default 5); each\n"
    "                 answers SDO uploads of 0x1000, 0x1008, 0x1018:0-4 and 0x2000,\n"
    "                 and expedited downloads of 0x2000; other nodes: exception 11\n"
    "  --fault MODE   misbehave on every request:\n"
    "      none             answer correctly (default)\n"
    "      no-reply         read requests, never answer (library: Receive: time-out)\n"
    "      delay[:MS]       answer after MS ms (default 3500, past the library's 3 s)\n"
    "      exception        Modbus exception 11, target failed to respond\n"
    "      garbage          17 random bytes instead of a reply\n"
    "      empty-list       node lists name no node (no heartbeats); SDO works\n"
    "      split            each reply in two writes, 50 ms apart (must still work)\n"
    "      close-after:N    answer N requests per connection, then close it\n"
    "      close-on-connect close every connection at once\n"
    "  --pcap FILE    write the traffic served to FILE, a capture for Wireshark\n"
    "  --verbose      print each request received on standard error\n"
    "  --help         this text\n"
    "\n"
    "Exit code 0 after Ctrl-C or --help, 1 if it cannot listen, 2 for bad arguments.\n";

bool parseNumber(const std::string &text, unsigned long max, unsigned long &value) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoul(text);
    return value <= max;
}

bool parseNodes(const std::string &text, std::vector<uint8_t> &nodes) {
    nodes.clear();
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        unsigned long id = 0;
        if (!parseNumber(text.substr(start, comma - start), 127, id) || id == 0)
            return false;
        nodes.push_back(static_cast<uint8_t>(id));
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

bool parseFault(const std::string &text, Options &options) {
    using korvalsim::Fault;
    static const std::pair<const char *, Fault> names[] = {
        {"none", Fault::None},        {"no-reply", Fault::NoReply},
        {"delay", Fault::DelayReply}, {"exception", Fault::ExceptionReply},
        {"garbage", Fault::Garbage},  {"empty-list", Fault::EmptyNodeList},
        {"split", Fault::SplitReply}, {"close-on-connect", Fault::CloseOnConnect},
    };
    for (const auto &n : names) {
        if (text == n.first) {
            options.fault = n.second;
            return true;
        }
    }
    // The faults that take a number: "close-after:N" requests (0 closes on the first one),
    // "delay:N" ms (0 would mean the fault's default, so it is refused).
    struct Counted {
        const char *prefix;
        Fault fault;
        unsigned long least;
    };
    static const Counted counted[] = {
        {"close-after:", Fault::CloseAfterRequests, 0},
        {"delay:", Fault::DelayReply, 1},
    };
    for (const Counted &c : counted) {
        const std::string prefix = c.prefix;
        unsigned long count = 0;
        if (text.compare(0, prefix.size(), prefix) == 0 &&
            parseNumber(text.substr(prefix.size()), 100000, count) && count >= c.least) {
            options.fault = c.fault;
            options.parameter = static_cast<unsigned>(count);
            return true;
        }
    }
    return false;
}

bool parseArgs(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            options.help = true;
            continue;
        }
        if (arg == "--verbose") {
            options.verbose = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        unsigned long port = 0;
        if (arg == "--address")
            options.address = value;
        else if (arg == "--port" && parseNumber(value, 65535, port) && port != 0)
            options.port = static_cast<uint16_t>(port);
        else if (arg == "--nodes" && parseNodes(value, options.nodes))
            continue;
        else if (arg == "--fault" && parseFault(value, options))
            continue;
        else if (arg == "--pcap" && !value.empty())
            options.pcap = value;
        else
            return false;
    }
    return true;
}

void logRequest(const std::vector<uint8_t> &request) {
    std::string line = "request";
    char hex[4];
    for (uint8_t b : request) {
        std::snprintf(hex, sizeof hex, " %02X", b);
        line += hex;
    }
    std::cerr << line << '\n';
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parseArgs(argc, argv, options)) {
        std::cerr << USAGE;
        return 2;
    }
    if (options.help) {
        std::cout << USAGE;
        return 0;
    }
    korvalsim::GatewaySimulator sim(options.address, options.port);
    sim.setNodes(options.nodes);
    sim.setFault(options.fault, options.parameter);
    std::string error;
    if (!options.pcap.empty() && !sim.capture(options.pcap, &error)) {
        std::cerr << "korval-gateway-sim: " << error << '\n';
        return 1;
    }
    if (!sim.start(&error)) {
        std::cerr << "korval-gateway-sim: " << error << '\n';
        return 1;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::cout << "listening on " << options.address << ':' << options.port << std::endl;
    while (!interrupted) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // Draining also keeps the record from growing while the tool runs for hours.
        for (const auto &request : sim.takeRequests()) {
            if (options.verbose)
                logRequest(request);
        }
    }
    sim.stop();
    return 0;
}
