// The waits of the library: a monitor for the queues, signals that wake a wait, the stop
// request of a worker, and threads. On Windows they are the platform's own (slim locks,
// condition variables, events, thread handles); sync_posix.cpp serves the native build.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#ifndef _WIN32
#include <condition_variable>
#include <mutex>
#endif

namespace Korval::os {

// A wait time that means: without limit.
constexpr uint32_t WAIT_FOREVER = 0xFFFFFFFF;

// The moment a wait may end. What is left is handed to each platform wait rounded up to
// whole milliseconds, so that a wait never ends before its time.
class Deadline {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Deadline(uint32_t ms)
        : unlimited(ms == WAIT_FOREVER), end(Clock::now() + std::chrono::milliseconds(ms)) {}

    bool passed() const { return !unlimited && Clock::now() >= end; }

    uint32_t remainingMs() const {
        if (unlimited)
            return WAIT_FOREVER;
        const auto left = end - Clock::now();
        if (left <= Clock::duration::zero())
            return 0;
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        return ms >= WAIT_FOREVER ? WAIT_FOREVER - 1 : static_cast<uint32_t>(ms);
    }

  private:
    bool unlimited;
    Clock::time_point end;
};

// Mutual exclusion with a timed wait and pulse.
class Monitor {
  public:
    Monitor() = default;
    Monitor(const Monitor &) = delete;
    Monitor &operator=(const Monitor &) = delete;

    void lock();
    void unlock();
    // With the lock held: waits up to ms to be pulsed, and holds the lock again on return.
    // It may also return without a pulse, so callers test their condition again.
    void wait(uint32_t ms);
    void pulseOne();
    void pulseAll();

  private:
#ifdef _WIN32
    void *lockWord = nullptr;      // an SRWLOCK
    void *conditionWord = nullptr; // a CONDITION_VARIABLE
#else
    std::mutex mutex;
    std::condition_variable condition;
#endif
};

class MonitorGuard {
  public:
    explicit MonitorGuard(Monitor &target) : monitor(target) { monitor.lock(); }
    ~MonitorGuard() {
        if (held)
            monitor.unlock();
    }
    MonitorGuard(const MonitorGuard &) = delete;
    MonitorGuard &operator=(const MonitorGuard &) = delete;

    void lock() {
        monitor.lock();
        held = true;
    }
    void unlock() {
        held = false;
        monitor.unlock();
    }

  private:
    Monitor &monitor;
    bool held = true;
};

// A flag that a wait can wake on. An auto-reset signal wakes one wait and is cleared by it;
// a manual-reset one stays set until reset.
class Signal {
  public:
    explicit Signal(bool manualReset);
    ~Signal();
    Signal(const Signal &) = delete;
    Signal &operator=(const Signal &) = delete;

    // False when the system could not provide one; its waits then fail at once.
    bool isValid() const;
    void set() const;
    void reset() const;
    // Waits up to ms for the signal; true when it was set. A thread that must go on handling
    // the window messages other threads send it (a window's own thread) says so: such a wait
    // also returns, false, once it has handled some, since a handler may have changed what the
    // caller waits for.
    bool wait(uint32_t ms, bool letSentMessagesThrough = false) const;
    // The platform's handle: an event HANDLE on Windows, a pipe end readable while set on POSIX.
    intptr_t waitHandle() const { return handle; }
#ifndef _WIN32
    // After a wait saw the pipe readable: takes an auto-reset signal; false if another waiter
    // took it first.
    bool consume() const;
#endif

  private:
    intptr_t handle;
#ifndef _WIN32
    intptr_t writeEnd;
    bool manual;
    mutable std::atomic<bool> isSet{false};
#endif
};

// Waits up to ms for either signal: 0 or 1 for the one that was set, -1 when the time ran out.
int waitForEither(const Signal &first, const Signal &second, uint32_t ms);

// The stop request that ends every wait of a worker thread.
class StopSignal {
  public:
    StopSignal() : event(true) {}

    bool isValid() const { return event.isValid(); }
    void raise() {
        raised = true;
        event.set();
    }
    void reset() {
        event.reset();
        raised = false;
    }
    bool isRaised() const { return raised.load(); }
    // Waits up to ms; false when a stop request ended the wait.
    bool sleepFor(uint32_t ms) const { return !event.wait(ms) && !isRaised(); }
    const Signal &signal() const { return event; }

  private:
    Signal event;
    std::atomic<bool> raised{false};
};

// A thread of the library's own. Starting one can fail, which is reported, not thrown.
class Thread {
  public:
    // Runs body on a new thread; null, with the reason in error, when none can be started.
    static std::shared_ptr<Thread> start(std::function<void()> body, std::string &error);
    // The same for a thread nobody waits for.
    static bool startDetached(std::function<void()> body, std::string &error);
    ~Thread();
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;

    // Also true for a thread that the system ended (at process exit) before it returned, and for
    // one whose body was cancelled.
    bool hasEnded() const;
    // A thread that has not begun its body yet (one started while the loader's lock is held
    // cannot begin it before the lock is free): the body never runs, and the thread ends at
    // once when it gets to run. False once the body has begun.
    bool cancelIfNotStarted();
    bool isCurrent() const;
    // Waits up to ms for the thread to end; true once it has.
    bool waitForEnd(uint32_t ms, bool letSentMessagesThrough) const;

    struct State;

  private:
    explicit Thread(std::shared_ptr<State> running) : state(std::move(running)) {}
    std::shared_ptr<State> state;
};

} // namespace Korval::os
