// A list of handlers raised together, like a delegate event: subscriptions add up, and a
// raise calls the handlers subscribed when it began, in order, outside the list's lock.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

namespace Korval {

template <class Handler> class Event {
  public:
    void subscribe(Handler handler) {
        std::lock_guard<std::mutex> guard(lock);
        // A new list each time, so that a raise under way keeps the one it began with.
        auto added = std::make_shared<std::vector<Handler>>(*handlers);
        added->push_back(std::move(handler));
        handlers = std::move(added);
    }

    template <class... Args> void raise(Args &&...args) const {
        std::shared_ptr<const std::vector<Handler>> snapshot;
        {
            std::lock_guard<std::mutex> guard(lock);
            snapshot = handlers;
        }
        for (const Handler &handler : *snapshot)
            handler(args...);
    }

  private:
    mutable std::mutex lock;
    std::shared_ptr<const std::vector<Handler>> handlers =
        std::make_shared<const std::vector<Handler>>();
};

} // namespace Korval
