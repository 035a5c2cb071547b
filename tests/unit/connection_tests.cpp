// The connection engine against a simulated gateway on a loopback address of its own.
#include "gateway/korval_connection.h"

#include "black_hole.h"
#include "gateway_simulator.h"
#include "support/eventually.h"
#include "support/prompt_guard.h"
#include "support/test_address.h"
#include "support/trace_recorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

using Korval::KorvalConnection;
using korvalsim::Fault;
using testsupport::TraceRecorder;
using Clock = std::chrono::steady_clock;
using testsupport::eventually;
using testsupport::promptGuardMs;

namespace {

const std::vector<uint8_t> READ_DEVICE_TYPE = {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};

long millisecondsBetween(Clock::time_point start, Clock::time_point end) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count());
}

long millisecondsSince(Clock::time_point start) {
    return millisecondsBetween(start, Clock::now());
}

struct Frame {
    uint32_t id = 0;
    std::vector<uint8_t> data;
};

class ConnectionTest : public testing::Test {
  protected:
    void SetUp() override {
        address = testsupport::uniqueLoopbackAddress();
        gateway = std::make_unique<korvalsim::GatewaySimulator>(address);
    }

    void startGateway(const std::vector<uint8_t> &nodes) {
        gateway->setNodes(nodes);
        std::string error;
        ASSERT_TRUE(gateway->start(&error)) << error;
    }

    // Frames written before the connection exists are dropped when it is made.
    void openAndWaitUntilConnected(int32_t nodeLimit = 0) {
        connection.openConnection(address, nodeLimit);
        ASSERT_TRUE(eventually([this] { return connection.IsConnected() == 1; }, 5000));
    }

    // How far into a limit of the library that began with the given trace line a host call
    // begun at `start` came.
    long lateMs(long line, Clock::time_point start) const {
        return millisecondsBetween(trace.lines().at(static_cast<std::size_t>(line)).when, start);
    }

    bool read(Frame &frame, uint32_t timeoutMs) {
        return connection.readCanMsg(frame.id, frame.data, timeoutMs);
    }

    // Requests the gateway received that were of the given sub-function.
    std::vector<std::vector<uint8_t>> requestsOf(uint8_t subFunction) {
        std::vector<std::vector<uint8_t>> found;
        for (auto &request : gateway->requests())
            if (request.size() > 8 && request[8] == subFunction)
                found.push_back(request);
        return found;
    }

    TraceRecorder trace; // outlives the connection, whose worker traces until it ends
    std::string address;
    std::unique_ptr<korvalsim::GatewaySimulator> gateway;
    KorvalConnection connection;
};

} // namespace

TEST_F(ConnectionTest, OpenReturnsAtOnceAndCloseIsPromptFromTheConnectWait) {
    korvalsim::BlackHole hole(address);
    std::string error;
    ASSERT_TRUE(hole.start(&error)) << error;

    connection.openConnection(address, 0);
    EXPECT_EQ(connection.IsOpen(), 1);
    EXPECT_EQ(connection.IsConnected(), 0);
    const long connecting = trace.waitForLine("Connecting to " + address, 2000);
    ASSERT_GE(connecting, 0);

    const auto start = Clock::now();
    connection.closeConnection();
    EXPECT_LT(millisecondsSince(start), promptGuardMs(lateMs(connecting, start)));
    EXPECT_EQ(connection.IsOpen(), 0);
    EXPECT_EQ(connection.IsConnected(), 0);
    // A stop is not a failure; nor did the close wait for the connect's time-out line.
    for (auto &line : trace.lines())
        EXPECT_EQ(line.text.rfind("Connect:", 0), std::string::npos) << line.text;
}

TEST_F(ConnectionTest, ConnectTimesOutAfterThreeSeconds) {
    korvalsim::BlackHole hole(address);
    std::string error;
    ASSERT_TRUE(hole.start(&error)) << error;
    connection.openConnection(address, 0);
    long connecting = trace.waitForLine("Connecting to " + address, 2000);
    long timedOut = trace.waitForLine("Connect: time-out", 5000);
    ASSERT_GE(timedOut, 0);
    EXPECT_GE(trace.millisecondsBetween(connecting, timedOut), 2900);
    EXPECT_EQ(connection.IsConnected(), 0);
}

TEST_F(ConnectionTest, RefusedGatewayIsRetriedAfterThePauseWithEmptyQueues) {
    connection.openConnection(address, 0); // nothing listens there
    long first = trace.waitForLine("Connecting to " + address, 2000);
    ASSERT_GE(first, 0);
    long failure = trace.waitForPrefix("Connect: ", 2000, static_cast<std::size_t>(first));
    ASSERT_GE(failure, 0);
    EXPECT_NE(trace.lines()[static_cast<std::size_t>(failure)].text, "Connect: time-out");

    connection.sendCanMsg(0x605, READ_DEVICE_TYPE); // discarded at the next attempt
    long second =
        trace.waitForLine("Connecting to " + address, 5000, static_cast<std::size_t>(failure));
    ASSERT_GE(second, 0);
    EXPECT_GE(trace.millisecondsBetween(failure, second), 2900);

    // The gateway appears: the frame written while it was away is not sent.
    startGateway({5});
    ASSERT_TRUE(gateway->waitForConnections(1, 8000));
    ASSERT_TRUE(gateway->waitForRequests(1, 3000));
    EXPECT_TRUE(requestsOf(2).empty());
}

TEST_F(ConnectionTest, CloseIsPromptFromThePause) {
    connection.openConnection(address, 0);
    const long failed = trace.waitForPrefix("Connect: ", 2000); // the pause begins
    ASSERT_GE(failed, 0);
    const auto start = Clock::now();
    connection.closeConnection();
    EXPECT_LT(millisecondsSince(start), promptGuardMs(lateMs(failed, start)));
    EXPECT_EQ(connection.IsOpen(), 0);
}

TEST_F(ConnectionTest, SdoRequestIsAnsweredAsResponseFrame) {
    startGateway({5});
    openAndWaitUntilConnected();
    connection.sendCanMsg(0x605, READ_DEVICE_TYPE);
    Frame frame;
    ASSERT_TRUE(read(frame, 5000));
    EXPECT_EQ(frame.id, 0x585u);
    ASSERT_EQ(frame.data.size(), 8u);
    EXPECT_EQ(frame.data[0], 0x43); // expedited upload response, 4 bytes
    EXPECT_EQ(frame.data[1], 0x00);
    EXPECT_EQ(frame.data[2], 0x10);
    EXPECT_EQ(connection.IsConnected(), 1);

    auto sdo = requestsOf(2);
    ASSERT_EQ(sdo.size(), 1u);
    EXPECT_EQ(sdo[0], (std::vector<uint8_t>{sdo[0][0], sdo[0][1], 0, 0, 0, 11, 5, 100, 2, 0x40,
                                            0x00, 0x10, 0x00, 0, 0, 0, 0}));
}

TEST_F(ConnectionTest, NodeZeroFrameIsSentWithUnitZeroAndOtherIdsAreDropped) {
    startGateway({5});
    openAndWaitUntilConnected();
    connection.sendCanMsg(0x700, READ_DEVICE_TYPE);
    connection.sendCanMsg(0x600, READ_DEVICE_TYPE);
    ASSERT_GE(trace.waitForLine("TxQueue: Invalid CAN msg", 3000), 0);
    ASSERT_TRUE(gateway->waitForRequests(1, 3000));
    auto sdo = requestsOf(2);
    ASSERT_EQ(sdo.size(), 1u);
    EXPECT_EQ(sdo[0][6], 0);
}

TEST_F(ConnectionTest, DroppedFrameTakesNoTransactionNumber) {
    gateway->setFault(Fault::NoReply);
    startGateway({5});
    connection.openConnection(address, 0);
    ASSERT_TRUE(gateway->waitForConnections(1, 3000));
    const uint16_t before = KorvalConnection::mbusSeqNo;
    connection.sendCanMsg(0x6FF, READ_DEVICE_TYPE);
    ASSERT_GE(trace.waitForLine("TxQueue: Invalid CAN msg", 3000), 0);
    // No poll can have run yet: the idle wait started less than 1000 ms ago.
    EXPECT_EQ(KorvalConnection::mbusSeqNo, before);
}

TEST_F(ConnectionTest, IdleConnectionPollsAndDeliversHeartbeatsInListOrder) {
    startGateway({5, 10, 3});
    std::atomic<int> events{0};
    connection.onReceiveEvent.subscribe([&](KorvalConnection &sender) {
        EXPECT_EQ(&sender, &connection);
        ++events;
    });
    connection.openConnection(address, 0);
    std::vector<Frame> frames(3);
    for (Frame &frame : frames)
        ASSERT_TRUE(read(frame, 4000));
    EXPECT_EQ(frames[0].id, 0x705u);
    EXPECT_EQ(frames[1].id, 0x70Au);
    EXPECT_EQ(frames[2].id, 0x703u);
    for (Frame &frame : frames)
        EXPECT_EQ(frame.data, std::vector<uint8_t>{5});
    EXPECT_TRUE(eventually([&] { return events >= 3; }));
    connection.closeConnection(); // the handler uses this test's locals

    auto polls = requestsOf(1);
    ASSERT_FALSE(polls.empty());
    EXPECT_EQ(polls[0], (std::vector<uint8_t>{polls[0][0], polls[0][1], 0, 0, 0, 3, 0xFF, 100, 1}));
}

TEST_F(ConnectionTest, NodeLimitFiltersHeartbeatsButNotSdoResponses) {
    startGateway({5, 10, 3});
    openAndWaitUntilConnected(10);
    Frame frame;
    ASSERT_TRUE(read(frame, 4000));
    EXPECT_EQ(frame.id, 0x70Au);
    EXPECT_FALSE(read(frame, 0));

    connection.sendCanMsg(0x605, READ_DEVICE_TYPE);
    do
        ASSERT_TRUE(read(frame, 4000));
    while (frame.id == 0x70A);
    EXPECT_EQ(frame.id, 0x585u);
}

TEST_F(ConnectionTest, HandlerSubscribedTwiceIsCalledTwicePerFrame) {
    startGateway({7});
    std::atomic<int> events{0};
    auto count = [&](KorvalConnection &) { ++events; };
    connection.onReceiveEvent.subscribe(count);
    connection.onReceiveEvent.subscribe(count);
    connection.openConnection(address, 0);
    Frame frame;
    ASSERT_TRUE(read(frame, 4000));
    connection.closeConnection();
    EXPECT_EQ(events.load() % 2, 0);
    EXPECT_GE(events.load(), 2);
}

TEST_F(ConnectionTest, ReceiveHandlerMayWaitForAnotherThreadsWrite) {
    startGateway({5});
    std::atomic<bool> wrote{false};
    connection.onReceiveEvent.subscribe([&](KorvalConnection &) {
        if (wrote.exchange(true))
            return;
        // Like a window procedure that hands the write to another thread and waits for it.
        std::thread writer([&] { connection.sendCanMsg(0x605, READ_DEVICE_TYPE); });
        writer.join();
    });
    connection.openConnection(address, 0);
    Frame frame;
    bool sawResponse = false;
    for (int i = 0; i < 4 && !sawResponse; ++i)
        sawResponse = read(frame, 3000) && frame.id == 0x585;
    EXPECT_TRUE(sawResponse);
    connection.closeConnection(); // the handler uses this test's locals
}

TEST_F(ConnectionTest, FramesQueuedDuringAPollAreSentAfterItInOrder) {
    // The first poll's reply is held until the frames are queued.
    std::promise<void> polled, queued;
    std::shared_future<void> released = queued.get_future().share();
    std::atomic<bool> pollSeen{false};
    gateway->setResponder([&, released](const std::vector<uint8_t> &request) {
        std::vector<uint8_t> reply = request; // echo: node 5 answers with the request's bytes
        if (request[8] == 1) {
            if (!pollSeen.exchange(true)) {
                polled.set_value();
                released.wait_for(std::chrono::milliseconds(2000)); // below the reply's limit
            }
            reply = {request[0], request[1], 0, 0, 0, 4, 0xFF, 100, 1, 5};
        }
        return std::vector<korvalsim::Action>{{korvalsim::Action::Kind::Write, reply, 0}};
    });
    startGateway({5});
    connection.openConnection(address, 0);
    ASSERT_EQ(polled.get_future().wait_for(std::chrono::seconds(4)), std::future_status::ready);
    for (uint8_t n = 1; n <= 3; ++n)
        connection.sendCanMsg(0x600u + n, {0x40, n, 0, 0, 0, 0, 0, 0});
    queued.set_value();

    std::vector<uint32_t> ids;
    Frame frame;
    while (ids.size() < 4 && read(frame, 3000))
        ids.push_back(frame.id);
    EXPECT_EQ(ids, (std::vector<uint32_t>{0x705, 0x581, 0x582, 0x583}));
    auto requests = gateway->requests();
    ASSERT_GE(requests.size(), 4u);
    EXPECT_EQ(requests[0][8], 1);
    for (uint8_t n = 1; n <= 3; ++n)
        EXPECT_EQ(requests[n][6], n);
    connection.closeConnection(); // the responder uses this test's locals
}

TEST_F(ConnectionTest, ReadWaitsOnceAndAtMostItsTimeOut) {
    Frame frame;
    auto start = Clock::now();
    EXPECT_FALSE(read(frame, 0));
    EXPECT_FALSE(read(frame, 300));
    EXPECT_GE(millisecondsSince(start), 290);

    startGateway({9});
    connection.openConnection(address, 0);
    start = Clock::now();
    // The first poll comes about 1000 ms after connecting: far below the read's own limit.
    ASSERT_TRUE(read(frame, 20000));
    EXPECT_LT(millisecondsSince(start), 10000);
    EXPECT_EQ(frame.id, 0x709u);
}

TEST_F(ConnectionTest, ReadWithoutLimitEndsWhenAFrameArrives) {
    startGateway({4});
    connection.openConnection(address, 0);
    Frame frame;
    ASSERT_TRUE(connection.readCanMsg(frame.id, frame.data, 0x80000000u));
    EXPECT_EQ(frame.id, 0x704u);
}

TEST_F(ConnectionTest, CloseIsPromptWhileWaitingForAReply) {
    gateway->setFault(Fault::NoReply);
    startGateway({5});
    openAndWaitUntilConnected();
    const auto sent = Clock::now(); // the reply's limit begins after this
    connection.sendCanMsg(0x605, READ_DEVICE_TYPE);
    ASSERT_TRUE(gateway->waitForRequests(1, 3000));
    const auto start = Clock::now();
    connection.closeConnection();
    EXPECT_LT(millisecondsSince(start), promptGuardMs(millisecondsBetween(sent, start)));
    EXPECT_EQ(connection.IsConnected(), 0);
    // A reply waited out would have been traced before the worker ended.
    for (auto &line : trace.lines())
        EXPECT_EQ(line.text.rfind("Receive:", 0), std::string::npos) << line.text;
    EXPECT_TRUE(eventually([this] { return gateway->openConnections() == 0; }));
}

TEST_F(ConnectionTest, LostReplyIsTracedAndTheConnectionMadeAgain) {
    gateway->setFault(Fault::NoReply);
    startGateway({5});
    connection.openConnection(address, 0);
    ASSERT_TRUE(gateway->waitForConnections(1, 3000));
    connection.sendCanMsg(0x605, READ_DEVICE_TYPE);
    long timedOut = trace.waitForLine("Receive: time-out", 5000);
    ASSERT_GE(timedOut, 0);
    EXPECT_TRUE(eventually([&] { return connection.IsConnected() == 0; }));
    long again =
        trace.waitForLine("Connecting to " + address, 5000, static_cast<std::size_t>(timedOut));
    ASSERT_GE(again, 0);
    EXPECT_GE(trace.millisecondsBetween(timedOut, again), 2900);
    EXPECT_TRUE(gateway->waitForConnections(2, 3000));
}

TEST_F(ConnectionTest, ExceptionReplyToThePollClosesAndReportsTheNextPoll) {
    gateway->setFault(Fault::ExceptionReply, 0x0B);
    startGateway({5});
    connection.openConnection(address, 0);
    long invalid =
        trace.waitForPrefix("Receive: Invalid frame or exception response!\ncnt=9 MB[", 4000);
    ASSERT_GE(invalid, 0);
    EXPECT_NE(trace.lines()[static_cast<std::size_t>(invalid)].text.find(
                  ", 0, 0, 0, 3, id=255, fc=228, sf=11]"),
              std::string::npos);
    long pollFailed =
        trace.waitForPrefix("getActiveNodes failed: ", 3000, static_cast<std::size_t>(invalid));
    ASSERT_GE(pollFailed, 0);
    EXPECT_GE(trace.millisecondsBetween(invalid, pollFailed), 900);
    long again =
        trace.waitForLine("Connecting to " + address, 5000, static_cast<std::size_t>(pollFailed));
    ASSERT_GE(again, 0);
    EXPECT_GE(trace.millisecondsBetween(pollFailed, again), 2900);
}

TEST_F(ConnectionTest, GatewayClosingTheConnectionIsAZeroByteReply) {
    gateway->setFault(Fault::CloseAfterRequests, 1);
    startGateway({5});
    openAndWaitUntilConnected();
    connection.sendCanMsg(0x605, READ_DEVICE_TYPE);
    Frame frame;
    ASSERT_TRUE(read(frame, 3000));
    connection.sendCanMsg(0x605, READ_DEVICE_TYPE);
    EXPECT_GE(trace.waitForLine("Receive: Invalid frame or exception response!\ncnt=0 MB[0, 0, 0, "
                                "0, 0, 0, id=0, fc=0, sf=0]",
                                4000),
              0);
}

TEST_F(ConnectionTest, ReceivedFramesStayReadableUntilTheNextAttempt) {
    gateway->setFault(Fault::CloseAfterRequests, 1);
    startGateway({5});
    openAndWaitUntilConnected();
    connection.sendCanMsg(0x605, READ_DEVICE_TYPE);
    long closed = -1;
    // The first poll after the answer meets the closed connection.
    closed = trace.waitForPrefix("Receive: Invalid frame", 4000);
    ASSERT_GE(closed, 0);
    EXPECT_EQ(connection.GetMsgCnt(), 1);
    long again =
        trace.waitForLine("Connecting to " + address, 8000, static_cast<std::size_t>(closed));
    ASSERT_GE(again, 0);
    EXPECT_EQ(connection.GetMsgCnt(), 0);
}

namespace {

// The gateway's SDO reply to a request, cut into pieces at the given offsets; each piece is
// written once the library has read the one before, so that each arrives in a receive of its
// own.
korvalsim::Responder replyInPieces(std::vector<std::size_t> cuts) {
    return [cuts](const std::vector<uint8_t> &request) {
        std::vector<uint8_t> reply(request.begin(), request.begin() + 9);
        reply.insert(reply.end(), {0x43, 0x00, 0x10, 0x00, 0x92, 0x01, 0x02, 0x00});
        if (request[8] == 1) // a node poll: node 5
            reply = {request[0], request[1], 0, 0, 0, 4, 0xFF, 100, 1, 5};
        std::vector<korvalsim::Action> actions;
        std::size_t from = 0;
        for (std::size_t cut : cuts) {
            if (cut >= reply.size())
                break;
            actions.push_back(
                {korvalsim::Action::Kind::Write,
                 {reply.begin() + static_cast<long>(from), reply.begin() + static_cast<long>(cut)},
                 0});
            actions.push_back({korvalsim::Action::Kind::AwaitRead, {}, 0});
            from = cut;
        }
        if (cuts.empty() || cuts.back() < reply.size())
            actions.push_back({korvalsim::Action::Kind::Write,
                               {reply.begin() + static_cast<long>(from), reply.end()},
                               0});
        return actions;
    };
}

} // namespace

TEST_F(ConnectionTest, ReplyArrivingInPiecesIsReassembled) {
    startGateway({5});
    openAndWaitUntilConnected();
    for (const std::vector<std::size_t> &cuts :
         {std::vector<std::size_t>{9}, std::vector<std::size_t>{3, 9}}) {
        gateway->setResponder(replyInPieces(cuts));
        connection.sendCanMsg(0x605, READ_DEVICE_TYPE);
        Frame frame;
        while (read(frame, 3000) && frame.id != 0x585) {
        }
        EXPECT_EQ(frame.id, 0x585u) << cuts.size() + 1 << " pieces";
        EXPECT_EQ(frame.data,
                  (std::vector<uint8_t>{0x43, 0x00, 0x10, 0x00, 0x92, 0x01, 0x02, 0x00}));
    }
    // A node poll's reply in pieces too.
    Frame heartbeat;
    EXPECT_TRUE(read(heartbeat, 3000));
    EXPECT_EQ(heartbeat.id, 0x705u);
    // Each time the reply was whole: no failure, and no connection made again.
    for (auto &line : trace.lines())
        EXPECT_EQ(line.text.rfind("Receive:", 0), std::string::npos) << line.text;
    EXPECT_EQ(gateway->connectionsAccepted(), 1u);
}

TEST_F(ConnectionTest, ReplyThatStopsHalfWayFailsAtTheTimeLimit) {
    gateway->setResponder([](const std::vector<uint8_t> &request) {
        std::vector<uint8_t> half(request.begin(), request.begin() + 8);
        return std::vector<korvalsim::Action>{{korvalsim::Action::Kind::Write, half, 0}};
    });
    startGateway({5});
    connection.openConnection(address, 0);
    long connected = trace.waitForLine("Connecting to " + address, 2000);
    ASSERT_TRUE(gateway->waitForRequests(1, 3000)); // the first poll
    long failed = trace.waitForPrefix("Receive: Invalid frame or exception response!\ncnt=8 MB[",
                                      5000, static_cast<std::size_t>(connected));
    ASSERT_GE(failed, 0);
    // The poll's idle wait, then the reply's whole limit: both after the connecting line.
    EXPECT_GE(trace.millisecondsBetween(connected, failed),
              KorvalConnection::MODBUS_POLL_INTERVAL + KorvalConnection::MODBUS_TIME_OUT - 100);
    EXPECT_TRUE(eventually([this] { return connection.IsConnected() == 0; }));
}

TEST_F(ConnectionTest, TwoRepliesInOneReceiveAndGarbageAreInvalidFrames) {
    gateway->setResponder([](const std::vector<uint8_t> &request) {
        std::vector<uint8_t> reply(request.begin(), request.begin() + 9);
        reply.insert(reply.end(), {0x43, 0x00, 0x10, 0x00, 0, 0, 0, 0});
        std::vector<uint8_t> twice = reply;
        twice.insert(twice.end(), reply.begin(), reply.end());
        return std::vector<korvalsim::Action>{{korvalsim::Action::Kind::Write, twice, 0}};
    });
    startGateway({5});
    openAndWaitUntilConnected();
    connection.sendCanMsg(0x605, READ_DEVICE_TYPE);
    long twice =
        trace.waitForPrefix("Receive: Invalid frame or exception response!\ncnt=34 MB[", 4000);
    EXPECT_GE(twice, 0);
    gateway->setResponder(nullptr);
    gateway->setFault(Fault::Garbage, 17);
    EXPECT_GE(trace.waitForPrefix("Receive: Invalid frame or exception response!\ncnt=17 MB[", 9000,
                                  static_cast<std::size_t>(twice + 1)),
              0);
}

TEST_F(ConnectionTest, ReadWaitsItsWholeTimeOut) {
    Frame frame;
    for (uint32_t timeOut : {1u, 2u, 5u, 30u}) {
        const auto start = Clock::now();
        EXPECT_FALSE(read(frame, timeOut));
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(timeOut)) << timeOut << " ms";
    }
}

TEST_F(ConnectionTest, ReaderThatMissesAFrameWaitsForTheNext) {
    startGateway({5});
    openAndWaitUntilConnected();
    // Two readers, one heartbeat per poll: the one that does not get the first frame goes on
    // waiting and takes the next poll's.
    std::atomic<int> got{0};
    auto reader = [&] {
        Frame frame;
        if (read(frame, 5000) && frame.id == 0x705)
            ++got;
    };
    std::thread first(reader), second(reader);
    first.join();
    second.join();
    EXPECT_EQ(got, 2);
}

TEST_F(ConnectionTest, EmptyNodeListIsAnInvalidFrame) {
    gateway->setFault(Fault::EmptyNodeList);
    startGateway({5});
    connection.openConnection(address, 0);
    EXPECT_GE(trace.waitForPrefix("Receive: Invalid frame or exception response!\ncnt=9 MB[", 4000),
              0);
    Frame frame;
    EXPECT_FALSE(read(frame, 0));
}

TEST_F(ConnectionTest, FrameTooShortToEncodeFailsTheExchange) {
    startGateway({5});
    connection.openConnection(address, 0);
    ASSERT_TRUE(gateway->waitForConnections(1, 3000));
    connection.sendCanMsg(0x605, {0x40, 0x00, 0x10});
    EXPECT_GE(trace.waitForPrefix("Send/Receive: ", 3000), 0);
    EXPECT_TRUE(requestsOf(2).empty());
}

TEST_F(ConnectionTest, ReopenedConnectionPausesBeforeItsFirstAttempt) {
    startGateway({5});
    connection.openConnection(address, 0);
    ASSERT_TRUE(gateway->waitForConnections(1, 3000));
    connection.closeConnection();
    const std::size_t mark = trace.size();
    auto reopened = Clock::now();
    connection.openConnection(address, 0);
    ASSERT_GE(trace.waitForLine("Connecting to " + address, 5000, mark), 0);
    EXPECT_GE(millisecondsSince(reopened), 2900);
    EXPECT_TRUE(gateway->waitForConnections(2, 3000));
}

TEST_F(ConnectionTest, SteadyTrafficSuppressesThePolls) {
    startGateway({5});
    openAndWaitUntilConnected();
    // A frame every 200 ms for 2.5 s. The worker polls only after a whole poll interval
    // without frames, which lies within the time from before one of the test's writes to
    // after the next: a gap the test itself stretched that far (a stalled test thread) allows
    // one poll per interval in it; no other poll may come.
    const long interval = static_cast<long>(KorvalConnection::MODBUS_POLL_INTERVAL);
    Clock::time_point previousWrite;
    long pollsAllowed = 0;
    auto exchange = [&] {
        const auto writing = Clock::now();
        connection.sendCanMsg(0x605, READ_DEVICE_TYPE);
        if (previousWrite != Clock::time_point())
            pollsAllowed += millisecondsSince(previousWrite) / interval;
        previousWrite = writing;
        Frame frame;
        while (read(frame, 3000))
            if (frame.id == 0x585) // a poll's heartbeat may come first
                return true;
        return false;
    };
    ASSERT_TRUE(exchange());
    gateway->clearRequests(); // the polls of the idle time before the first frame
    const auto start = Clock::now();
    while (millisecondsSince(start) < 2500) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_TRUE(exchange());
    }
    const long polls = static_cast<long>(requestsOf(1).size());
    pollsAllowed += millisecondsSince(previousWrite) / interval;
    EXPECT_LE(polls, pollsAllowed);
}

// A worker held in a receive handler beyond the close's bound, as one that needs a lock its
// closer holds would be: the close gives up on it and says so, an open waits for it no longer
// either, and once the worker has ended an open works again.
TEST_F(ConnectionTest, CloseAndOpenWaitForAWorkerThatCannotEndOnlySoLong) {
    startGateway({5});
    auto release = std::make_shared<std::promise<void>>();
    auto held = std::make_shared<std::atomic<bool>>(false);
    std::shared_future<void> released = release->get_future().share();
    connection.onReceiveEvent.subscribe([held, released](KorvalConnection &) {
        if (!held->exchange(true))
            released.wait_for(std::chrono::seconds(60));
    });
    connection.openConnection(address, 0);
    ASSERT_TRUE(eventually([&] { return held->load(); }, 8000));
    connection.closeConnection();
    EXPECT_GE(trace.waitForLine("closeConnection: the worker has not ended within 8000 ms; the "
                                "close returns without it",
                                0),
              0);
    EXPECT_FALSE(connection.openConnection(address, 0));
    EXPECT_GE(trace.waitForLine(
                  "openConnection: the worker of the last close has not ended within 8000 ms", 0),
              0);
    release->set_value();
    EXPECT_TRUE(connection.openConnection(address, 0));
    EXPECT_TRUE(gateway->waitForConnections(2, 10000));
}
