// What a host sees while the library rides through one failure of the gateway, for each fault
// mode of the gateway simulator: how long node 5's heartbeats pause, when the library takes
// requests again after a lost or refused SDO answer, and whether a host's SDO retries get an
// answer. Each scenario is printed as a timeline of the library's own trace lines, the
// gateway's requests and the host's frames; tables of the figures follow.
//
//   outage [--dll PATH] [--only FAULT]
//
// The gateway is a simulator in this process, on a loopback address of its own, that lists
// node 5. Each fault hits exactly one request, the next node-list request or the next SDO
// request, with the actions the simulator's --fault mode takes for every request; every other
// request gets the healthy answer. "close-on-connect" also closes the one new connection that
// follows, at once, as that mode does. --only runs the scenarios of one fault mode.
//
// The figures follow from the library's fixed limits (3000 ms for a reply, a 3000 ms pause
// before a new connection, a node poll after 1000 ms without a request), so they hardly move
// with the machine's load.
#include "bench_support.h"
#include "black_hole.h"
#include "fault_plan.h"
#include "gateway_model.h"
#include "gateway_simulator.h"
#include "modbus_frame.h"
#include "support/test_address.h"
#include "timeline.h"

#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace bench;
using korvalsim::Fault;

namespace {

// The heartbeat consumer time the user guide advises: every pause here must stay below it.
constexpr double CONSUMER_TIME_S = 12;
// The SDO retries the user guide advises, and others for comparison: its second choice, and
// two that end too early.
struct Retries {
    unsigned timeoutMs;
    unsigned retries;
};
constexpr Retries ADVISED{1000, 8};
constexpr Retries OTHERS[] = {{2000, 4}, {1000, 4}, {3000, 2}};
// The SDO of a heartbeat-gap scenario is written this long after a heartbeat, just before the
// next node poll would be due: the failure then costs the heartbeats the most.
constexpr unsigned LATE_WRITE_MS = 900;
// Longer than any one failure takes to heal.
constexpr unsigned HEAL_MS = 30000;
// Timeline entries looked for.
const char CONNECTING[] = "canlib: Connecting to ";
const char HEARTBEAT[] = "host: heartbeat of node 5";
const char FAILURE[] = "canlib: Receive: ";

struct FaultMode {
    const char *name; // as --fault names it
    Fault fault;
    unsigned parameter;
    bool hitsSdo; // empty-list changes node lists only
};

const FaultMode MODES[] = {
    {"none", Fault::None, 0, true},
    {"split", Fault::SplitReply, 0, true},
    {"no-reply", Fault::NoReply, 0, true},
    {"delay", Fault::DelayReply, 0, true},
    {"exception", Fault::ExceptionReply, 0, true},
    {"garbage", Fault::Garbage, 0, true},
    {"empty-list", Fault::EmptyNodeList, 0, false},
    {"close-after:0", Fault::CloseAfterRequests, 0, true},
    {"close-on-connect", Fault::CloseOnConnect, 0, true},
};

double seconds(int64_t from, int64_t to) {
    return ticksToSeconds(to - from);
}

bool isNodeListRequest(const std::vector<uint8_t> &request) {
    return request.size() == korvalsim::modbus::NodeListRequestSize &&
           request[8] == korvalsim::modbus::NodeListSub;
}

// The gateway: the healthy answer to every request but the one that the armed fault hits.
class Gateway {
  public:
    explicit Gateway(Timeline &timeline) : timeline_(timeline), simulator(address) {
        model.setNodes({NODE});
        simulator.setResponder(
            [this](const std::vector<uint8_t> &request) { return respond(request); });
    }
    ~Gateway() { simulator.stop(); }

    bool start(std::string &error) { return simulator.start(&error); }
    const std::string &where() const { return address; }

    void arm(const FaultMode &mode, bool nodeList) {
        {
            std::lock_guard<std::mutex> guard(lock);
            setting = {mode.fault, mode.parameter};
            armed = true;
            hit = false;
            armedForNodeList = nodeList;
        }
        if (mode.fault != Fault::CloseOnConnect)
            return;
        // The connection after the failure is closed at once too; the next one is served.
        const unsigned accepted = simulator.connectionsAccepted();
        simulator.setFault(Fault::CloseOnConnect);
        lifter = std::thread([this, accepted] {
            simulator.waitForConnections(accepted + 1, HEAL_MS);
            simulator.setFault(Fault::None);
        });
    }

    // Whether the armed fault hit its request; ends what arm() started.
    bool disarm() {
        if (lifter.joinable())
            lifter.join();
        std::lock_guard<std::mutex> guard(lock);
        armed = false;
        return hit;
    }

  private:
    std::vector<korvalsim::Action> respond(const std::vector<uint8_t> &request) {
        std::lock_guard<std::mutex> guard(lock);
        const bool nodeList = isNodeListRequest(request);
        std::string what = nodeList ? "gateway: node-list request"
                                    : "gateway: SDO request, try " + std::to_string(request[12]);
        korvalsim::FaultSetting applied;
        if (armed && !hit && nodeList == armedForNodeList) {
            applied = setting;
            hit = true;
            what += " (hit by the fault)";
        }
        timeline_.add(what);
        return korvalsim::planActions(applied, request, 1, model, noise);
    }

    Timeline &timeline_;
    const std::string address = testsupport::uniqueLoopbackAddress();
    korvalsim::GatewaySimulator simulator;
    std::thread lifter;
    std::mutex lock;
    korvalsim::GatewayModel model;
    korvalsim::Noise noise;
    korvalsim::FaultSetting setting;
    bool armed = false, hit = false, armedForNodeList = false;
};

int64_t after(int64_t from, double span) {
    return from + static_cast<int64_t>(span / ticksToSeconds(1));
}

// The host: one open channel, read on this thread. Each SDO request is an upload of object
// 0x1000 whose sub-index numbers the try, so that an answer (the node's abort for every
// sub-index but 0) names the try it answers.
class Host {
  public:
    Host(Canlib &api, Timeline &timeline) : api_(api), timeline_(timeline) {}

    bool open(const std::string &address) {
        timeline_.add("host: canOpenChannel, the dialog answered with " + address);
        handle = openChannel(api_, address);
        return handle == 0;
    }
    void close() {
        timeline_.add("host: canClose");
        api_.close(handle);
    }

    void write(uint8_t attempt) {
        const uint8_t request[8] = {0x40, 0x00, 0x10, attempt, 0, 0, 0, 0};
        timeline_.add("host: SDO request written, try " + std::to_string(attempt));
        api_.write(handle, SDO_REQUEST_ID, request, 8, canMSG_STD);
    }

    // The time of node 5's next heartbeat, 0 if none comes before the heal time is over.
    int64_t nextHeartbeat() { return readUntil(after(now(), HEAL_MS / 1000.0), HEARTBEAT_ID); }

    // The time of the first frame with the id before the time until, 0 if none; every frame
    // read on the way goes to the timeline.
    int64_t readUntil(int64_t until, int32_t wanted) {
        for (int64_t left = until - now(); left > 0; left = until - now()) {
            int32_t id = 0;
            uint8_t data[8] = {};
            uint32_t dlc = 0, flags = 0, time = 0;
            const auto ms = static_cast<uint32_t>(std::min(10.0, seconds(0, left) * 1000) + 1);
            if (api_.readWait(handle, &id, data, &dlc, &flags, &time, ms) != canOK)
                continue;
            const int64_t at = now();
            if (id == HEARTBEAT_ID)
                timeline_.add(HEARTBEAT, at);
            else if (id == SDO_RESPONSE_ID)
                timeline_.add("host: SDO answer to try " + std::to_string(data[3]), at);
            if (id == wanted)
                return at;
        }
        return 0;
    }

  private:
    Canlib &api_;
    Timeline &timeline_;
    canHandle handle = -1;
};

void printTimeline(const std::string &title, int64_t origin, const std::vector<Event> &events) {
    say("\n-- %s\n", title.c_str());
    for (const Event &event : events) {
        std::string text = event.text;
        for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
            text.insert(at + 1, std::string(10, ' '));
        say("  %6.2f s %s\n", seconds(origin, event.at), text.c_str());
    }
}

// The first event at or after origin whose text starts with prefix, in seconds from origin;
// NAN if none.
double firstEvent(const std::vector<Event> &events, int64_t origin, const std::string &prefix) {
    for (const Event &event : events)
        if (event.at >= origin && event.text.compare(0, prefix.size(), prefix) == 0)
            return seconds(origin, event.at);
    return NAN;
}

// From the first event at or after from that starts with the first prefix to the next event
// after it that starts with the second, in seconds; NAN if either is missing.
double between(const std::vector<Event> &events, int64_t from, const std::string &first,
               const std::string &second) {
    const auto starts = [](const Event &event, const std::string &prefix) {
        return event.text.compare(0, prefix.size(), prefix) == 0;
    };
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].at < from || !starts(events[i], first))
            continue;
        for (size_t j = i + 1; j < events.size(); ++j)
            if (starts(events[j], second))
                return seconds(events[i].at, events[j].at);
        break;
    }
    return NAN;
}

// The library's connection figures, from the trace lines.
struct Links {
    double firstHeartbeat = NAN; // "Connecting to" line to the first heartbeat
    double refusedRetry = NAN;   // refusal's "Connect:" line to the next "Connecting to"
    double connectLimit = NAN;   // "Connecting to" to "Connect: time-out"
    double attemptPeriod = NAN;  // one "Connecting to" to the next, attempts timing out
    double reopenPause = NAN;    // canOpenChannel of a channel opened before to "Connecting to"
};

struct Outcome {
    double gap = NAN;          // from the last heartbeat before the fault to the first after, s
    double connecting = NAN;   // from the SDO's write to the "Connecting to" line, s
    double answered = NAN;     // from the first try to the first answer, s; NAN: none
    double gaveUp = NAN;       // from the first try to the end of the last one's time-out, s
    double toPollFailed = NAN; // failure's "Receive:" line to "getActiveNodes failed", s
    double toConnecting = NAN; // failure's "Receive:" line to "Connecting to", s
    bool hit = false;
};

class Bench {
  public:
    explicit Bench(Canlib &api) : gateway(timeline), host(api, timeline) {
        timeline.catchTraceLines();
    }

    // Opens the channel on the simulator; the timeline of a first connection goes to links.
    bool start(Links &links) {
        std::string error;
        if (!gateway.start(error)) {
            say("outage: the simulator does not start on %s: %s\n", gateway.where().c_str(),
                error.c_str());
            return false;
        }
        const int64_t opened = now();
        if (!host.open(gateway.where()) || host.nextHeartbeat() == 0) {
            say("outage: no heartbeat through the library from %s\n", gateway.where().c_str());
            return false;
        }
        const std::vector<Event> events = timeline.take();
        links.firstHeartbeat = between(events, opened, CONNECTING, HEARTBEAT);
        printTimeline("the channel opened: a first connection", opened, events);
        return true;
    }
    void stop() { host.close(); }

    // The channel opened again, on an address where nothing listens and on one whose
    // connection attempts never complete, then on the simulator once more.
    void unreachable(Links &links) {
        const std::string nobody = testsupport::uniqueLoopbackAddress();
        std::vector<Event> events = elsewhere(nobody, 7000);
        links.refusedRetry = between(events, 0, "canlib: Connect: ", CONNECTING);
        printTimeline("nothing listens at the address: connections refused", events.front().at,
                      events);

        const std::string silent = testsupport::uniqueLoopbackAddress();
        korvalsim::BlackHole blackHole(silent);
        std::string error;
        if (!blackHole.start(&error)) {
            say("outage: no address whose connections never complete: %s\n", error.c_str());
            return;
        }
        events = elsewhere(silent, 13000);
        links.connectLimit = between(events, 0, CONNECTING, "canlib: Connect: time-out");
        links.attemptPeriod = between(events, 0, CONNECTING, CONNECTING);
        printTimeline("connection attempts never complete: connect time-outs", events.front().at,
                      events);
        blackHole.stop();

        host.close();
        timeline.take();
        const int64_t opened = now();
        host.open(gateway.where());
        host.nextHeartbeat();
        events = timeline.take();
        links.reopenPause = between(events, opened, "host: canOpenChannel", CONNECTING);
        printTimeline("the channel opened again on the gateway", opened, events);
    }

    // The fault hits the node poll due 1 s after a heartbeat; the gap lasts until the next.
    Outcome nodeList(const FaultMode &mode) {
        Outcome outcome;
        const int64_t last = steadyHeartbeat();
        gateway.arm(mode, true);
        const int64_t next = host.nextHeartbeat();
        outcome.hit = gateway.disarm();
        if (next != 0)
            outcome.gap = seconds(last, next);
        const std::vector<Event> events = timeline.take();
        outcome.toPollFailed = between(events, last, FAILURE, "canlib: getActiveNodes failed");
        outcome.toConnecting = between(events, last, FAILURE, CONNECTING);
        printTimeline(std::string(mode.name) + " hits a node-list request", last, events);
        return outcome;
    }

    // The fault hits one SDO request written just before the next node poll would be due;
    // nothing else is written until the heartbeats are back.
    Outcome sdo(const FaultMode &mode) {
        Outcome outcome;
        const int64_t last = steadyHeartbeat();
        gateway.arm(mode, false);
        Sleep(LATE_WRITE_MS);
        const int64_t written = now();
        host.write(0);
        const int64_t next = host.nextHeartbeat();
        outcome.hit = gateway.disarm();
        if (next != 0)
            outcome.gap = seconds(last, next);
        const std::vector<Event> events = timeline.take();
        outcome.connecting = firstEvent(events, written, CONNECTING);
        outcome.toConnecting = between(events, last, FAILURE, CONNECTING);
        printTimeline(std::string(mode.name) + " hits an SDO request", last, events);
        return outcome;
    }

    // A host's SDO client whose time-out runs from each try's write: try k is written at
    // k x the time-out after the first, the least a host waits, and the moment at which a try
    // meets the reconnect of a fault that hit the first. Runs until the heartbeats are back.
    Outcome retries(const FaultMode &mode, Retries policy) {
        Outcome outcome;
        steadyHeartbeat();
        gateway.arm(mode, false);
        const int64_t first = now();
        const double timeout = policy.timeoutMs / 1000.0;
        for (unsigned attempt = 0; attempt <= policy.retries && std::isnan(outcome.answered);
             ++attempt) {
            host.write(static_cast<uint8_t>(attempt));
            const int64_t answer =
                host.readUntil(after(first, timeout * (attempt + 1)), SDO_RESPONSE_ID);
            if (answer != 0)
                outcome.answered = seconds(first, answer);
        }
        if (std::isnan(outcome.answered))
            outcome.gaveUp = seconds(first, now());
        host.nextHeartbeat();
        outcome.hit = gateway.disarm();
        printTimeline(std::string(mode.name) + " hits an SDO request; the host retries " +
                          std::to_string(policy.retries) + " times, " +
                          std::to_string(policy.timeoutMs) + " ms each try",
                      first, timeline.take());
        return outcome;
    }

  private:
    // The timeline of ms with the channel opened anew on address.
    std::vector<Event> elsewhere(const std::string &address, unsigned ms) {
        host.close();
        timeline.take();
        host.open(address);
        Sleep(ms);
        return timeline.take();
    }

    // A heartbeat that follows another within 1.5 s: the link is healthy and the worker idle.
    // The timeline then holds the two.
    int64_t steadyHeartbeat() {
        int64_t before = host.nextHeartbeat();
        for (;;) {
            const int64_t next = host.nextHeartbeat();
            if (next == 0 || seconds(before, next) < 1.5) {
                timeline.take();
                timeline.add(HEARTBEAT, before);
                timeline.add(HEARTBEAT, next);
                return next;
            }
            before = next;
        }
    }

    Timeline timeline;
    Gateway gateway;
    Host host;
};

std::string shown(double value) {
    if (std::isnan(value))
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", value);
    return text;
}

std::string retried(const Outcome &outcome) {
    return std::isnan(outcome.answered) ? "failed after " + shown(outcome.gaveUp)
                                        : "answered after " + shown(outcome.answered);
}

std::string policyName(Retries policy) {
    return std::to_string(policy.timeoutMs) + " ms x " + std::to_string(policy.retries) +
           " retries";
}

} // namespace

int main(int argc, char **argv) {
    const std::string only = option(argc, argv, "--only", "");
    Canlib api;
    if (!api.loadFromOptions("outage", argc, argv))
        return 1;
    api.initializeLibrary();
    Bench bench(api);
    Links links;
    if (!bench.start(links))
        return 1;

    struct Row {
        const FaultMode *mode;
        Outcome nodeList, sdo, advised;
    };
    std::vector<Row> rows;
    bool allHit = true;
    for (const FaultMode &mode : MODES) {
        if (!only.empty() && only != mode.name)
            continue;
        Row row{&mode, bench.nodeList(mode), {}, {}};
        allHit = allHit && row.nodeList.hit;
        if (mode.hitsSdo) {
            row.sdo = bench.sdo(mode);
            row.advised = bench.retries(mode, ADVISED);
            allHit = allHit && row.sdo.hit && row.advised.hit;
        }
        rows.push_back(row);
    }
    const FaultMode &lost = MODES[2]; // no-reply: the answer is lost
    std::vector<std::pair<Retries, Outcome>> others;
    if (only.empty() || only == lost.name)
        for (const Retries &policy : OTHERS)
            others.emplace_back(policy, bench.retries(lost, policy));
    if (only.empty())
        bench.unreachable(links);
    bench.stop();

    say("\n== Connecting (seconds between the library's trace lines)\n"
        "  \"Connecting to\" line to the first heartbeat:                 %s\n"
        "  connection refused: \"Connect:\" line to the next attempt:     %s\n"
        "  connection attempts time out: \"Connecting to\" to time-out:   %s\n"
        "  connection attempts time out: one attempt to the next:       %s\n"
        "  a channel opened again: canOpenChannel to \"Connecting to\":   %s\n",
        shown(links.firstHeartbeat).c_str(), shown(links.refusedRetry).c_str(),
        shown(links.connectLimit).c_str(), shown(links.attemptPeriod).c_str(),
        shown(links.reopenPause).c_str());

    const std::string advised = policyName(ADVISED);
    say("\n== One fault at a time: node 5's heartbeat gap, and when SDO requests are served again\n"
        "%-17s | %-13s | %-13s | %-15s | %s\n"
        "%-17s | %-13s | %-13s | %-15s | %s\n",
        "fault (--fault)", "node list hit", "SDO hit", "SDO hit", "SDO hit, host retrying", "",
        "heartbeat gap", "heartbeat gap", "Connecting line", advised.c_str());
    for (const Row &row : rows)
        say("%-17s | %-13s | %-13s | %-15s | %s\n", row.mode->name, shown(row.nodeList.gap).c_str(),
            shown(row.sdo.gap).c_str(), shown(row.sdo.connecting).c_str(),
            row.mode->hitsSdo ? retried(row.advised).c_str() : "-");
    say("A node list is hit 1.0 s after a heartbeat, an SDO request %.1f s after one (when the\n"
        "next poll is nearly due, the costliest moment). \"Connecting line\": from the SDO's "
        "write\n"
        "to the library's \"Connecting to\" line, when it empties both queues and connects; a\n"
        "request written after it is served. The host's tries: from the first write.\n",
        LATE_WRITE_MS / 1000.0);
    if (!others.empty()) {
        say("\n== Other host retries after a lost answer (no-reply hits the first try)\n");
        for (const auto &[policy, outcome] : others)
            say("  %-24s %s\n", policyName(policy).c_str(), retried(outcome).c_str());
    }
    say("\n== Trace lines after the failure's \"Receive:\" line (seconds)\n"
        "%-17s | %-32s | %-22s | %s\n",
        "fault (--fault)", "node list: getActiveNodes failed", "node list: Connecting",
        "SDO: Connecting");
    for (const Row &row : rows)
        say("%-17s | %-32s | %-22s | %s\n", row.mode->name,
            shown(row.nodeList.toPollFailed).c_str(), shown(row.nodeList.toConnecting).c_str(),
            shown(row.sdo.toConnecting).c_str());
    if (!allHit)
        say("outage: a fault did not hit its request; its figures are not what they name\n");

    info("Connecting line to the first heartbeat", links.firstHeartbeat, "s");
    info("refused: Connect line to the next Connecting line", links.refusedRetry, "s");
    info("silent: Connecting line to Connect: time-out", links.connectLimit, "s");
    info("silent: one Connecting line to the next", links.attemptPeriod, "s");
    info("channel opened again: canOpenChannel to Connecting", links.reopenPause, "s");
    char what[120];
    double longest = 0;
    for (const Row &row : rows) {
        std::snprintf(what, sizeof what, "heartbeat gap, %s hits a node list", row.mode->name);
        info(what, row.nodeList.gap, "s");
        if (!std::isnan(row.nodeList.toConnecting)) {
            std::snprintf(what, sizeof what, "node-list failure line to Connecting, %s",
                          row.mode->name);
            info(what, row.nodeList.toConnecting, "s");
        }
        longest = std::max(longest, row.nodeList.gap);
        if (!row.mode->hitsSdo)
            continue;
        std::snprintf(what, sizeof what, "heartbeat gap, %s hits an SDO", row.mode->name);
        info(what, row.sdo.gap, "s");
        longest = std::max(longest, row.sdo.gap);
        std::snprintf(what, sizeof what, "SDO write to Connecting line, %s", row.mode->name);
        info(what, row.sdo.connecting, "s");
        if (!std::isnan(row.sdo.toConnecting)) {
            std::snprintf(what, sizeof what, "SDO failure line to Connecting, %s", row.mode->name);
            info(what, row.sdo.toConnecting, "s");
        }
        std::snprintf(what, sizeof what, "%s answered after, %s", advised.c_str(), row.mode->name);
        target(what, row.advised.answered, "s", "answered", !std::isnan(row.advised.answered));
    }
    for (const auto &[policy, outcome] : others) {
        std::snprintf(what, sizeof what, "%s, no-reply: %s after", policyName(policy).c_str(),
                      std::isnan(outcome.answered) ? "failed" : "answered");
        info(what, std::isnan(outcome.answered) ? outcome.gaveUp : outcome.answered, "s");
    }
    if (!rows.empty())
        target("longest heartbeat gap of one fault", longest, "s", "< 12",
               longest < CONSUMER_TIME_S);
    return allHit ? 0 : 1;
}
