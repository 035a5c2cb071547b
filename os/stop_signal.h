// A stop request that ends every wait of a worker thread: plain waits through sleepFor,
// and socket waits, which look at isRaised between short slices.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace Korval {

class StopSignal {
  public:
    void raise() {
        {
            std::lock_guard<std::mutex> guard(lock);
            raised = true;
        }
        changed.notify_all();
    }
    void reset() {
        std::lock_guard<std::mutex> guard(lock);
        raised = false;
    }
    bool isRaised() const { return raised.load(); }

    // Waits up to ms milliseconds; false when the wait ended because of a stop request.
    bool sleepFor(uint32_t ms) const {
        std::unique_lock<std::mutex> guard(lock);
        return !changed.wait_for(guard, std::chrono::milliseconds(ms),
                                 [this] { return raised.load(); });
    }

  private:
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::atomic<bool> raised{false};
};

} // namespace Korval
