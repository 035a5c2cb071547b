// Records the library's trace lines in the native build, with the time each arrived.
#pragma once

#include "os/os.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class TraceRecorder {
  public:
    using Clock = std::chrono::steady_clock;
    struct Line {
        Clock::time_point when;
        std::string text;
    };

    TraceRecorder() {
        Korval::os::setTraceObserver([this](const std::string &text) {
            std::lock_guard<std::mutex> guard(lock);
            recorded.push_back({Clock::now(), text});
            changed.notify_all();
        });
    }
    ~TraceRecorder() { Korval::os::setTraceObserver(nullptr); }
    TraceRecorder(const TraceRecorder &) = delete;
    TraceRecorder &operator=(const TraceRecorder &) = delete;

    // Waits until a line from index `from` on satisfies match; returns its index or -1.
    long waitFor(const std::function<bool(const std::string &)> &match, unsigned timeoutMs,
                 std::size_t from = 0) {
        std::unique_lock<std::mutex> guard(lock);
        long found = -1;
        changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
            for (std::size_t i = from; i < recorded.size(); ++i)
                if (match(recorded[i].text)) {
                    found = static_cast<long>(i);
                    return true;
                }
            return false;
        });
        return found;
    }
    long waitForLine(const std::string &text, unsigned timeoutMs, std::size_t from = 0) {
        return waitFor([&text](const std::string &line) { return line == text; }, timeoutMs, from);
    }
    long waitForPrefix(const std::string &prefix, unsigned timeoutMs, std::size_t from = 0) {
        return waitFor([&prefix](const std::string &line) { return line.rfind(prefix, 0) == 0; },
                       timeoutMs, from);
    }

    std::vector<Line> lines() const {
        std::lock_guard<std::mutex> guard(lock);
        return recorded;
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> guard(lock);
        return recorded.size();
    }
    // Milliseconds between two recorded lines.
    long millisecondsBetween(long first, long second) const {
        std::lock_guard<std::mutex> guard(lock);
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     recorded.at(static_cast<std::size_t>(second)).when -
                                     recorded.at(static_cast<std::size_t>(first)).when)
                                     .count());
    }

  private:
    mutable std::mutex lock;
    std::condition_variable changed;
    std::vector<Line> recorded;
};

} // namespace testsupport
