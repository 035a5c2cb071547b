#include "gateway/korval_connection.h"

#include "gateway/modbus_frame.h"

#include <exception>

namespace Korval {

namespace {

const char *const FATAL_FIRMWARE_MESSAGE =
    "This KORVAL's firmware does not support the CANopen SDO interface!";

using Outcome = KorvalConnection::Outcome;

Outcome done() {
    return {};
}

Outcome failed(std::string error) {
    return {Outcome::Kind::Failed, std::move(error)};
}

Outcome stopped() {
    return {Outcome::Kind::Stopped, {}};
}

// A socket operation that did not complete: a stop ends the worker, a platform failure is an
// error of the current stage. Time-outs are each caller's own.
bool endsTheStep(const os::IoResult &result, Outcome &outcome) {
    if (result.status == os::IoStatus::Stopped) {
        outcome = stopped();
        return true;
    }
    if (result.status == os::IoStatus::Failed) {
        outcome = failed(result.error);
        return true;
    }
    return false;
}

bool isSdoRequestId(uint32_t id) {
    return id >= KorvalConnection::CANOPEN_SDO_REQUEST &&
           id <= KorvalConnection::CANOPEN_SDO_REQUEST + KorvalConnection::CANOPEN_MAX_NODES;
}

// The platform wait takes a signed count: every value beyond it waits without limit.
uint32_t readTimeOut(uint32_t timeOut) {
    return timeOut >= 0x80000000u ? os::WAIT_FOREVER : timeOut;
}

} // namespace

KorvalConnection::KorvalConnection() = default;

KorvalConnection::~KorvalConnection() {
    closeConnection();
}

bool KorvalConnection::openConnection(const std::string &hostName, int32_t nodeLimit) {
    for (;;) {
        std::shared_ptr<os::Thread> stopping;
        {
            std::lock_guard<std::mutex> guard(lifecycleLock);
            if (!workerThread || workerThread->hasEnded()) {
                if (!stopRequest.isValid()) {
                    os::writeTrace("openConnection", "the system cannot provide a stop signal");
                    return false;
                }
                limitNodeId = nodeLimit;
                stopRequest.reset();
                std::string error;
                workerThread =
                    os::Thread::start([this, hostName] { backgroundThreadRun(hostName); }, error);
                if (!workerThread) {
                    os::writeTrace("openConnection", error);
                    return false;
                }
                return true;
            }
            if (!stopRequest.isRaised())
                return true; // already open
            stopping = workerThread;
        }
        // A close is under way (on another thread, or further up this one), or one gave up on
        // its worker: the new worker starts once the old one has ended, which its stop request
        // makes prompt.
        const HostNotification::HostWait wait = beginHostWait(true);
        const bool ended =
            stopping->waitForEnd(WORKER_END_LIMIT, wait != HostNotification::HostWait::Plain);
        endHostWait(wait);
        if (!ended) {
            os::writeTrace("openConnection", "the worker of the last close has not ended within " +
                                                 std::to_string(WORKER_END_LIMIT) + " ms");
            return false;
        }
    }
}

void KorvalConnection::closeConnection() {
    std::shared_ptr<os::Thread> worker;
    bool running = false;
    {
        std::lock_guard<std::mutex> guard(lifecycleLock);
        if (!workerThread)
            return;
        worker = workerThread;
        // At process exit the system has already ended the worker: there is nothing to stop,
        // and its locks must not be touched.
        running = !worker->hasEnded();
        if (running)
            stopRequest.raise();
    }
    if (running) {
        wakeWorker();
        markClosing(true);
        // A receive handler that closes its own connection: the worker ends once it returns.
        // A worker whose thread has not begun (it cannot while the loader's lock is held, by
        // a close from a DLL's detach) never will.
        const bool handlerOfTheWorker = worker->isCurrent();
        bool ended = true;
        if (!handlerOfTheWorker && !worker->cancelIfNotStarted()) {
            const HostNotification::HostWait wait = beginHostWait(true);
            ended = worker->waitForEnd(WORKER_END_LIMIT, wait != HostNotification::HostWait::Plain);
            endHostWait(wait);
        }
        markClosing(false);
        if (!ended)
            os::writeTrace("closeConnection", "the worker has not ended within " +
                                                  std::to_string(WORKER_END_LIMIT) +
                                                  " ms; the close returns without it");
        // A worker that has not ended stays the channel's, so that a later open waits for it.
        if (handlerOfTheWorker || !ended)
            return;
    }
    std::lock_guard<std::mutex> guard(lifecycleLock);
    if (workerThread == worker)
        workerThread.reset();
}

int32_t KorvalConnection::IsOpen() const {
    std::lock_guard<std::mutex> guard(lifecycleLock);
    return workerThread && !stopRequest.isRaised() && !workerThread->hasEnded() ? 1 : 0;
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
        os::MonitorGuard guard(txQueue.monitor);
        txQueue.items.push_back(std::move(frame));
    }
    txQueue.monitor.pulseOne();
}

void KorvalConnection::clearSendBuffer() {
    os::MonitorGuard guard(txQueue.monitor);
    txQueue.items.clear();
}

int32_t KorvalConnection::GetMsgCnt() const {
    os::MonitorGuard guard(rxQueue.monitor);
    return static_cast<int32_t>(rxQueue.items.size());
}

HostNotification::HostWait KorvalConnection::beginHostWait(bool forWorkerEnd) {
    return hostNotification != nullptr ? hostNotification->beginHostWait(forWorkerEnd)
                                       : HostNotification::HostWait::Plain;
}

void KorvalConnection::endHostWait(HostNotification::HostWait wait) {
    if (hostNotification != nullptr && hostNotification->endHostWait(wait))
        wakeWorker();
}

bool KorvalConnection::notificationsDue() const {
    return hostNotification != nullptr && hostNotification->due();
}

void KorvalConnection::wakeWorker() {
    {
        // Taking the lock orders what the worker is woken for before its next look.
        os::MonitorGuard guard(txQueue.monitor);
    }
    txQueue.monitor.pulseAll();
}

void KorvalConnection::markClosing(bool closing) {
    bool signalled = false;
    {
        os::MonitorGuard guard(rxQueue.monitor);
        if (closing) {
            ++closesBegun;
            ++closesUnderWay;
            signalled = signalReaders > 0;
        } else {
            --closesUnderWay;
        }
    }
    if (!closing)
        return;
    rxQueue.monitor.pulseAll();
    if (signalled)
        frameArrived.set();
}

bool KorvalConnection::readCanMsg(uint32_t &canId, std::vector<uint8_t> &canMsgArr,
                                  uint32_t timeOut) {
    os::MonitorGuard guard(rxQueue.monitor);
    HostNotification::HostWait wait = HostNotification::HostWait::Plain;
    if (timeOut > 0 && rxQueue.items.empty()) {
        // No frame comes once a close has begun: a reader that waits then gives up, and one
        // that comes while the close is under way does not wait.
        const uint64_t closes = closesBegun;
        wait = beginHostWait(false);
        // A reader whose wake-up another reader beat to the frame waits on for the next one,
        // up to its own time-out.
        const os::Deadline deadline(readTimeOut(timeOut));
        // Without its signal such a reader could only spin: it waits on the monitor instead.
        const bool withMessages =
            frameArrived.isValid() && wait != HostNotification::HostWait::Plain;
        while (rxQueue.items.empty() && !deadline.passed() && closesBegun == closes &&
               closesUnderWay == 0) {
            if (!withMessages) {
                rxQueue.monitor.wait(deadline.remainingMs());
                continue;
            }
            ++signalReaders;
            guard.unlock();
            frameArrived.wait(deadline.remainingMs(), true);
            guard.lock();
            --signalReaders;
        }
    }
    const bool taken = !rxQueue.items.empty();
    if (taken) {
        canId = rxQueue.items.front().id;
        canMsgArr = std::move(rxQueue.items.front().byteArr);
        rxQueue.items.pop_front();
    }
    guard.unlock();
    endHostWait(wait);
    return taken;
}

void KorvalConnection::clearReceiveBuffer() {
    os::MonitorGuard guard(rxQueue.monitor);
    rxQueue.items.clear();
}

template <class Step>
KorvalConnection::Outcome::Kind KorvalConnection::runStage(const char *stageName, Step step) {
    Outcome outcome;
    try {
        outcome = step();
    } catch (const std::exception &error) {
        // Only what the system throws (out of memory) or a receive handler throws comes here.
        outcome = failed(error.what());
    } catch (...) {
        outcome = failed("unknown error");
    }
    if (outcome.kind == Outcome::Kind::Failed)
        doError(stageName, outcome.error);
    return outcome.kind;
}

void KorvalConnection::backgroundThreadRun(const std::string &data) {
    using Kind = Outcome::Kind;
    while (pauseBeforeReconnect()) {
        if (!IsConnected()) {
            clearSendBuffer();
            clearReceiveBuffer();
            if (runStage("Connect", [&] { return doConnect(data); }) == Kind::Stopped)
                break;
        }
        if (!IsConnected())
            continue;

        CanMsg frame(0);
        const Kind taken = runStage("getActiveNodes failed", [&] { return takeNextFrame(frame); });
        if (taken == Kind::Stopped)
            break;
        if (taken == Kind::Failed)
            continue;
        if (!isSdoRequestId(frame.id))
            os::writeTrace("TxQueue: Invalid CAN msg");
        else if (runStage("Send/Receive", [&] { return doSend(frame); }) == Kind::Stopped)
            break;
    }
    // A stop request is not a failure: nothing to trace.
    closeSocket();
    if (hostNotification != nullptr)
        hostNotification->finish();
}

bool KorvalConnection::pauseBeforeReconnect() {
    // What the host is owed comes before a pause, as it would have before the failure.
    if (notificationsDue())
        hostNotification->catchUp();
    if (connectAttempted && !IsConnected() && !stopRequest.sleepFor(MODBUS_RECONNECT_PAUSE))
        return false;
    return !stopRequest.isRaised();
}

KorvalConnection::Outcome KorvalConnection::takeNextFrame(CanMsg &frame) {
    os::MonitorGuard guard(txQueue.monitor);
    for (;;) {
        const os::Deadline idle(MODBUS_POLL_INTERVAL);
        for (;;) {
            while (txQueue.items.empty() && !stopRequest.isRaised() && !idle.passed() &&
                   !notificationsDue())
                txQueue.monitor.wait(idle.remainingMs());
            if (stopRequest.isRaised() || !notificationsDue())
                break;
            // The host has let the worker go while it handled a notification and is done now:
            // what is owed to it comes first, as a synchronous message would have it.
            guard.unlock();
            hostNotification->catchUp();
            guard.lock();
        }
        if (stopRequest.isRaised())
            return stopped();
        if (!txQueue.items.empty()) {
            frame = std::move(txQueue.items.front());
            txQueue.items.pop_front();
            return done();
        }
        // The poll runs without the queue's lock, so that a host that writes a frame (from
        // its receive handler, too) never waits for the gateway; frames queued meanwhile are
        // taken after the poll, in order.
        guard.unlock();
        Outcome polled = getActiveNodes();
        guard.lock();
        if (polled.kind != Outcome::Kind::Done)
            return polled;
    }
}

KorvalConnection::Outcome KorvalConnection::doConnect(const std::string &hostName) {
    connectAttempted = true;
    std::string error;
    std::unique_ptr<os::TcpSocket> socket = os::TcpSocket::create(error);
    if (!socket)
        return failed(error);
    if (!socket->disableNagle(error))
        return failed(error);
    {
        std::lock_guard<std::mutex> guard(socketLock);
        clientSocket = std::move(socket);
    }
    os::writeTrace("Connecting to " + hostName);
    const os::IoResult result =
        clientSocket->connect(hostName, MODBUS_TCP_PORT, MODBUS_TIME_OUT, stopRequest);
    Outcome outcome;
    if (endsTheStep(result, outcome))
        return outcome;
    if (result.status == os::IoStatus::TimedOut)
        doError("Connect", "time-out");
    return done();
}

KorvalConnection::Outcome KorvalConnection::doSend(const CanMsg &canMsg) {
    SdoRequest request;
    if (!buildSdoRequest(canMsg.id, canMsg.byteArr, request))
        return failed("an SDO request needs 8 data bytes, the frame has " +
                      std::to_string(canMsg.byteArr.size()));
    const os::IoResult result =
        clientSocket->send(request.data(), request.size(), MODBUS_TIME_OUT, stopRequest);
    Outcome outcome;
    if (endsTheStep(result, outcome))
        return outcome;
    if (result.status == os::IoStatus::TimedOut)
        doError("Send", "time-out");
    else if (result.count != request.size())
        doError("Send", "failed");
    else
        return doReceive();
    return done();
}

KorvalConnection::Outcome KorvalConnection::getActiveNodes() {
    const ActiveNodesRequest request = buildActiveNodesRequest();
    const os::IoResult result =
        clientSocket->send(request.data(), request.size(), MODBUS_TIME_OUT, stopRequest);
    Outcome outcome;
    if (endsTheStep(result, outcome))
        return outcome;
    if (result.status == os::IoStatus::TimedOut) {
        doError("getActiveNodes", "time-out");
    } else if (result.count != request.size()) {
        os::writeTrace("getActiveNodes: failed");
        onFatalError.raise(*this, std::string(FATAL_FIRMWARE_MESSAGE));
    } else {
        return doReceive();
    }
    return done();
}

KorvalConnection::Outcome KorvalConnection::doReceive() {
    // A reply may arrive in pieces: the receives go on into the one buffer until the length
    // field's count has come, the buffer is full, the gateway closes, or the time runs out.
    ReplyBuffer buffer{};
    std::size_t count = 0;
    const os::Deadline deadline(MODBUS_TIME_OUT);
    for (;;) {
        const os::IoResult result = clientSocket->receive(
            buffer.data() + count, buffer.size() - count, deadline.remainingMs(), stopRequest);
        Outcome outcome;
        if (endsTheStep(result, outcome))
            return outcome;
        if (result.status == os::IoStatus::TimedOut) {
            doError("Receive", count == 0 ? "time-out" : decodeReply(buffer, count).invalidDetail);
            return done();
        }
        count += result.count;
        if (result.count == 0 || isWholeReply(buffer, count))
            break;
    }

    DecodedReply reply = decodeReply(buffer, count);
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
    return done();
}

void KorvalConnection::deliver(CanMsg frame) {
    bool wakeSignalReaders = false;
    {
        os::MonitorGuard guard(rxQueue.monitor);
        rxQueue.items.push_back(std::move(frame));
        wakeSignalReaders = signalReaders > 0;
    }
    rxQueue.monitor.pulseOne();
    if (wakeSignalReaders)
        frameArrived.set();
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
