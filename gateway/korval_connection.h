// One connection to a KORVAL gateway: a worker thread that connects and reconnects, carries
// queued SDO request frames to the gateway, polls the active nodes while idle, and puts the
// answers into the receive queue as CAN frames.
#pragma once

#include "gateway/event.h"
#include "gateway/host_notification.h"
#include "os/os.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Korval {

class KorvalConnection {
  public:
    static constexpr uint16_t MODBUS_TCP_PORT = 502;
    static constexpr uint8_t MODBUS_CUSTOM_FCT = 100;
    static constexpr uint8_t MODBUS_SUB1_GET_ACTIVE_NODES = 1;
    static constexpr uint8_t MODBUS_SUB2_ENCAPSULATED_SDO = 2;
    static constexpr uint8_t MODBUS_EXCEPTION = 128;
    static constexpr std::size_t MODBUS_PREFIX_LEN = 6;
    static constexpr std::size_t MODBUS_EXCEPTION_LEN = 9;
    static constexpr std::size_t MODBUS_SUB1_REQ_LEN = 9;
    static constexpr std::size_t MODBUS_SUB2_REQ_LEN = 17;
    static constexpr std::size_t MODBUS_SUB2_RPL_LEN = 17;
    static constexpr std::size_t MODBUS_MAX_MSG_LEN = 136;
    static constexpr uint32_t MODBUS_TIME_OUT = 3000;      // connect, send and receive limit
    static constexpr uint32_t MODBUS_POLL_INTERVAL = 1000; // idle time before a node poll
    static constexpr uint32_t MODBUS_RECONNECT_PAUSE = 3000;
    // How long a close waits for the worker it stopped. A stopped worker ends at once but for
    // the host notification's own bounded wait for the host; one still running after this
    // cannot run at all, such as one that needs the loader's lock, which a close from a DLL's
    // detach holds.
    static constexpr uint32_t WORKER_END_LIMIT = 8000;
    static constexpr uint32_t CANOPEN_SDO_REQUEST = 0x600;
    static constexpr uint32_t CANOPEN_SDO_RESPONSE = 0x580;
    static constexpr uint32_t CANOPEN_HEARTBEAT = 0x700;
    static constexpr uint8_t CANOPEN_NODE_OPERATIONAL = 5;
    static constexpr uint8_t CANOPEN_MAX_NODES = 127;

    // Transaction number of the next request; one counter for the whole process.
    static std::atomic<uint16_t> mbusSeqNo;

    using ReceiveEventHandler = std::function<void(KorvalConnection &sender)>;
    using FatalErrorEventHandler =
        std::function<void(KorvalConnection &sender, const std::string &message)>;

    Event<ReceiveEventHandler> onReceiveEvent;
    Event<FatalErrorEventHandler> onFatalError;

    KorvalConnection();
    ~KorvalConnection();
    KorvalConnection(const KorvalConnection &) = delete;
    KorvalConnection &operator=(const KorvalConnection &) = delete;

    // Starts the worker for hostName and returns at once; does nothing while one runs. A
    // worker that is being stopped is waited for first, up to WORKER_END_LIMIT. False, with a
    // trace line, when the system cannot start a worker or the old one has not ended.
    bool openConnection(const std::string &hostName, int32_t limitNodeId);
    // Stops a running worker and waits until it has ended and closed its socket, up to
    // WORKER_END_LIMIT.
    void closeConnection();

    // 1 while a worker runs and no stop has been asked of it.
    int32_t IsOpen() const;
    int32_t IsConnected() const;

    void sendCanMsg(uint32_t canId, std::vector<uint8_t> canMsgArr);
    void clearSendBuffer();

    int32_t GetMsgCnt() const;
    // Takes the oldest received frame. With an empty queue and timeOut above 0, first waits up
    // to timeOut ms (0x80000000 and above: without limit) until a frame is there for it; not
    // while a close is under way.
    bool readCanMsg(uint32_t &canId, std::vector<uint8_t> &canMsgArr, uint32_t timeOut);
    void clearReceiveBuffer();

    // How a step of the worker ended. A failure carries the text that its stage traces; a
    // stop ends the worker. Failures are results, not exceptions, so that a debugger that
    // watches the host's exceptions cannot upset the worker.
    struct Outcome {
        enum class Kind { Done, Failed, Stopped };
        Kind kind = Kind::Done;
        std::string error;
    };

  protected:
    class CanMsg {
      public:
        explicit CanMsg(int32_t len) : byteArr(static_cast<std::size_t>(len > 0 ? len : 0)) {}
        uint32_t id = 0;
        std::vector<uint8_t> byteArr;
    };

    void backgroundThreadRun(const std::string &data);
    Outcome doConnect(const std::string &hostName);
    Outcome doSend(const CanMsg &canMsg);
    Outcome doReceive();
    Outcome getActiveNodes();
    void doError(const std::string &msg, const std::string &data);

    // A queue with its monitor: mutual exclusion, timed wait and pulse.
    struct FrameQueue {
        mutable os::Monitor monitor;
        std::deque<CanMsg> items;
    };

    // Told of the host's waits and asked by the worker before it goes on; the channel, which
    // notifies the host's window, sets it.
    HostNotification *hostNotification = nullptr;

    int32_t limitNodeId = 0;
    std::unique_ptr<os::TcpSocket> clientSocket;
    std::shared_ptr<os::Thread> workerThread;
    FrameQueue rxQueue;
    FrameQueue txQueue;
    os::StopSignal stopRequest;

  private:
    Outcome takeNextFrame(CanMsg &frame);
    void deliver(CanMsg frame);
    bool pauseBeforeReconnect();
    void closeSocket();
    HostNotification::HostWait beginHostWait(bool forWorkerEnd);
    void endHostWait(HostNotification::HostWait wait);
    bool notificationsDue() const;
    void wakeWorker();
    // Before and after a close stops the worker: what readers need to know.
    void markClosing(bool closing);
    template <class Step> Outcome::Kind runStage(const char *stageName, Step step);

    // Host threads that wait for a frame on frameArrived instead of the receive monitor.
    unsigned signalReaders = 0;
    // Closes begun so far, and those not yet done; a reader waits for frames only while none
    // begins or is under way.
    uint64_t closesBegun = 0;
    unsigned closesUnderWay = 0;
    os::Signal frameArrived{false};
    bool connectAttempted = false;    // worker-only; a worker started again pauses first
    mutable std::mutex socketLock;    // guards the clientSocket pointer for host threads
    mutable std::mutex lifecycleLock; // guards workerThread; never held while waiting
};

} // namespace Korval
