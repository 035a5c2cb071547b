// Every failure the gateway link can meet, triggered through the loaded DLL and survived: the
// failure's trace line, the pause, the new connection with emptied queues, normal traffic
// afterwards, and host calls that never block past their own time-outs.
#include "black_hole.h"
#include "canlib.h"
#include "support/child_process.h"
#include "support/dll_test_support.h"
#include "support/prompt_guard.h"
#include "support/socket_faults.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

using namespace testsupport;
using korvalsim::Action;

namespace {

const uint8_t MARKER_INDEX = 0x22; // object 0x2222: frames written while no gateway listens

unsigned long long ticks() {
    return GetTickCount64();
}

HMODULE library() {
    return GetModuleHandleW(L"canlib32.dll");
}

// Puts the socket fault that an argument names into the library: "send=<length>=short" or
// "send=<length>=blocked" for its sends, "resolve=<name>=<address>" for its name lookups.
void putSocketFault(const std::wstring &argument) {
    std::wistringstream parts(argument);
    std::wstring kind, first, second;
    std::getline(parts, kind, L'=');
    std::getline(parts, first, L'=');
    std::getline(parts, second);
    bool put = false;
    if (kind == L"send")
        put = putSendFault(library(), std::stoi(first),
                           second == L"short" ? SendFault::Short : SendFault::Blocked);
    else if (kind == L"resolve")
        put = mapHostName(library(), narrow(first), narrow(second));
    if (!put)
        ExitProcess(20);
}

// The host: opens the channel on the address it is given, writes an SDO request to node 5
// every 1500 ms (idle long enough between them for node polls), reads in 250 ms waits, and
// reports what it saw and how long its calls took as a trace line of its own.
// Arguments: address, session length in ms, how long (ms) to write marker frames first, and
// optionally a socket fault (see putSocketFault).
CHILD_SCENARIO(hostSession) {
    const std::string address = narrow(childArguments().at(0));
    const unsigned long long length = std::stoull(childArguments().at(1));
    const unsigned long long markers = std::stoull(childArguments().at(2));
    if (childArguments().size() > 3)
        putSocketFault(childArguments()[3]);
    DialogAnswerer answerer([&](HWND dialog) {
        setHostText(dialog, widen(address));
        closeWithCloseBox(dialog);
    });
    canOpenChannel(0, 0);
    const unsigned long long start = ticks();
    unsigned long long nextWrite = start, maxWrite = 0, maxReadOvershoot = 0;
    int responses = 0;
    while (ticks() - start < length) {
        if (ticks() >= nextWrite) {
            const bool marker = ticks() - start < markers;
            const uint8_t index = marker ? MARKER_INDEX : 0x00;
            const uint8_t request[8] = {0x40, index, marker ? MARKER_INDEX : uint8_t(0x10), 0, 0, 0,
                                        0,    0};
            const unsigned long long before = ticks();
            canWrite(0, 0x605, request, 8, canMSG_STD);
            maxWrite = std::max(maxWrite, ticks() - before);
            nextWrite += 1500;
        }
        int32_t id = 0;
        const unsigned long long before = ticks();
        const canStatus status = canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 250);
        const unsigned long long took = ticks() - before;
        maxReadOvershoot = std::max(maxReadOvershoot, took > 250 ? took - 250 : 0);
        if (status == canOK && id == 0x585)
            ++responses;
    }
    const unsigned long long beforeClose = ticks();
    canClose(0);
    std::ostringstream report;
    report << "host: responses=" << responses << " maxWriteMs=" << maxWrite
           << " maxReadOvershootMs=" << maxReadOvershoot << " closeMs=" << ticks() - beforeClose
           << "\r\n";
    OutputDebugStringA(report.str().c_str());
}

struct HostReport {
    int responses = -1;
    unsigned long maxWriteMs = 0, maxReadOvershootMs = 0, closeMs = 0;
};

HostReport hostReport(const ChildOutcome &outcome) {
    HostReport report;
    long line = outcome.findTrace("host: responses=");
    if (line >= 0)
        std::sscanf(outcome.traceLines[static_cast<std::size_t>(line)].c_str(),
                    "host: responses=%d maxWriteMs=%lu maxReadOvershootMs=%lu closeMs=%lu",
                    &report.responses, &report.maxWriteMs, &report.maxReadOvershootMs,
                    &report.closeMs);
    return report;
}

struct HostRun {
    unsigned markersMs = 0;
    std::wstring socketFault; // see putSocketFault
    std::function<void(const std::string &line)> onTraceLine;
};

ChildOutcome runHost(const std::string &address, unsigned lengthMs, const HostRun &run = {}) {
    ChildOptions options;
    options.timeoutMs = lengthMs + 20000;
    options.extraArguments = {widen(address), std::to_wstring(lengthMs),
                              std::to_wstring(run.markersMs)};
    if (!run.socketFault.empty())
        options.extraArguments.push_back(run.socketFault);
    options.onTraceLine = run.onTraceLine;
    return runChild("hostSession", options);
}

// How long the library kept the socket of a send fault, as the host measured it; -1 if untold.
long sendFaultMs(const ChildOutcome &outcome) {
    const std::string told = "host: send fault ended after ";
    const long line = outcome.findTrace(told);
    return line < 0
               ? -1
               : std::stol(outcome.traceLines[static_cast<std::size_t>(line)].substr(told.size()));
}

// A gateway that misbehaves once, in the given way, and answers normally ever after: node
// polls list node 5, SDO requests are echoed as node 5's answer.
korvalsim::Responder
misbehavingOnce(std::function<std::vector<Action>(const std::vector<uint8_t> &request)> fault,
                uint8_t onSubFunction = 0) {
    auto faulted = std::make_shared<std::atomic<bool>>(false);
    return [=](const std::vector<uint8_t> &request) -> std::vector<Action> {
        if ((onSubFunction == 0 || request[8] == onSubFunction) && !faulted->exchange(true))
            return fault(request);
        if (request[8] == 1)
            return {
                {Action::Kind::Write, {request[0], request[1], 0, 0, 0, 4, 0xFF, 100, 1, 5}, 0}};
        return {{Action::Kind::Write, request, 0}};
    };
}

std::vector<uint8_t> header(const std::vector<uint8_t> &request, uint8_t length) {
    return {request[0], request[1], 0, 0, 0, length};
}

// No host call waited for the gateway.
void expectPromptCalls(const HostReport &report) {
    EXPECT_LT(report.maxWriteMs, static_cast<unsigned long>(PROMPT_GUARD_MS));
    EXPECT_LT(report.maxReadOvershootMs, static_cast<unsigned long>(PROMPT_GUARD_MS));
    EXPECT_LT(report.closeMs, static_cast<unsigned long>(PROMPT_GUARD_MS));
}

// The checks every fault shares: the failure line (and the line after it, for the
// two-line invalid-frame text), a new connection attempt at least one pause after it, normal
// traffic afterwards, and host calls that stayed within their time-outs.
void expectSurvived(const ChildOutcome &outcome, const std::string &address,
                    const std::string &failure, const std::string &nextLine = "") {
    ASSERT_FALSE(outcome.timedOut) << outcome.describe();
    EXPECT_FALSE(outcome.crashed) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    long failed = outcome.findTrace("canlib: " + failure);
    ASSERT_GE(failed, 0) << outcome.describe();
    if (!nextLine.empty()) {
        EXPECT_EQ(outcome.traceLines.at(static_cast<std::size_t>(failed) + 1).rfind(nextLine, 0),
                  0u)
            << outcome.describe();
    }
    long again =
        outcome.findTrace("canlib: Connecting to " + address, static_cast<std::size_t>(failed));
    ASSERT_GE(again, 0) << outcome.describe();
    EXPECT_GE(outcome.traceTicks[static_cast<std::size_t>(again)] -
                  outcome.traceTicks[static_cast<std::size_t>(failed)],
              2900u);
    HostReport report = hostReport(outcome);
    EXPECT_GT(report.responses, 0) << outcome.describe();
    expectPromptCalls(report);
}

class GatewayFaults : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(gateway.started) << gateway.startError; }
    TestGateway gateway{std::vector<uint8_t>{5}};
};

} // namespace

TEST(GatewayAbsent, RefusedConnectionsAreRetriedAndQueuedFramesDropped) {
    const std::string address = uniqueLoopbackAddress();
    korvalsim::GatewaySimulator late(address);
    late.setNodes({5});
    // The gateway appears after two refused attempts, in the pause before the third.
    HostRun run;
    int refused = 0;
    bool appeared = false;
    run.onTraceLine = [&](const std::string &line) {
        if (line.rfind("canlib: Connect: ", 0) == 0 && ++refused == 2)
            appeared = late.start();
    };
    // Markers end before the second attempt, which comes a pause after the first.
    run.markersMs = 2000;
    ChildOutcome outcome = runHost(address, 14000, run);
    ASSERT_TRUE(appeared) << outcome.describe();
    expectSurvived(outcome, address, "Connect: ");
    EXPECT_EQ(outcome.findTrace("canlib: Connect: time-out"), -1);
    for (auto &request : late.requests()) {
        EXPECT_FALSE(request.size() == 17 && request[10] == MARKER_INDEX)
            << "a frame written while the gateway was away was sent";
    }
}

TEST(GatewayAbsent, UnansweredConnectTimesOut) {
    const std::string address = uniqueLoopbackAddress();
    auto hole = std::make_unique<korvalsim::BlackHole>(address);
    ASSERT_TRUE(hole->start());
    korvalsim::GatewaySimulator late(address);
    late.setNodes({5});
    // The gateway takes the black hole's place in the pause after the first attempt.
    HostRun run;
    bool appeared = false;
    run.onTraceLine = [&](const std::string &line) {
        if (line == "canlib: Connect: time-out" && hole) {
            hole.reset();
            appeared = late.start();
        }
    };
    ChildOutcome outcome = runHost(address, 16000, run);
    ASSERT_TRUE(appeared) << outcome.describe();
    expectSurvived(outcome, address, "Connect: time-out");
    long connecting = outcome.findTrace("canlib: Connecting to ");
    long timedOut = outcome.findTrace("canlib: Connect: time-out");
    EXPECT_GE(outcome.traceTicks[static_cast<std::size_t>(timedOut)] -
                  outcome.traceTicks[static_cast<std::size_t>(connecting)],
              2900u);
}

// A name that no resolver can find: its empty label makes the resolver refuse it itself, so the
// test sends no query to a name server.
TEST(GatewayAbsent, UnresolvableNameIsTracedAndRetried) {
    const std::string name = "no-such-gateway..invalid";
    ChildOutcome outcome = runHost(name, 8000);
    ASSERT_FALSE(outcome.timedOut) << outcome.describe();
    EXPECT_FALSE(outcome.crashed) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    long first = outcome.findTrace("canlib: Connecting to " + name);
    ASSERT_GE(first, 0) << outcome.describe();
    long failed = outcome.findTrace("canlib: Connect: ", static_cast<std::size_t>(first));
    ASSERT_GE(failed, 0) << outcome.describe();
    EXPECT_EQ(outcome.findTrace("canlib: Connect: time-out"), -1) << outcome.describe();
    long again =
        outcome.findTrace("canlib: Connecting to " + name, static_cast<std::size_t>(failed));
    ASSERT_GE(again, 0) << outcome.describe();
    EXPECT_GE(outcome.traceTicks[static_cast<std::size_t>(again)] -
                  outcome.traceTicks[static_cast<std::size_t>(failed)],
              2900u);
    // The host went on to the end of its session, and its calls stayed within their limits.
    HostReport report = hostReport(outcome);
    EXPECT_EQ(report.responses, 0) << outcome.describe();
    expectPromptCalls(report);
}

TEST_F(GatewayFaults, ReplyLaterThanThreeSeconds) {
    gateway.simulator.setResponder(misbehavingOnce(
        [](const std::vector<uint8_t> &request) {
            return std::vector<Action>{{Action::Kind::Pause, {}, 3500},
                                       {Action::Kind::Write, request, 0}};
        },
        2));
    expectSurvived(runHost(gateway.address, 12000), gateway.address, "Receive: time-out");
}

TEST_F(GatewayFaults, ExceptionReplyToANodePoll) {
    gateway.simulator.setResponder(misbehavingOnce(
        [](const std::vector<uint8_t> &request) {
            std::vector<uint8_t> reply = header(request, 3);
            reply.insert(reply.end(), {0xFF, 0xE4, 0x0B});
            return std::vector<Action>{{Action::Kind::Write, reply, 0}};
        },
        1));
    ChildOutcome outcome = runHost(gateway.address, 12000);
    expectSurvived(outcome, gateway.address, "Receive: Invalid frame or exception response!",
                   "cnt=9 MB[");
    // The closed socket is met by the next poll, or by a frame the host queued before it.
    EXPECT_TRUE(outcome.findTrace("canlib: getActiveNodes failed: ") >= 0 ||
                outcome.findTrace("canlib: Send/Receive: ") >= 0)
        << outcome.describe();
}

TEST_F(GatewayFaults, GarbageReply) {
    gateway.simulator.setResponder(misbehavingOnce(
        [](const std::vector<uint8_t> &) {
            return std::vector<Action>{
                {Action::Kind::Write, {0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 0}};
        },
        2));
    expectSurvived(runHost(gateway.address, 12000), gateway.address,
                   "Receive: Invalid frame or exception response!",
                   "cnt=13 MB[222, 173, 190, 239, 1, 2, id=3, fc=4, sf=5]");
}

TEST_F(GatewayFaults, EmptyNodeList) {
    gateway.simulator.setResponder(misbehavingOnce(
        [](const std::vector<uint8_t> &request) {
            std::vector<uint8_t> reply = header(request, 3);
            reply.insert(reply.end(), {0xFF, 100, 1});
            return std::vector<Action>{{Action::Kind::Write, reply, 0}};
        },
        1));
    expectSurvived(runHost(gateway.address, 12000), gateway.address,
                   "Receive: Invalid frame or exception response!", "cnt=9 MB[");
}

TEST_F(GatewayFaults, ReplyInPiecesIsTakenWhole) {
    // Every reply written in two or three pieces, as a gateway on a real network may; each
    // piece once the library has read the one before, so that it takes each in a receive of
    // its own.
    auto replies = std::make_shared<std::atomic<unsigned>>(0);
    gateway.simulator.setResponder([replies](const std::vector<uint8_t> &request) {
        std::vector<uint8_t> reply = request;
        if (request[8] == 1)
            reply = {request[0], request[1], 0, 0, 0, 4, 0xFF, 100, 1, 5};
        const auto at = [&reply](std::size_t i) { return reply.begin() + static_cast<long>(i); };
        if (++*replies % 2 == 0)
            return std::vector<Action>{{Action::Kind::Write, {at(0), at(7)}, 0},
                                       {Action::Kind::AwaitRead, {}, 0},
                                       {Action::Kind::Write, {at(7), reply.end()}, 0}};
        return std::vector<Action>{{Action::Kind::Write, {at(0), at(3)}, 0},
                                   {Action::Kind::AwaitRead, {}, 0},
                                   {Action::Kind::Write, {at(3), at(9)}, 0},
                                   {Action::Kind::AwaitRead, {}, 0},
                                   {Action::Kind::Write, {at(9), reply.end()}, 0}};
    });
    ChildOutcome outcome = runHost(gateway.address, 8000);
    ASSERT_FALSE(outcome.timedOut) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    EXPECT_EQ(outcome.findTrace("canlib: Receive: "), -1) << outcome.describe();
    long connecting = outcome.findTrace("canlib: Connecting to ");
    ASSERT_GE(connecting, 0) << outcome.describe();
    EXPECT_EQ(outcome.findTrace("canlib: Connecting to ", static_cast<std::size_t>(connecting) + 1),
              -1)
        << "a whole reply in pieces must not cost the connection";
    EXPECT_GE(hostReport(outcome).responses, 4) << outcome.describe();
    EXPECT_GE(*replies, 8u);
}

TEST_F(GatewayFaults, ReplyStoppingHalfWay) {
    gateway.simulator.setResponder(misbehavingOnce(
        [](const std::vector<uint8_t> &request) {
            return std::vector<Action>{
                {Action::Kind::Write, {request.begin(), request.begin() + 8}, 0}};
        },
        2));
    expectSurvived(runHost(gateway.address, 12000), gateway.address,
                   "Receive: Invalid frame or exception response!", "cnt=8 MB[");
}

TEST_F(GatewayFaults, ConnectionClosedByTheGatewayInTheMiddleOfTraffic) {
    gateway.simulator.setResponder(misbehavingOnce(
        [](const std::vector<uint8_t> &) {
            return std::vector<Action>{{Action::Kind::Close, {}, 0}};
        },
        2));
    expectSurvived(runHost(gateway.address, 12000), gateway.address,
                   "Receive: Invalid frame or exception response!",
                   "cnt=0 MB[0, 0, 0, 0, 0, 0, id=0, fc=0, sf=0]");
}

// The socket takes only half of the request: the exchange fails, the connection is made again.
TEST_F(GatewayFaults, SdoRequestSentShort) {
    HostRun run;
    run.socketFault = L"send=17=short";
    ChildOutcome outcome = runHost(gateway.address, 12000, run);
    EXPECT_TRUE(outcome.hasTrace("host: send fault")) << outcome.describe();
    expectSurvived(outcome, gateway.address, "Send: failed");
}

// The socket never has room for the request: the send gives up at its time limit.
TEST_F(GatewayFaults, SdoRequestWithoutRoomToBeSent) {
    HostRun run;
    run.socketFault = L"send=17=blocked";
    ChildOutcome outcome = runHost(gateway.address, 12000, run);
    expectSurvived(outcome, gateway.address, "Send: time-out");
    // The send waited out its time limit before the socket was closed.
    EXPECT_GE(sendFaultMs(outcome), 2900) << outcome.describe();
}

TEST_F(GatewayFaults, NodePollWithoutRoomToBeSent) {
    HostRun run;
    run.socketFault = L"send=9=blocked";
    ChildOutcome outcome = runHost(gateway.address, 12000, run);
    expectSurvived(outcome, gateway.address, "getActiveNodes: time-out");
    EXPECT_GE(sendFaultMs(outcome), 2900) << outcome.describe();
    // The closed socket is met by the next poll, or by a frame the host queued before it.
    EXPECT_TRUE(outcome.findTrace("canlib: getActiveNodes failed: ") >= 0 ||
                outcome.findTrace("canlib: Send/Receive: ") >= 0)
        << outcome.describe();
}

// A gateway whose firmware cannot take the node poll whole: the library stops the host.
TEST_F(GatewayFaults, NodePollSentShortStopsTheHost) {
    HostRun run;
    run.socketFault = L"send=9=short";
    ChildOutcome outcome = runHost(gateway.address, 12000, run);
    ASSERT_FALSE(outcome.timedOut) << outcome.describe();
    EXPECT_FALSE(outcome.crashed) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 1u) << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("canlib: getActiveNodes: failed")) << outcome.describe();
    ASSERT_EQ(outcome.messageBoxes.size(), 1u) << outcome.describe();
    EXPECT_EQ(outcome.messageBoxes[0].title, L"Brenvox CAN Library for Vantrel");
    EXPECT_EQ(outcome.messageBoxes[0].text,
              L"This KORVAL's firmware does not support the CANopen SDO interface!");
    EXPECT_EQ(outcome.findTrace("host: responses="), -1) << "the host went on";
}

// A name that the library looks up and connects to, served by the test's own gateway.
TEST_F(GatewayFaults, GatewayReachedByItsName) {
    const std::string name = "gateway.korval.test";
    HostRun run;
    run.socketFault = widen("resolve=" + name + "=" + gateway.address);
    ChildOutcome outcome = runHost(name, 6000, run);
    ASSERT_FALSE(outcome.timedOut) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("canlib: Connecting to " + name)) << outcome.describe();
    EXPECT_EQ(outcome.findTrace("canlib: Connect: "), -1) << outcome.describe();
    EXPECT_GT(hostReport(outcome).responses, 0) << outcome.describe();
    EXPECT_EQ(gateway.simulator.connectionsAccepted(), 1u);
}

// The host closes the channel while the library still looks its gateway's name up, and tells
// how long the close took. Arguments: the name.
CHILD_SCENARIO(closeDuringLookup) {
    const std::string name = narrow(childArguments().at(0));
    const HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (started == nullptr || release == nullptr ||
        !blockHostName(library(), name, started, release))
        ExitProcess(20);
    DialogAnswerer answerer([&](HWND dialog) {
        setHostText(dialog, widen(name));
        closeWithCloseBox(dialog);
    });
    canOpenChannel(0, 0);
    if (WaitForSingleObject(started, 8000) != WAIT_OBJECT_0)
        ExitProcess(21);
    const unsigned long long before = ticks();
    canClose(0);
    const unsigned long long took = ticks() - before;
    SetEvent(release);
    OutputDebugStringA(("host: closeMs=" + std::to_string(took) + "\r\n").c_str());
}

TEST(GatewayByName, CloseDuringASlowLookupIsPrompt) {
    const std::string name = "slow-gateway.korval.test";
    ChildOptions options;
    options.extraArguments = {widen(name)};
    ChildOutcome outcome = runChild("closeDuringLookup", options);
    ASSERT_FALSE(outcome.timedOut) << outcome.describe();
    EXPECT_FALSE(outcome.crashed) << outcome.describe();
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("canlib: Connecting to " + name)) << outcome.describe();
    const long report = outcome.findTrace("host: closeMs=");
    ASSERT_GE(report, 0) << outcome.describe();
    const std::string &line = outcome.traceLines[static_cast<std::size_t>(report)];
    EXPECT_LT(std::stol(line.substr(line.find('=') + 1)), PROMPT_GUARD_MS)
        << "the close waited for the lookup\n"
        << outcome.describe();
    EXPECT_EQ(outcome.findTrace("canlib: Connect: "), -1) << "a stop is not a failure\n"
                                                          << outcome.describe();
}
