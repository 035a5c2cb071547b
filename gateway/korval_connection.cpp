#include "gateway/korval_connection.h"

#include "gateway/modbus_frame.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace Korval {

namespace {

const char *const FATAL_FIRMWARE_MESSAGE =
    "This KORVAL's firmware does not support the CANopen SDO interface!";

// A failure of the gateway link; the stage that catches it traces it and closes the socket.
class GatewayError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Unwinds the worker out of whichever wait it is in when closeConnection asks it to stop.
// Deliberately not a std::exception, so that no error handler of a stage catches it.
struct WorkerStopped {};

// The socket operations report how they ended; a stop ends the worker, a platform failure
// is an error of the current stage.
void checkNotStoppedOrFailed(const os::IoResult &result) {
    if (result.status == os::IoStatus::Stopped)
        throw WorkerStopped{};
    if (result.status == os::IoStatus::Failed)
        throw GatewayError(result.error);
}

// Marks the time a handler runs, also when it throws.
class RaisingFlag {
  public:
    explicit RaisingFlag(std::atomic<bool> &target) : flag(target) { flag = true; }
    ~RaisingFlag() { flag = false; }
    RaisingFlag(const RaisingFlag &) = delete;
    RaisingFlag &operator=(const RaisingFlag &) = delete;

  private:
    std::atomic<bool> &flag;
};

bool isSdoRequestId(uint32_t id) {
    return id >= KorvalConnection::CANOPEN_SDO_REQUEST &&
           id <= KorvalConnection::CANOPEN_SDO_REQUEST + KorvalConnection::CANOPEN_MAX_NODES;
}

} // namespace

KorvalConnection::KorvalConnection() = default;

KorvalConnection::~KorvalConnection() {
    closeConnection();
}

void KorvalConnection::openConnection(const std::string &hostName, int32_t nodeLimit) {
    std::lock_guard<std::mutex> guard(lifecycleLock);
    if (workerRunning)
        return;
    if (workerThread.joinable())
        workerThread.join(); // a worker that has already ended
    limitNodeId = nodeLimit;
    stopRequest.reset();
    workerRunning = true;
    workerThread = std::thread(&KorvalConnection::backgroundThreadRun, this, hostName);
    workerThreadId = workerThread.get_id();
}

void KorvalConnection::closeConnection() {
    stopRequest.raise();
    {
        // Taking the lock orders the stop before the worker's next look at its queue.
        std::lock_guard<std::mutex> guard(txQueue.lock);
    }
    txQueue.pulse.notify_all();
    // A receive handler that closes its own connection: the worker ends once it returns.
    if (std::this_thread::get_id() == workerThreadId)
        return;
    // The worker may be inside a synchronous window message to this very thread.
    while (workerRunning && stopRequest.isRaised()) {
        os::letSentMessagesThrough(raisingReceiveEvent);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::lock_guard<std::mutex> guard(lifecycleLock);
    if (!workerRunning && workerThread.joinable())
        workerThread.join();
}

int32_t KorvalConnection::IsConnected() const {
    std::lock_guard<std::mutex> guard(socketLock);
    return clientSocket && clientSocket->isConnected() ? 1 : 0;
}

void KorvalConnection::sendCanMsg(uint32_t canId, std::vector<uint8_t> canMsgArr) {
    CanMsg frame(0);
    frame.id = canId;
    frame.byteArr = std::move(canMsgArr);
    {
        std::lock_guard<std::mutex> guard(txQueue.lock);
        txQueue.items.push_back(std::move(frame));
    }
    txQueue.pulse.notify_one();
}

void KorvalConnection::clearSendBuffer() {
    std::lock_guard<std::mutex> guard(txQueue.lock);
    txQueue.items.clear();
}

int32_t KorvalConnection::GetMsgCnt() const {
    std::lock_guard<std::mutex> guard(rxQueue.lock);
    return static_cast<int32_t>(rxQueue.items.size());
}

bool KorvalConnection::readCanMsg(uint32_t &canId, std::vector<uint8_t> &canMsgArr,
                                  uint32_t timeOut) {
    std::unique_lock<std::mutex> guard(rxQueue.lock);
    if (timeOut > 0 && rxQueue.items.empty())
        waitForFrame(guard, timeOut);
    if (rxQueue.items.empty())
        return false;
    canId = rxQueue.items.front().id;
    canMsgArr = std::move(rxQueue.items.front().byteArr);
    rxQueue.items.pop_front();
    return true;
}

void KorvalConnection::waitForFrame(std::unique_lock<std::mutex> &guard, uint32_t timeOut) {
    // The platform wait takes a signed count: every value beyond it waits without limit.
    const bool unlimited = timeOut >= 0x80000000u;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeOut);
    const uint64_t seen = rxQueue.appended;
    auto woken = [this, seen] { return rxQueue.appended != seen; };
    for (;;) {
        auto slice = std::chrono::milliseconds(SENT_MESSAGE_SLICE);
        if (!unlimited) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return;
            slice = std::min(slice, left);
        }
        if (rxQueue.pulse.wait_for(guard, slice, woken))
            return;
        // A host that waits here on the thread of its notify window would otherwise hold up
        // the worker's synchronous notification, and with it the frame it is waiting for.
        guard.unlock();
        os::letSentMessagesThrough(false);
        guard.lock();
    }
}

void KorvalConnection::clearReceiveBuffer() {
    std::lock_guard<std::mutex> guard(rxQueue.lock);
    rxQueue.items.clear();
}

template <class Stage> void KorvalConnection::runStage(const char *stageName, Stage stage) {
    try {
        stage();
    } catch (const WorkerStopped &) {
        throw;
    } catch (const std::exception &error) {
        doError(stageName, error.what());
    } catch (...) {
        doError(stageName, "unknown error");
    }
}

void KorvalConnection::backgroundThreadRun(const std::string &data) {
    try {
        for (;;) {
            pauseBeforeReconnect();
            if (!IsConnected()) {
                clearSendBuffer();
                clearReceiveBuffer();
                runStage("Connect", [&] { doConnect(data); });
            }
            if (!IsConnected())
                continue;

            bool haveFrame = false;
            CanMsg frame(0);
            runStage("getActiveNodes failed", [&] {
                frame = takeNextFrame();
                haveFrame = true;
            });
            if (!haveFrame)
                continue;
            if (isSdoRequestId(frame.id))
                runStage("Send/Receive", [&] { doSend(frame); });
            else
                os::writeTrace("TxQueue: Invalid CAN msg");
        }
    } catch (const WorkerStopped &) {
        // A stop request is not a failure: nothing to trace.
    }
    closeSocket();
    workerRunning = false;
}

void KorvalConnection::pauseBeforeReconnect() {
    if (connectAttempted && !IsConnected() && !stopRequest.sleepFor(MODBUS_RECONNECT_PAUSE))
        throw WorkerStopped{};
    if (stopRequest.isRaised())
        throw WorkerStopped{};
}

KorvalConnection::CanMsg KorvalConnection::takeNextFrame() {
    std::unique_lock<std::mutex> guard(txQueue.lock);
    for (;;) {
        bool queued =
            txQueue.pulse.wait_for(guard, std::chrono::milliseconds(MODBUS_POLL_INTERVAL), [this] {
                return !txQueue.items.empty() || stopRequest.isRaised();
            });
        if (stopRequest.isRaised())
            throw WorkerStopped{};
        if (queued) {
            CanMsg frame = std::move(txQueue.items.front());
            txQueue.items.pop_front();
            return frame;
        }
        // The poll runs without the queue's lock, so that a host that writes a frame (from
        // its receive handler, too) never waits for the gateway; frames queued meanwhile are
        // taken after the poll, in order.
        guard.unlock();
        getActiveNodes();
        guard.lock();
    }
}

void KorvalConnection::doConnect(const std::string &hostName) {
    connectAttempted = true;
    std::string error;
    std::unique_ptr<os::TcpSocket> socket = os::TcpSocket::create(error);
    if (!socket)
        throw GatewayError(error);
    if (!socket->disableNagle(error))
        throw GatewayError(error);
    {
        std::lock_guard<std::mutex> guard(socketLock);
        clientSocket = std::move(socket);
    }
    os::writeTrace("Connecting to " + hostName);
    os::IoResult result =
        clientSocket->connect(hostName, MODBUS_TCP_PORT, MODBUS_TIME_OUT, stopRequest);
    checkNotStoppedOrFailed(result);
    if (result.status == os::IoStatus::TimedOut)
        doError("Connect", "time-out");
}

void KorvalConnection::doSend(const CanMsg &canMsg) {
    SdoRequest request;
    if (!buildSdoRequest(canMsg.id, canMsg.byteArr, request))
        throw GatewayError("an SDO request needs 8 data bytes, the frame has " +
                           std::to_string(canMsg.byteArr.size()));
    os::IoResult result =
        clientSocket->send(request.data(), request.size(), MODBUS_TIME_OUT, stopRequest);
    checkNotStoppedOrFailed(result);
    if (result.status == os::IoStatus::TimedOut)
        doError("Send", "time-out");
    else if (result.count != request.size())
        doError("Send", "failed");
    else
        doReceive();
}

void KorvalConnection::getActiveNodes() {
    ActiveNodesRequest request = buildActiveNodesRequest();
    os::IoResult result =
        clientSocket->send(request.data(), request.size(), MODBUS_TIME_OUT, stopRequest);
    checkNotStoppedOrFailed(result);
    if (result.status == os::IoStatus::TimedOut) {
        doError("getActiveNodes", "time-out");
    } else if (result.count != request.size()) {
        os::writeTrace("getActiveNodes: failed");
        onFatalError.raise(*this, std::string(FATAL_FIRMWARE_MESSAGE));
    } else {
        doReceive();
    }
}

void KorvalConnection::doReceive() {
    ReplyBuffer buffer{};
    os::IoResult result =
        clientSocket->receive(buffer.data(), buffer.size(), MODBUS_TIME_OUT, stopRequest);
    checkNotStoppedOrFailed(result);
    if (result.status == os::IoStatus::TimedOut) {
        doError("Receive", "time-out");
        return;
    }
    DecodedReply reply = decodeReply(buffer, result.count);
    switch (reply.kind) {
    case DecodedReply::Kind::SdoReply: {
        CanMsg response(8);
        response.id = CANOPEN_SDO_RESPONSE + reply.nodeId;
        response.byteArr.assign(reply.sdoBytes.begin(), reply.sdoBytes.end());
        deliver(std::move(response));
        break;
    }
    case DecodedReply::Kind::NodeList:
        for (uint8_t node : reply.nodeIds) {
            if (limitNodeId != 0 && limitNodeId != node)
                continue;
            CanMsg heartbeat(1);
            heartbeat.id = CANOPEN_HEARTBEAT + node;
            heartbeat.byteArr[0] = CANOPEN_NODE_OPERATIONAL;
            deliver(std::move(heartbeat));
        }
        break;
    case DecodedReply::Kind::Invalid:
        doError("Receive", reply.invalidDetail);
        break;
    }
}

void KorvalConnection::deliver(CanMsg frame) {
    {
        std::lock_guard<std::mutex> guard(rxQueue.lock);
        rxQueue.items.push_back(std::move(frame));
        ++rxQueue.appended;
    }
    rxQueue.pulse.notify_one();
    RaisingFlag raising(raisingReceiveEvent);
    onReceiveEvent.raise(*this);
}

void KorvalConnection::doError(const std::string &msg, const std::string &data) {
    os::writeTrace(msg, data);
    closeSocket();
}

void KorvalConnection::closeSocket() {
    std::lock_guard<std::mutex> guard(socketLock);
    if (clientSocket)
        clientSocket->close();
}

} // namespace Korval
