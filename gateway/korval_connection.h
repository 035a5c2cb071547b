// One connection to a KORVAL gateway: a worker thread that connects and reconnects, carries
// queued SDO request frames to the gateway, polls the active nodes while idle, and puts the
// answers into the receive queue as CAN frames.
#pragma once

#include "gateway/event.h"
#include "os/os.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
    static constexpr uint32_t SENT_MESSAGE_SLICE = 20; // ms between looks at sent messages
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

    // Starts the worker for hostName and returns at once; does nothing while one runs.
    void openConnection(const std::string &hostName, int32_t limitNodeId);
    // Stops a running worker and waits until it has ended and closed its socket.
    void closeConnection();

    int32_t IsOpen() const { return workerRunning ? 1 : 0; }
    int32_t IsConnected() const;

    void sendCanMsg(uint32_t canId, std::vector<uint8_t> canMsgArr);
    void clearSendBuffer();

    int32_t GetMsgCnt() const;
    // Takes the oldest received frame. With an empty queue and timeOut above 0, first waits
    // once, up to timeOut ms (0x80000000 and above: without limit), for a frame to arrive.
    bool readCanMsg(uint32_t &canId, std::vector<uint8_t> &canMsgArr, uint32_t timeOut);
    void clearReceiveBuffer();

  protected:
    class CanMsg {
      public:
        explicit CanMsg(int32_t len) : byteArr(static_cast<std::size_t>(len > 0 ? len : 0)) {}
        uint32_t id = 0;
        std::vector<uint8_t> byteArr;
    };

    void backgroundThreadRun(const std::string &data);
    void doConnect(const std::string &hostName);
    void doSend(const CanMsg &canMsg);
    void doReceive();
    void getActiveNodes();
    void doError(const std::string &msg, const std::string &data);

    // A queue with its monitor: mutual exclusion, timed wait and pulse.
    struct FrameQueue {
        mutable std::mutex lock;
        std::condition_variable pulse;
        std::deque<CanMsg> items;
        uint64_t appended = 0; // receive queue: tells a reader's real wake-up from a spurious one
    };

    int32_t limitNodeId = 0;
    std::unique_ptr<os::TcpSocket> clientSocket;
    std::thread workerThread;
    FrameQueue rxQueue;
    FrameQueue txQueue;

  private:
    CanMsg takeNextFrame();
    // Waits once, up to timeOut ms, for a frame to be appended to the receive queue.
    void waitForFrame(std::unique_lock<std::mutex> &guard, uint32_t timeOut);
    void deliver(CanMsg frame);
    void pauseBeforeReconnect();
    void closeSocket();
    template <class Stage> void runStage(const char *stageName, Stage stage);

    StopSignal stopRequest;
    bool connectAttempted = false; // worker-only; a worker started again pauses first
    std::atomic<bool> workerRunning{false};
    std::atomic<bool> raisingReceiveEvent{false};
    std::atomic<std::thread::id> workerThreadId{};
    mutable std::mutex socketLock; // guards the clientSocket pointer for host threads
    std::mutex lifecycleLock;      // serialises starting and joining the worker
};

} // namespace Korval
