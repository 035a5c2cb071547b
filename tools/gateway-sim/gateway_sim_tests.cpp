// The simulator seen from the wire, through a plain socket client.
#include "black_hole.h"
#include "gateway_simulator.h"
#include "support/eventually.h"
#include "support/test_address.h"
#include "test_client.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using namespace korvalsim;
using namespace korvalsim::wire;
using testsupport::eventually;
using testsupport::uniqueLoopbackAddress;

namespace {

// Sends one SDO request and returns the SDO part of the reply after checking its header.
SdoFrame exchange(Client &client, uint8_t node, const SdoFrame &sdo) {
    static uint16_t tid = 0x100;
    ++tid;
    client.send(sdoRequest(tid, node, sdo));
    const Bytes reply = client.read(17);
    SdoFrame out{};
    EXPECT_EQ(reply.size(), 17u);
    if (reply.size() != 17)
        return out;
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 9),
              (Bytes{static_cast<uint8_t>(tid >> 8), static_cast<uint8_t>(tid), 0, 0, 0, 11, node,
                     0x64, 2}));
    std::copy(reply.begin() + 9, reply.end(), out.begin());
    return out;
}

uint32_t le32(const SdoFrame &f) {
    return f[4] | (f[5] << 8) | (f[6] << 16) | (static_cast<uint32_t>(f[7]) << 24);
}

bool startWithNodes(GatewaySimulator &sim) {
    std::string error;
    const bool started = sim.start(&error);
    EXPECT_TRUE(started) << sim.address() << ": " << error;
    sim.setNodes({5, 10, 3});
    return started;
}

} // namespace

TEST(Gateway, NodePollListsActiveNodesInOrder) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    Client client(sim.address());
    client.send(nodeListRequest(0xBEEF));
    EXPECT_EQ(client.readOnce(Generous), (Bytes{0xBE, 0xEF, 0, 0, 0, 6, 0xFF, 0x64, 1, 5, 10, 3}));
    sim.setNodes({});
    client.send(nodeListRequest(2));
    EXPECT_EQ(client.readOnce(Generous), (Bytes{0, 2, 0, 0, 0, 3, 0xFF, 0x64, 1}));
}

TEST(Gateway, SdoUploadsAndDownloadReachTheNode) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    NodeInfo info = defaultNodeInfo(10);
    info.deviceType = 0x00030191;
    info.deviceName = "a name that needs several segments";
    sim.setNode(info);
    Client client(sim.address());

    EXPECT_EQ(exchange(client, 10, upload(0x1000, 0)),
              (SdoFrame{0x43, 0x00, 0x10, 0x00, 0x91, 0x01, 0x03, 0x00}));

    const SdoFrame init = exchange(client, 10, upload(0x1008, 0));
    EXPECT_EQ(init[0], 0x41);
    std::string name;
    for (bool toggle = false; name.size() < le32(init) && name.size() < 100; toggle = !toggle) {
        const SdoFrame seg = exchange(client, 10, {static_cast<uint8_t>(toggle ? 0x70 : 0x60)});
        name.append(seg.begin() + 1, seg.begin() + 8 - ((seg[0] >> 1) & 7));
    }
    EXPECT_EQ(name, info.deviceName);

    EXPECT_EQ(exchange(client, 5, {0x23, 0x00, 0x20, 0x00, 0x78, 0x56, 0x34, 0x12})[0], 0x60);
    EXPECT_EQ(le32(exchange(client, 5, upload(0x2000, 0))), 0x12345678u);
    EXPECT_EQ(le32(exchange(client, 3, upload(0x2000, 0))), 0u) << "nodes share no data";
}

TEST(Gateway, SdoErrorsComeBackAsAborts) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    Client client(sim.address());
    EXPECT_EQ(exchange(client, 5, upload(0x5555, 0)), sdoAbort(0x5555, 0, 0x06020000));
    exchange(client, 5, upload(0x1008, 0));
    EXPECT_EQ(exchange(client, 5, {0x70}), sdoAbort(0x1008, 0, 0x05030000));
}

TEST(Gateway, RequestSplitAcrossWritesIsReassembled) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    Client client(sim.address());
    const Bytes request = sdoRequest(3, 5, upload(0x1000, 0));
    client.send(Bytes(request.begin(), request.begin() + 5));
    EXPECT_TRUE(client.readOnce(Quiet).empty());
    client.send(Bytes(request.begin() + 5, request.end()));
    EXPECT_EQ(client.read(17).size(), 17u);
    EXPECT_EQ(sim.requests(), std::vector<Bytes>{request});
}

TEST(Gateway, TwoRequestsInOneWriteGetTwoReplies) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    Client client(sim.address());
    Bytes both = nodeListRequest(1);
    const Bytes second = nodeListRequest(2);
    both.insert(both.end(), second.begin(), second.end());
    client.send(both);
    const Bytes replies = client.read(24);
    ASSERT_EQ(replies.size(), 24u);
    EXPECT_EQ(replies[1], 1);
    EXPECT_EQ(replies[13], 2);
    EXPECT_EQ(sim.requests(), (std::vector<Bytes>{nodeListRequest(1), second}));
}

TEST(Gateway, OverlongLengthFieldClosesConnection) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    Client client(sim.address());
    client.send({0, 1, 0, 0, 0, 254, 0xFF, 0x64});
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(sim.requests().empty());
}

TEST(Gateway, NoReplyReadsButNeverAnswers) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    sim.setFault(Fault::NoReply);
    Client client(sim.address());
    client.send(nodeListRequest(1));
    ASSERT_TRUE(sim.waitForRequests(1, Generous));
    EXPECT_TRUE(client.readOnce(Quiet).empty());
    EXPECT_EQ(sim.openConnections(), 1u);
}

TEST(Gateway, DelayReplyAnswersLate) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    sim.setFault(Fault::DelayReply, 1000);
    Client client(sim.address());
    client.send(nodeListRequest(1));
    EXPECT_TRUE(client.readOnce(Quiet).empty());
    EXPECT_EQ(client.read(12).size(), 12u);
}

TEST(Gateway, ExceptionReplyUsesCodeAndUnit) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    sim.setFault(Fault::ExceptionReply);
    Client client(sim.address());
    client.send(sdoRequest(0x0102, 5, upload(0x1000, 0)));
    EXPECT_EQ(client.readOnce(Generous), (Bytes{1, 2, 0, 0, 0, 3, 5, 0xE4, 0x0B}));
    sim.setFault(Fault::ExceptionReply, 0x0A);
    client.send(nodeListRequest(3));
    EXPECT_EQ(client.readOnce(Generous), (Bytes{0, 3, 0, 0, 0, 3, 0xFF, 0xE4, 0x0A}));
}

TEST(Gateway, GarbageIsNotAValidHeader) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    sim.setFault(Fault::Garbage);
    Client client(sim.address());
    client.send(nodeListRequest(0x4242));
    const Bytes reply = client.read(17);
    ASSERT_EQ(reply.size(), 17u);
    EXPECT_TRUE(reply[0] != 0x42 || reply[1] != 0x42 || reply[2] != 0 || reply[3] != 0);
    sim.setFault(Fault::Garbage, 200);
    client.send(nodeListRequest(1));
    EXPECT_EQ(client.read(200).size(), 200u);
}

TEST(Gateway, EmptyNodeListStillServesSdo) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    sim.setFault(Fault::EmptyNodeList);
    Client client(sim.address());
    client.send(nodeListRequest(1));
    EXPECT_EQ(client.readOnce(Generous), (Bytes{0, 1, 0, 0, 0, 3, 0xFF, 0x64, 1}));
    EXPECT_EQ(exchange(client, 5, upload(0x1000, 0))[0], 0x43);
}

TEST(Gateway, SplitReplyArrivesInTwoReads) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    sim.setFault(Fault::SplitReply, 500);
    Client client(sim.address());
    client.send(nodeListRequest(1));
    const Bytes first = client.readOnce(Generous);
    const Bytes second = client.readOnce(Generous);
    EXPECT_EQ(first, (Bytes{0, 1, 0, 0, 0, 6}));
    EXPECT_EQ(second, (Bytes{0xFF, 0x64, 1, 5, 10, 3}));
}

// The pieces of a reply around an AwaitRead, for a client that reads or does not.
std::vector<Action> piecesAwaitingRead(const Bytes &) {
    return {{Action::Kind::Write, {1, 2, 3}, 0},
            {Action::Kind::AwaitRead, {}, 0},
            {Action::Kind::Write, {4, 5}, 0}};
}

TEST(Gateway, AwaitReadSendsTheNextPieceOnlyOnceTheFirstWasRead) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    sim.setResponder(piecesAwaitingRead);
    Client client(sim.address());
    client.send(nodeListRequest(1));
    EXPECT_EQ(client.readOnce(Generous), (Bytes{1, 2, 3}));
    EXPECT_EQ(client.readOnce(Generous), (Bytes{4, 5}));
}

TEST(Gateway, AwaitReadEndsTheConnectionOfAClientThatDoesNotRead) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    sim.setResponder(piecesAwaitingRead);
    Client client(sim.address());
    client.send(nodeListRequest(1));
    ASSERT_TRUE(sim.waitForRequests(1, Generous));
    ASSERT_TRUE(eventually([&] { return sim.openConnections() == 0; }, Generous));
    EXPECT_EQ(client.read(5), (Bytes{1, 2, 3}));
    EXPECT_TRUE(client.closedByPeer());
}

TEST(Gateway, CloseAfterRequestsAnswersNThenCloses) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    sim.setFault(Fault::CloseAfterRequests, 2);
    Client client(sim.address());
    for (uint16_t tid = 1; tid <= 2; ++tid) {
        client.send(nodeListRequest(tid));
        EXPECT_EQ(client.read(12).size(), 12u);
    }
    client.send(nodeListRequest(3));
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(sim.waitForRequests(3, Generous));
    Client again(sim.address());
    again.send(nodeListRequest(4));
    EXPECT_EQ(again.read(12).size(), 12u) << "the count is per connection";
}

TEST(Gateway, CloseOnConnectDropsNewConnections) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    sim.setFault(Fault::CloseOnConnect);
    Client client(sim.address());
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_EQ(sim.connectionsAccepted(), 1u);
    EXPECT_EQ(sim.openConnections(), 0u);
}

TEST(Gateway, ResponderOverridesNormalBehaviour) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    sim.setResponder([](const Bytes &request) {
        Bytes echo(request.begin(), request.begin() + 2);
        return std::vector<Action>{{Action::Kind::Write, echo, 0},
                                   {Action::Kind::Pause, {}, 10},
                                   {Action::Kind::Close, {}, 0}};
    });
    Client client(sim.address());
    client.send(nodeListRequest(0x0A0B));
    EXPECT_EQ(client.readOnce(Generous), (Bytes{0x0A, 0x0B}));
    EXPECT_TRUE(client.closedByPeer());

    sim.setResponder({});
    Client normal(sim.address());
    normal.send(nodeListRequest(1));
    EXPECT_EQ(normal.read(12).size(), 12u);
}

TEST(Gateway, TracksConnectionsAndRequestsAcrossThem) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    {
        Client a(sim.address());
        Client b(sim.address());
        ASSERT_TRUE(sim.waitForConnections(2, Generous));
        EXPECT_EQ(sim.openConnections(), 2u);
        a.send(nodeListRequest(1));
        ASSERT_TRUE(sim.waitForRequests(1, Generous));
        b.send(nodeListRequest(2));
        ASSERT_TRUE(sim.waitForRequests(2, Generous));
    }
    EXPECT_EQ(sim.requests(), (std::vector<Bytes>{nodeListRequest(1), nodeListRequest(2)}));
    EXPECT_TRUE(eventually([&] { return sim.openConnections() == 0; }, Generous));
    sim.clearRequests();
    EXPECT_TRUE(sim.requests().empty());
    EXPECT_FALSE(sim.waitForRequests(1, 0));
}

TEST(Gateway, StopEndsConnectionsAndAllowsRestart) {
    GatewaySimulator sim(uniqueLoopbackAddress());
    ASSERT_TRUE(startWithNodes(sim));
    sim.setFault(Fault::DelayReply, 60000);
    {
        Client client(sim.address());
        client.send(nodeListRequest(1));
        ASSERT_TRUE(sim.waitForRequests(1, Generous));
        sim.stop();
        EXPECT_TRUE(client.closedByPeer());
        EXPECT_EQ(sim.openConnections(), 0u);
    } // both ends closed, our side first: the old connection now lingers in TIME_WAIT

    std::string error;
    ASSERT_TRUE(sim.start(&error)) << error;
    sim.setFault(Fault::None);
    Client after(sim.address());
    after.send(nodeListRequest(2));
    EXPECT_EQ(after.read(12).size(), 12u);
}

TEST(GatewayStart, RefusesNonLoopbackAndBusyAddresses) {
    for (const char *address : {"0.0.0.0", "10.1.2.3", "127.0.0", "127.0.0.1.1", "127.0.0.256"}) {
        GatewaySimulator sim(address);
        std::string error;
        EXPECT_FALSE(sim.start(&error)) << address;
        EXPECT_FALSE(error.empty());
    }
    const std::string address = uniqueLoopbackAddress();
    GatewaySimulator first(address);
    ASSERT_TRUE(first.start());
    GatewaySimulator second(address);
    std::string error;
    EXPECT_FALSE(second.start(&error));
    EXPECT_FALSE(first.start()) << "already running";
}

TEST(BlackHoleTest, ConnectDoesNotCompleteWithinThreeSeconds) {
    const std::string address = uniqueLoopbackAddress();
    BlackHole hole(address);
    std::string error;
    ASSERT_TRUE(hole.start(&error)) << error;
    Socket socket;
    EXPECT_EQ(Socket::connectTo(address, 502, 3000, socket, nullptr), ConnectResult::TimedOut);
}
