// A list of handlers raised together, like a delegate event: subscriptions add up, and a
// raise calls the handlers subscribed when it began, in order, outside the list's lock.
#pragma once

#include <mutex>
#include <vector>

namespace Korval {

template <class Handler> class Event {
  public:
    void subscribe(Handler handler) {
        std::lock_guard<std::mutex> guard(lock);
        handlers.push_back(std::move(handler));
    }

    template <class... Args> void raise(Args &&...args) const {
        std::vector<Handler> snapshot;
        {
            std::lock_guard<std::mutex> guard(lock);
            snapshot = handlers;
        }
        for (const Handler &handler : snapshot)
            handler(args...);
    }

  private:
    mutable std::mutex lock;
    std::vector<Handler> handlers;
};

} // namespace Korval
