#include "fake_bus.h"
#include "scan.h"
#include "sdo_server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

using namespace canopenscan;
using canopenscan::test::FakeBus;
using canopenscan::test::frame;
using canopenscan::test::Written;

namespace {

// Nodes answering from the simulator's dictionary; ids without a server stay silent.
void serveNodes(FakeBus &bus, std::map<uint8_t, korvalsim::SdoServer> &servers) {
    bus.answer = [&servers](const Written &w) {
        const uint8_t node = static_cast<uint8_t>(w.id - 0x600);
        auto it = servers.find(node);
        if (it == servers.end())
            return std::vector<CanFrame>{};
        return std::vector<CanFrame>{frame(0x580u + node, it->second.handle(w.data))};
    };
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

} // namespace

TEST(Options, DefaultsAndValues) {
    Options options;
    std::string error;
    ASSERT_TRUE(parseOptions({}, options, error));
    EXPECT_EQ(options.listenSeconds, 3u);
    EXPECT_EQ(options.sdoTimeoutMs, 1000u);
    EXPECT_FALSE(options.notify);
    ASSERT_TRUE(
        parseOptions({"--listen", "7", "--sdo-timeout", "250", "--notify"}, options, error));
    EXPECT_EQ(options.listenSeconds, 7u);
    EXPECT_EQ(options.sdoTimeoutMs, 250u);
    EXPECT_TRUE(options.notify);
    ASSERT_TRUE(parseOptions({"--help"}, options, error));
    EXPECT_TRUE(options.help);
}

TEST(Options, RefusesWhatItDoesNotUnderstand) {
    const std::vector<std::vector<std::string>> bad = {{"--listen"},
                                                       {"--listen", "0"},
                                                       {"--listen", "3601"},
                                                       {"--sdo-timeout", "-5"},
                                                       {"--sdo-timeout", "1e3"},
                                                       {"--address", "127.0.0.1"},
                                                       {"extra"}};
    for (const auto &arguments : bad) {
        Options options;
        std::string error;
        EXPECT_FALSE(parseOptions(arguments, options, error)) << arguments[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(Heartbeats, ListEachNodeOnceInAscendingOrder) {
    FakeBus bus;
    for (uint32_t id : {0x705u, 0x70Au, 0x703u, 0x705u, 0x700u, 0x780u, 0x585u, 0x77Fu})
        bus.received.push_back(frame(id, {5}, 1));
    std::vector<uint8_t> nodes;
    std::string error;
    const uint64_t start = bus.now;
    ASSERT_TRUE(listenForHeartbeats(bus.port(), 3000, nodes, error));
    EXPECT_EQ(nodes, (std::vector<uint8_t>{3, 5, 10, 127}));
    EXPECT_EQ(bus.now - start, 3000u); // listened the whole time, not only until a lull
}

TEST(Heartbeats, ListeningEndsOnAChattyBus) {
    FakeBus bus;
    bus.chatter = true;
    std::vector<uint8_t> nodes;
    std::string error;
    ASSERT_TRUE(listenForHeartbeats(bus.port(), 3000, nodes, error));
    EXPECT_EQ(nodes, (std::vector<uint8_t>{5}));
}

TEST(Heartbeats, DriverFailureIsReported) {
    FakeBus bus;
    bus.failReads = true;
    std::vector<uint8_t> nodes;
    std::string error;
    EXPECT_FALSE(listenForHeartbeats(bus.port(), 3000, nodes, error));
    EXPECT_EQ(error, "driver gone");
}

TEST(NodeReport, IdentityOfASimulatedNode) {
    std::map<uint8_t, korvalsim::SdoServer> servers;
    servers.emplace(10, korvalsim::SdoServer(korvalsim::defaultNodeInfo(10)));
    FakeBus bus;
    serveNodes(bus, servers);
    SdoClient client(bus.port(), 1000);
    const NodeReport report = readNode(client, 10);
    const korvalsim::NodeInfo info = korvalsim::defaultNodeInfo(10);
    EXPECT_TRUE(report.answered);
    EXPECT_EQ(report.error, "");
    EXPECT_EQ(report.cells, (std::vector<std::string>{hex(info.deviceType), info.deviceName,
                                                      hex(info.vendorId), hex(info.productCode),
                                                      hex(info.revision), hex(info.serial)}));
}

TEST(NodeReport, SilentNodeCostsOneTimeOutOnly) {
    FakeBus bus;
    SdoClient client(bus.port(), 1000);
    const NodeReport report = readNode(client, 7);
    EXPECT_FALSE(report.answered);
    EXPECT_EQ(report.error, "no SDO answer within 1000 ms");
    EXPECT_EQ(bus.written.size(), 1u);
}

TEST(NodeReport, OneFailingObjectShowsInItsCell) {
    korvalsim::NodeInfo info = korvalsim::defaultNodeInfo(3);
    info.deviceName = std::string("ab\x01\0\0", 5); // unprintable byte, NUL padding
    std::map<uint8_t, korvalsim::SdoServer> servers;
    servers.emplace(3, korvalsim::SdoServer(info));
    FakeBus bus;
    serveNodes(bus, servers);
    auto serve = bus.answer;
    bus.answer = [serve](const Written &w) {
        if (w.data[1] == 0x18 && w.data[3] == 3) // revision: the node aborts
            return std::vector<CanFrame>{frame(0x583, korvalsim::sdoAbort(0x1018, 3, 0x06010001))};
        return serve(w);
    };
    SdoClient client(bus.port(), 1000);
    const NodeReport report = readNode(client, 3);
    ASSERT_EQ(report.cells.size(), 6u);
    EXPECT_EQ(report.error, "");
    EXPECT_EQ(report.cells[1], "ab?");
    EXPECT_EQ(report.cells[4], "attempt to read a write-only object");
    EXPECT_EQ(report.cells[5], hex(info.serial));
}

TEST(NodeReport, SameAbortEverywhereStandsInPlaceOfTheValues) {
    FakeBus bus;
    bus.answer = [](const Written &w) {
        return std::vector<CanFrame>{
            frame(0x584, korvalsim::sdoAbort(static_cast<uint16_t>(w.data[1] | w.data[2] << 8),
                                             w.data[3], 0x08000000))};
    };
    SdoClient client(bus.port(), 1000);
    const NodeReport report = readNode(client, 4);
    EXPECT_TRUE(report.answered);
    EXPECT_EQ(report.error, "general error");
    EXPECT_TRUE(report.cells.empty());
}

TEST(Table, ColumnsLineUpAndErrorsTakeThePlaceOfValues) {
    NodeReport good;
    good.node = 5;
    good.cells = {"0x00020192", "KORVAL sim node 5", "0x4B520005",
                  "0x00005005", "0x00010005",        "0x20240005"};
    NodeReport silent;
    silent.node = 12;
    silent.error = "no SDO answer within 1000 ms";
    EXPECT_EQ(formatTable({good, silent}),
              "node  device type  device name        vendor id   product code  revision    serial\n"
              "5     0x00020192   KORVAL sim node 5  0x4B520005  0x00005005    0x00010005  "
              "0x20240005\n"
              "12    no SDO answer within 1000 ms\n");
}
