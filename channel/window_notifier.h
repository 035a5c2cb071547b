// The host window's WM_CANLIB messages of one channel. Every frame owes the window one message
// per subscription. They go one at a time: the next only once the handler of the one before has
// returned, so that a handler never runs inside another. The worker waits for each handler, as
// a synchronous message would make it wait, with two exceptions: the window's thread, inside the
// handler, waits in the library itself (then the worker goes on, counting what falls due, and
// sends it once the handler has returned); or the window goes away.
#pragma once

#include "gateway/host_notification.h"
#include "gateway/korval_connection.h"
#include "os/os.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace Korval {

class WindowNotifier : public HostNotification {
  public:
    // A wait for the window, in rounds after each of which the window is looked at again.
    static constexpr uint32_t WAIT_ROUND = 100;
    // How long a stopping worker waits for a window whose thread does not handle messages.
    static constexpr uint32_t STOP_WAIT_LIMIT = 5000;
    static_assert(STOP_WAIT_LIMIT < KorvalConnection::WORKER_END_LIMIT,
                  "a close waits for the worker longer than the worker waits for the window");

    WindowNotifier(const std::atomic<os::WindowHandle> &window, uint32_t message, uintptr_t wParam,
                   intptr_t lParam, const os::StopSignal &stop);

    // The worker: one frame for one subscription.
    void announce();

    HostWait beginHostWait(bool forWorkerEnd) override;
    bool endHostWait(HostWait wait) override;
    bool due() const override;
    void catchUp() override;
    void finish() override;

  private:
    bool letGo() const { return readersInHandler.load() + enderInHandler.load() > 0; }
    void sendNext();
    // Waits until the message in flight has been handled or its window is gone (true), or
    // the worker is let go first (false).
    bool awaitInFlight(bool stopping);
    void forgetInFlight(bool handled);

    const std::atomic<os::WindowHandle> &window;
    const uint32_t message;
    const uintptr_t wParam;
    const intptr_t lParam;
    const os::StopSignal &stop;

    // The worker's alone.
    uint64_t owed = 0;
    std::unique_ptr<os::SentMessage> inFlight;
    os::WindowHandle inFlightWindow = nullptr;
    uint32_t inFlightThread = 0;
    // Sent to windows that went away: the system may still mark them, until the worker ends.
    std::vector<std::unique_ptr<os::SentMessage>> abandoned;

    // Shared with the host's threads.
    std::atomic<uint32_t> awaitedThread{0}; // the thread of the window of the message in flight
    std::atomic<int> readersInHandler{0};   // its waits for frames inside the handler
    std::atomic<int> enderInHandler{0};     // its waits for the worker's end inside the handler
    os::Signal workerWake{false};
};

} // namespace Korval
