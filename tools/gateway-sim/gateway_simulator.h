// In-process Modbus/TCP peer that behaves like the KORVAL gateway, with fault injection.
#pragma once

#include "fault_plan.h"
#include "gateway_model.h"
#include "modbus_frame.h"
#include "pcap_writer.h"
#include "sdo_server.h"
#include "socket_io.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvalsim {

class GatewaySimulator {
  public:
    explicit GatewaySimulator(std::string address = "127.0.0.1", uint16_t port = 502);
    ~GatewaySimulator();
    GatewaySimulator(const GatewaySimulator &) = delete;
    GatewaySimulator &operator=(const GatewaySimulator &) = delete;

    // Binds, listens and starts serving; false with a reason on failure (or if running).
    bool start(std::string *error = nullptr);
    // Closes the listener and every connection and joins all threads, within about 100 ms.
    void stop();
    const std::string &address() const;

    // Everything below may be called at any time from any thread.
    void setNodes(const std::vector<uint8_t> &nodeIds);
    void setNode(const NodeInfo &info);
    void setFault(Fault fault, unsigned parameter = 0);
    // A non-empty responder decides the reply to every request instead of the gateway logic
    // and the fault (CloseOnConnect still closes new connections).
    void setResponder(Responder responder);
    // Writes the traffic of every connection accepted from now on to a pcap file (replaced if
    // it exists), until the simulator is destroyed; false with a reason.
    bool capture(const std::string &path, std::string *error = nullptr);

    // Requests are recorded in arrival order across connections; only the most recent
    // MaxRecorded are kept, so a long benchmark does not grow without end.
    static constexpr size_t MaxRecorded = 65536;
    std::vector<std::vector<uint8_t>> requests() const;
    void clearRequests();
    // Snapshot and clear in one step, so none is missed between the two.
    std::vector<std::vector<uint8_t>> takeRequests();
    unsigned connectionsAccepted() const;
    unsigned openConnections() const;
    // Counts requests received since the last clear.
    bool waitForRequests(size_t count, unsigned timeoutMs) const;
    bool waitForConnections(unsigned count, unsigned timeoutMs) const;

  private:
    // A served connection and its packets in the capture.
    struct Link {
        Socket socket;
        TcpFlow flow;
    };
    struct Connection {
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    void acceptLoop();
    void reapFinished();
    Link captured(Socket socket);
    void serve(Link &link);
    // Records and answers every complete request buffered in reader; false to end the connection.
    bool answerComplete(Link &link, FrameReader &reader, unsigned &requestNumber);
    std::vector<Action> actionsFor(const std::vector<uint8_t> &request, unsigned requestNumber);
    // False when the connection must end (close action, write failure or stop).
    bool perform(Link &link, const std::vector<Action> &actions);
    bool sendAll(Link &link, const std::vector<uint8_t> &bytes);
    bool pauseUnlessStopping(unsigned ms);
    bool awaitPeerRead(const Link &link);

    const std::string address_;
    const uint16_t port_;
    Socket listener_;
    PcapWriter pcap_;
    std::thread acceptThread_;
    std::list<std::unique_ptr<Connection>> connections_; // touched by the accept thread only
    std::atomic<bool> stopping_{false};
    bool running_ = false;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    GatewayModel model_;
    FaultSetting fault_;
    Responder responder_;
    Noise noise_;
    std::deque<std::vector<uint8_t>> requests_;
    size_t received_ = 0;
    unsigned accepted_ = 0;
    unsigned open_ = 0;
};

} // namespace korvalsim
