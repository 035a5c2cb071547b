#include "gateway_simulator.h"

#include "peer_reading.h"

#include <chrono>
#include <utility>

namespace korvalsim {

namespace {

// Every blocking step wakes at least this often to notice stop().
constexpr unsigned PollMs = 20;
// Beyond this many simultaneous connections new ones are closed, which keeps threads bounded.
constexpr unsigned MaxConnections = 64;
// How long a client may take to read what it was sent before an AwaitRead gives up: below the
// library's 3000 ms limit for a reply, and far beyond a client that reads at all.
constexpr unsigned AwaitReadMs = 2000;

} // namespace

GatewaySimulator::GatewaySimulator(std::string address, uint16_t port)
    : address_(std::move(address)), port_(port) {}

GatewaySimulator::~GatewaySimulator() {
    stop();
}

const std::string &GatewaySimulator::address() const {
    return address_;
}

bool GatewaySimulator::start(std::string *error) {
    if (running_) {
        if (error)
            *error = "already running";
        return false;
    }
    listener_ = Socket::listenOn(address_, port_, 16, error);
    if (!listener_.valid())
        return false;
    stopping_ = false;
    running_ = true;
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void GatewaySimulator::stop() {
    {
        // Set under the lock so a pause cannot miss the wake-up.
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (acceptThread_.joinable())
        acceptThread_.join();
    for (auto &c : connections_)
        c->thread.join();
    connections_.clear();
    listener_.close();
    running_ = false;
}

void GatewaySimulator::setNodes(const std::vector<uint8_t> &nodeIds) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.setNodes(nodeIds);
}

void GatewaySimulator::setNode(const NodeInfo &info) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.setNode(info);
}

void GatewaySimulator::setFault(Fault fault, unsigned parameter) {
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = FaultSetting{fault, parameter};
}

void GatewaySimulator::setResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

bool GatewaySimulator::capture(const std::string &path, std::string *error) {
    return pcap_.open(path, error);
}

std::vector<std::vector<uint8_t>> GatewaySimulator::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {requests_.begin(), requests_.end()};
}

void GatewaySimulator::clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
    received_ = 0;
}

std::vector<std::vector<uint8_t>> GatewaySimulator::takeRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::vector<uint8_t>> taken(requests_.begin(), requests_.end());
    requests_.clear();
    received_ = 0;
    return taken;
}

unsigned GatewaySimulator::connectionsAccepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

unsigned GatewaySimulator::openConnections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

bool GatewaySimulator::waitForRequests(size_t count, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return received_ >= count; });
}

bool GatewaySimulator::waitForConnections(unsigned count, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return accepted_ >= count; });
}

void GatewaySimulator::acceptLoop() {
    while (!stopping_) {
        reapFinished();
        if (!listener_.waitReadable(PollMs))
            continue;
        Socket socket = listener_.accept();
        if (!socket.valid())
            continue;
        bool refuse;
        {
            // Counted before any close, so a client that saw the close also sees the count.
            std::lock_guard<std::mutex> lock(mutex_);
            refuse = fault_.fault == Fault::CloseOnConnect || open_ >= MaxConnections;
            ++accepted_;
            if (!refuse)
                ++open_;
        }
        changed_.notify_all();
        Link link = captured(std::move(socket));
        if (refuse) {
            link.socket.close();
            pcap_.finish(link.flow, true);
            continue;
        }
        connections_.push_back(std::make_unique<Connection>());
        Connection *c = connections_.back().get();
        c->thread = std::thread([this, c, l = std::move(link)]() mutable {
            serve(l);
            c->finished = true;
        });
    }
}

void GatewaySimulator::reapFinished() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

GatewaySimulator::Link GatewaySimulator::captured(Socket socket) {
    Link link{std::move(socket), {}};
    Endpoint server, client;
    if (pcap_.isOpen() && link.socket.endpoints(server, client))
        link.flow = pcap_.connect(client, server);
    return link;
}

void GatewaySimulator::serve(Link &link) {
    FrameReader reader;
    unsigned requestNumber = 0;
    uint8_t buffer[512];
    IoStatus ending = IoStatus::Done; // Done: the simulator ends the connection
    while (!stopping_) {
        if (!link.socket.waitReadable(PollMs))
            continue;
        const IoResult got = link.socket.receive(buffer, sizeof buffer);
        if (got.status == IoStatus::WouldBlock)
            continue;
        if (got.status != IoStatus::Done) {
            ending = got.status;
            break;
        }
        pcap_.clientData(link.flow, buffer, got.bytes);
        reader.append(buffer, got.bytes);
        if (!answerComplete(link, reader, requestNumber))
            break;
    }
    link.socket.close();
    if (ending == IoStatus::Failed)
        pcap_.reset(link.flow);
    else
        pcap_.finish(link.flow, ending == IoStatus::Done);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --open_;
    }
    changed_.notify_all();
}

bool GatewaySimulator::answerComplete(Link &link, FrameReader &reader, unsigned &requestNumber) {
    std::vector<uint8_t> frame;
    for (;;) {
        const FrameReader::Result result = reader.next(frame);
        if (result == FrameReader::Result::NeedMore)
            return true;
        if (result == FrameReader::Result::Invalid)
            return false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(frame);
            if (requests_.size() > MaxRecorded)
                requests_.pop_front();
            ++received_;
        }
        changed_.notify_all();
        if (!perform(link, actionsFor(frame, ++requestNumber)))
            return false;
    }
}

std::vector<Action> GatewaySimulator::actionsFor(const std::vector<uint8_t> &request,
                                                 unsigned requestNumber) {
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!responder_)
            return planActions(fault_, request, requestNumber, model_, noise_);
        responder = responder_;
    }
    // Called unlocked so a responder may itself reconfigure the simulator.
    return responder(request);
}

bool GatewaySimulator::perform(Link &link, const std::vector<Action> &actions) {
    for (const Action &action : actions) {
        switch (action.kind) {
        case Action::Kind::Write:
            if (!sendAll(link, action.bytes))
                return false;
            break;
        case Action::Kind::Pause:
            if (!pauseUnlessStopping(action.pauseMs))
                return false;
            break;
        case Action::Kind::Close:
            return false;
        case Action::Kind::AwaitRead:
            if (!awaitPeerRead(link))
                return false;
            break;
        }
    }
    return true;
}

bool GatewaySimulator::sendAll(Link &link, const std::vector<uint8_t> &bytes) {
    size_t sent = 0;
    // One send() call normally carries the whole reply; the loop only handles a full buffer.
    while (sent < bytes.size()) {
        if (stopping_)
            return false;
        const IoResult r = link.socket.send(bytes.data() + sent, bytes.size() - sent);
        if (r.status == IoStatus::Done) {
            pcap_.serverData(link.flow, bytes.data() + sent, r.bytes);
            sent += r.bytes;
        } else if (r.status == IoStatus::WouldBlock) {
            link.socket.waitWritable(PollMs);
        } else {
            return false;
        }
    }
    return true;
}

bool GatewaySimulator::pauseUnlessStopping(unsigned ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_for(lock, std::chrono::milliseconds(ms),
                              [&] { return stopping_.load(); });
}

// A client not seen to read ends the connection: the next piece must not reach it together
// with the one before.
bool GatewaySimulator::awaitPeerRead(const Link &link) {
    Endpoint local, peer;
    if (!link.socket.endpoints(local, peer))
        return false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(AwaitReadMs);
    for (;;) {
        std::size_t unread = 0;
        if (!unreadByPeer(local, peer, unread))
            return false;
        if (unread == 0)
            return true;
        if (std::chrono::steady_clock::now() >= until || !pauseUnlessStopping(1))
            return false;
    }
}

} // namespace korvalsim
