// The Wireshark dissector korval.lua, run by tshark on captures that the gateway simulator
// writes: a scan as the library makes it, each fault of the simulator, and replies that break
// the library's own tests.
#include "gateway_model.h"
#include "gateway_simulator.h"
#include "modbus_frame.h"
#include "support/test_address.h"
#include "test_client.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace korvalsim;
using namespace korvalsim::wire;

namespace {

// The fields each test may look at: the dissector's own and its expert notes (1 when present).
const std::vector<std::string> Fields = {"frame.number",
                                         "tcp.srcport",
                                         "korval.tid",
                                         "korval.unit",
                                         "korval.subfunction",
                                         "korval.node",
                                         "korval.node_count",
                                         "korval.exception",
                                         "korval.sdo.cs",
                                         "korval.sdo.index",
                                         "korval.sdo.subindex",
                                         "korval.sdo.data",
                                         "korval.sdo.toggle",
                                         "korval.sdo.size",
                                         "korval.sdo.abort",
                                         "korval.request_in",
                                         "korval.response_in",
                                         "korval.time",
                                         "korval.bad_length",
                                         "korval.empty_list",
                                         "korval.bad_reply",
                                         "korval.exception_reply",
                                         "korval.split_reply",
                                         "korval.incomplete_reply",
                                         "korval.shared_segment",
                                         "korval.late_reply",
                                         "korval.no_reply",
                                         "korval.unsolicited",
                                         "korval.sdo.aborted",
                                         "korval.not_modbus",
                                         "korval.garbage",
                                         "modbus.func_code",
                                         "tcp.flags.fin"};
// The notes that mean trouble: a healthy exchange has none of them.
const std::vector<std::string> Problems = {"korval.bad_length",       "korval.empty_list",
                                           "korval.bad_reply",        "korval.exception_reply",
                                           "korval.incomplete_reply", "korval.shared_segment",
                                           "korval.late_reply",       "korval.no_reply",
                                           "korval.unsolicited",      "korval.not_modbus"};

using Row = std::map<std::string, std::string>;

std::string hex(const std::string &text) {
    std::string out;
    char two[3];
    for (unsigned char c : text) {
        std::snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

std::string read(const std::string &path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Each test: a simulator with nodes 5, 10 and 3 that captures to its own file, a client that
// speaks as the library does, and tshark with the dissector over the finished capture.
class Dissector : public ::testing::Test {
  protected:
    void SetUp() override {
        sim.setNodes({5, 10, 3});
        std::string error;
        ASSERT_TRUE(sim.capture(capture, &error)) << error;
        ASSERT_TRUE(sim.start(&error)) << sim.address() << ": " << error;
    }
    void TearDown() override {
        if (!HasFailure()) {
            std::remove(capture.c_str());
            std::remove((capture + ".err").c_str());
        }
    }

    // One request and its complete reply, as far as it comes.
    Bytes exchange(Client &client, const Bytes &request) {
        client.send(request);
        Bytes reply = client.read(6);
        if (reply.size() < 6)
            return reply;
        const size_t total = 6 + static_cast<size_t>(reply[4] << 8 | reply[5]);
        if (reply.size() < total) {
            const Bytes rest = client.read(total - reply.size());
            reply.insert(reply.end(), rest.begin(), rest.end());
        }
        return reply;
    }
    Bytes sdo(Client &client, uint8_t node, const SdoFrame &frame) {
        return exchange(client, sdoRequest(tid++, node, frame));
    }

    // Ends the capture and decodes it in two passes, as Wireshark shows a loaded file.
    std::vector<Row> decode(const std::string &filter = "korval") {
        sim.stop();
        std::string command = "tshark -n -2 -X lua_script:" KORVAL_DISSECTOR
                              " -o tcp.desegment_tcp_streams:TRUE -r '" +
                              capture + "' -Y '" + filter +
                              "' -T fields -E separator=/t -E occurrence=a -E aggregator=,";
        for (const std::string &field : Fields)
            command += " -e " + field;
        command += " 2>'" + capture + ".err'";
        std::FILE *pipe = popen(command.c_str(), "r");
        std::string output;
        if (pipe) {
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
                output.append(buffer, n);
            EXPECT_EQ(pclose(pipe), 0) << command << "\n" << read(capture + ".err");
        }
        const std::string errors = read(capture + ".err");
        EXPECT_EQ(errors.find("Lua"), std::string::npos) << errors;
        std::vector<Row> rows;
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            Row row;
            std::istringstream cells(line);
            std::string cell;
            for (size_t i = 0; i < Fields.size() && std::getline(cells, cell, '\t'); ++i)
                if (!cell.empty())
                    row[Fields[i]] = cell;
            rows.push_back(row);
        }
        return rows;
    }

    static std::string value(const Row &row, const std::string &field) {
        const auto it = row.find(field);
        return it == row.end() ? "" : it->second;
    }
    static std::vector<Row> where(const std::vector<Row> &rows, const std::string &field,
                                  const std::string &wanted) {
        std::vector<Row> found;
        for (const Row &row : rows)
            if (value(row, field) == wanted)
                found.push_back(row);
        return found;
    }
    static const Row &replyTo(const std::vector<Row> &rows, const Row &request) {
        static const Row none;
        for (const Row &row : rows)
            if (value(row, "frame.number") == value(request, "korval.response_in"))
                return row;
        return none;
    }
    static void expectNoProblems(const Row &row) {
        for (const std::string &problem : Problems)
            EXPECT_EQ(value(row, problem), "") << problem << " in frame " << row.at("frame.number");
    }

    GatewaySimulator sim{testsupport::uniqueLoopbackAddress()};
    std::string capture = ::testing::TempDir() + "korval_" +
                          ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                          std::to_string(getpid()) + ".pcap";
    uint16_t tid = 0;
};

SdoFrame segment(bool toggle) {
    return {static_cast<uint8_t>(toggle ? 0x70 : 0x60)};
}

} // namespace

TEST_F(Dissector, ScanDecodesEveryRequestAndReplyAndLinksThem) {
    {
        Client client(sim.address());
        ASSERT_TRUE(client.connected());
        ASSERT_EQ(exchange(client, nodeListRequest(tid++)).size(), 12u);
        for (uint8_t node : {5, 10, 3}) {
            sdo(client, node, upload(0x1000, 0));
            sdo(client, node, upload(0x1008, 0));
            bool toggle = false;
            for (int i = 0; i < 10; ++i, toggle = !toggle) // the name takes three segments
                if (sdo(client, node, segment(toggle)).at(9) & 1)
                    break;
            for (uint8_t sub = 1; sub <= 4; ++sub)
                sdo(client, node, upload(0x1018, sub));
        }
        sdo(client, 5, {0x23, 0x00, 0x20, 0x00, 0x78, 0x56, 0x34, 0x12});
        sdo(client, 10, upload(0x6000, 0));
    }
    const std::vector<Row> rows = decode();
    ASSERT_EQ(rows.size(), 2u * tid);

    // Every request has its reply, with the same transaction id, and the links go both ways.
    for (const Row &row : rows) {
        expectNoProblems(row);
        if (value(row, "korval.response_in").empty())
            continue;
        const Row &reply = replyTo(rows, row);
        EXPECT_EQ(value(reply, "korval.request_in"), value(row, "frame.number"));
        EXPECT_EQ(value(reply, "korval.tid"), value(row, "korval.tid"));
        EXPECT_EQ(value(reply, "korval.unit"), value(row, "korval.unit"));
        const double ms = std::stod(value(reply, "korval.time"));
        EXPECT_GE(ms, 0.0);
        EXPECT_LT(ms, 3000.0);
    }
    EXPECT_EQ(where(rows, "korval.request_in", "").size(), tid) << "every request answered";
    EXPECT_EQ(where(rows, "korval.response_in", "").size(), tid) << "every reply matched";

    const Row &poll = rows.at(0);
    EXPECT_EQ(value(poll, "korval.subfunction"), "1");
    EXPECT_EQ(value(poll, "korval.unit"), "255");
    const Row &nodes = replyTo(rows, poll);
    EXPECT_EQ(value(nodes, "korval.node"), "5,10,3");
    EXPECT_EQ(value(nodes, "korval.node_count"), "3");

    // Node 10's device name: initiated with its size, then segments with alternating toggle.
    const std::vector<Row> node10 = where(rows, "korval.unit", "10");
    const std::string name = defaultNodeInfo(10).deviceName;
    std::vector<Row> initiate;
    for (const Row &row : where(node10, "korval.sdo.index", "0x1008"))
        if (value(row, "tcp.srcport") == "502")
            initiate.push_back(row);
    ASSERT_EQ(initiate.size(), 1u);
    EXPECT_EQ(value(initiate[0], "korval.sdo.cs"), "2");
    EXPECT_EQ(value(initiate[0], "korval.sdo.size"), std::to_string(name.size()));
    std::string data, toggles;
    for (const Row &row : where(node10, "korval.sdo.cs", "0")) {
        data += value(row, "korval.sdo.data");
        toggles += value(row, "korval.sdo.toggle");
    }
    EXPECT_EQ(data, hex(name));
    EXPECT_EQ(toggles, "010");
    const std::vector<Row> vendor = where(node10, "korval.sdo.subindex", "0x01");
    ASSERT_EQ(vendor.size(), 2u);
    EXPECT_EQ(value(vendor[1], "korval.sdo.data"), "0a00524b") << "vendor id 0x4B52000A";

    // The download: data in the request, confirmation in the reply.
    const std::vector<Row> download = where(rows, "korval.sdo.index", "0x2000");
    ASSERT_EQ(download.size(), 2u);
    EXPECT_EQ(value(download[0], "korval.sdo.cs"), "1");
    EXPECT_EQ(value(download[0], "korval.sdo.data"), "78563412");
    EXPECT_EQ(value(download[1], "korval.sdo.cs"), "3");

    // An object that does not exist: the node aborts.
    const std::vector<Row> aborts = where(rows, "korval.sdo.aborted", "1");
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(value(aborts[0], "korval.sdo.abort"), "0x06020000");
    EXPECT_EQ(value(aborts[0], "korval.sdo.cs"), "4");
    EXPECT_EQ(value(aborts[0], "korval.sdo.index"), "0x6000");
    EXPECT_EQ(value(aborts[0], "korval.unit"), "10");
}

TEST_F(Dissector, UnansweredRequestIsMarked) {
    sim.setFault(Fault::NoReply);
    {
        Client client(sim.address());
        client.send(sdoRequest(tid++, 5, upload(0x1000, 0)));
        ASSERT_TRUE(sim.waitForRequests(1, Generous));
    }
    const std::vector<Row> rows = decode();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(value(rows[0], "korval.no_reply"), "1");
    EXPECT_EQ(value(rows[0], "korval.response_in"), "");
    EXPECT_EQ(value(rows[0], "korval.sdo.index"), "0x1000");
}

TEST_F(Dissector, ReplyAfterTheLibrarysWaitIsLate) {
    sim.setFault(Fault::DelayReply, 3100);
    {
        Client client(sim.address());
        client.send(nodeListRequest(tid++));
        ASSERT_EQ(client.read(12, 6000).size(), 12u);
    }
    const std::vector<Row> rows = decode();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(value(rows[1], "korval.late_reply"), "1");
    EXPECT_GE(std::stod(value(rows[1], "korval.time")), 3100.0);
    EXPECT_EQ(value(rows[1], "korval.node"), "5,10,3");
}

TEST_F(Dissector, ExceptionReplyShowsItsCode) {
    sim.setFault(Fault::ExceptionReply);
    {
        Client client(sim.address());
        exchange(client, sdoRequest(tid++, 10, upload(0x1000, 0)));
    }
    const std::vector<Row> rows = decode();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(value(rows[1], "korval.exception"), "11");
    EXPECT_EQ(value(rows[1], "korval.exception_reply"), "1");
    EXPECT_EQ(value(rows[1], "korval.unit"), "10");
    EXPECT_EQ(value(rows[1], "korval.request_in"), value(rows[0], "frame.number"));
}

TEST_F(Dissector, GarbageIsNotModbus) {
    sim.setFault(Fault::Garbage);
    {
        Client client(sim.address());
        client.send(nodeListRequest(tid++));
        ASSERT_EQ(client.read(17).size(), 17u);
    }
    const std::vector<Row> rows = decode();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(value(rows[0], "korval.no_reply"), "1");
    EXPECT_EQ(value(rows[1], "korval.not_modbus"), "1");
    EXPECT_EQ(value(rows[1], "korval.garbage").size(), 34u) << "all 17 bytes";
}

TEST_F(Dissector, EmptyNodeListIsMarked) {
    sim.setFault(Fault::EmptyNodeList);
    {
        Client client(sim.address());
        ASSERT_EQ(exchange(client, nodeListRequest(tid++)).size(), 9u);
        sdo(client, 3, upload(0x1000, 0));
    }
    const std::vector<Row> rows = decode();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(value(rows[1], "korval.empty_list"), "1");
    EXPECT_EQ(value(rows[1], "korval.node_count"), "0");
    EXPECT_EQ(value(rows[1], "korval.node"), "");
    expectNoProblems(rows[3]);
}

TEST_F(Dissector, SplitReplyIsReassembledWithANote) {
    sim.setFault(Fault::SplitReply);
    {
        Client client(sim.address());
        ASSERT_EQ(exchange(client, nodeListRequest(tid++)).size(), 12u);
        ASSERT_EQ(sdo(client, 5, upload(0x1018, 2)).size(), 17u);
    }
    const std::vector<Row> rows = decode();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(value(rows[1], "korval.split_reply"), "1");
    EXPECT_EQ(value(rows[1], "korval.node"), "5,10,3") << "the header itself was split";
    EXPECT_EQ(value(rows[1], "korval.request_in"), value(rows[0], "frame.number"));
    EXPECT_EQ(value(rows[3], "korval.split_reply"), "1");
    EXPECT_EQ(value(rows[3], "korval.sdo.data"), "05500000") << "product code 0x5005";
    for (const Row &row : rows)
        expectNoProblems(row); // the library joins the pieces too
}

TEST_F(Dissector, ReplyThatNeverCompletesIsMarked) {
    // The gateway sends the first 9 bytes of its reply and closes the connection.
    GatewayModel model;
    model.setNodes({5});
    sim.setResponder([&model](const Bytes &request) {
        const Bytes reply = model.reply(request, false);
        return std::vector<Action>{{Action::Kind::Write, Bytes(reply.begin(), reply.begin() + 9)},
                                   {Action::Kind::Close, {}}};
    });
    {
        Client client(sim.address());
        client.send(sdoRequest(tid++, 5, upload(0x1000, 0)));
        ASSERT_TRUE(client.closedByPeer());
    }
    const std::vector<Row> rows = decode();
    ASSERT_EQ(rows.size(), 1u) << "the piece is no frame of its own";
    EXPECT_EQ(value(rows[0], "korval.incomplete_reply"), "1");
    EXPECT_EQ(value(rows[0], "korval.no_reply"), "");
}

TEST_F(Dissector, RequestCutOffByTheGatewayHasNoReply) {
    sim.setFault(Fault::CloseAfterRequests, 1);
    {
        Client client(sim.address());
        ASSERT_EQ(exchange(client, nodeListRequest(tid++)).size(), 12u);
        client.send(nodeListRequest(tid++));
        ASSERT_TRUE(client.closedByPeer());
    }
    const std::vector<Row> rows = decode();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_NE(value(rows[0], "korval.response_in"), "");
    EXPECT_EQ(value(rows[2], "korval.no_reply"), "1");
    const std::vector<Row> fins = decode("tcp.flags.fin == 1");
    ASSERT_EQ(fins.size(), 2u);
    EXPECT_EQ(value(fins[0], "tcp.srcport"), "502") << "the gateway closed first";
}

TEST_F(Dissector, ConnectionClosedAtOnceCarriesNoFrame) {
    sim.setFault(Fault::CloseOnConnect);
    {
        Client client(sim.address());
        ASSERT_TRUE(client.closedByPeer());
    }
    EXPECT_TRUE(decode().empty());
    const std::vector<Row> packets = decode("tcp");
    ASSERT_EQ(packets.size(), 6u) << "handshake and closing";
    EXPECT_EQ(value(packets[3], "tcp.srcport"), "502");
    EXPECT_EQ(value(packets[3], "tcp.flags.fin"), "1");
}

TEST_F(Dissector, WrongLengthFieldsAreMarked) {
    // SDO replies of 16 bytes with length 10, of 18 with length 12, and of 17 with length 12:
    // the library takes only 17 bytes with length 11. The last one is cut where its segment
    // ends, as the library's one receive cuts it, instead of waiting for a byte that never comes.
    const std::vector<std::pair<size_t, uint8_t>> replies = {{16, 10}, {18, 12}, {17, 12}};
    sim.setResponder([&replies](const Bytes &request) {
        const auto [size, length] = replies.at(request[1]);
        Bytes reply = makeReply(request, {request[6], 0x64, 2, 0x60, 0, 0x20, 0, 0, 0, 0, 0, 0});
        reply.resize(size);
        reply[5] = length;
        return std::vector<Action>{{Action::Kind::Write, reply}};
    });
    {
        Client client(sim.address());
        for (const auto &reply : replies) {
            client.send(sdoRequest(tid++, 5, upload(0x2000, 0)));
            ASSERT_EQ(client.read(reply.first).size(), reply.first);
        }
    }
    const std::vector<Row> rows = decode();
    ASSERT_EQ(rows.size(), 6u);
    for (size_t i = 0; i < rows.size(); i += 2) {
        EXPECT_EQ(value(rows[i], "korval.bad_length"), "") << "the requests are right";
        EXPECT_EQ(value(rows[i + 1], "korval.bad_length"), "1");
        EXPECT_EQ(value(rows[i + 1], "korval.request_in"), value(rows[i], "frame.number"));
    }
    EXPECT_EQ(value(rows[5], "korval.sdo.cs"), "3") << "decoded as far as it goes";
}

TEST_F(Dissector, RepliesMatchByTransactionIdElseByOrder) {
    // Two copies of each reply in one segment; the second request's reply carries another id.
    GatewayModel model;
    model.setNodes({5});
    sim.setResponder([&model](const Bytes &request) {
        Bytes reply = model.reply(request, false);
        if (request[1] == 1)
            reply[1] = 0x77;
        Bytes twice = reply;
        if (request[1] == 0)
            twice.insert(twice.end(), reply.begin(), reply.end());
        return std::vector<Action>{{Action::Kind::Write, twice}};
    });
    {
        Client client(sim.address());
        client.send(nodeListRequest(tid++));
        ASSERT_EQ(client.read(20).size(), 20u);
        ASSERT_EQ(exchange(client, nodeListRequest(tid++)).size(), 10u);
    }
    // One packet is one row: the two replies in it show their fields one after the other.
    const std::vector<Row> rows = decode();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(value(rows[1], "korval.tid"), "0,0");
    EXPECT_EQ(value(rows[1], "korval.request_in"), value(rows[0], "frame.number"));
    EXPECT_EQ(value(rows[1], "korval.shared_segment"), "1,1");
    EXPECT_EQ(value(rows[1], "korval.unsolicited"), "1");
    EXPECT_EQ(value(rows[3], "korval.tid"), "119");
    EXPECT_EQ(value(rows[3], "korval.request_in"), value(rows[2], "frame.number"));
    expectNoProblems(rows[3]);
}

TEST_F(Dissector, OtherFunctionCodesGoToTheModbusDissector) {
    {
        Client client(sim.address());
        // Read holding registers: the gateway answers "illegal function".
        const Bytes reply = exchange(client, {0, 9, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1});
        ASSERT_EQ(reply.size(), 9u);
        ASSERT_EQ(reply[7], 0x83);
    }
    EXPECT_TRUE(decode().empty());
    const std::vector<Row> rows = decode("mbtcp");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(value(rows[0], "modbus.func_code"), "3");
    EXPECT_EQ(value(rows[0], "korval.tid"), "");
}
