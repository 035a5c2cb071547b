// POSIX side of the waits, for the native build: the standard mutex and condition variable,
// signals made of a pipe (so that poll can wait on a signal and a socket together), threads.
#include "os/posix_messages.h"
#include "os/sync.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace Korval::os {

void Monitor::lock() {
    mutex.lock();
}

void Monitor::unlock() {
    mutex.unlock();
}

void Monitor::wait(uint32_t ms) {
    std::unique_lock<std::mutex> held(mutex, std::adopt_lock);
    if (ms == WAIT_FOREVER)
        condition.wait(held);
    else
        condition.wait_for(held, std::chrono::milliseconds(ms));
    held.release();
}

void Monitor::pulseOne() {
    condition.notify_one();
}

void Monitor::pulseAll() {
    condition.notify_all();
}

Signal::Signal(bool manualReset) : handle(-1), writeEnd(-1), manual(manualReset) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        handle = ends[0];
        writeEnd = ends[1];
    }
}

Signal::~Signal() {
    if (handle >= 0) {
        ::close(static_cast<int>(handle));
        ::close(static_cast<int>(writeEnd));
    }
}

bool Signal::isValid() const {
    return handle >= 0;
}

void Signal::set() const {
    // One byte in the pipe stands for "set"; more would only have to be drained.
    if (!isSet.exchange(true)) {
        const char one = 1;
        [[maybe_unused]] ssize_t written = ::write(static_cast<int>(writeEnd), &one, 1);
    }
}

void Signal::reset() const {
    if (isSet.exchange(false)) {
        char byte;
        while (::read(static_cast<int>(handle), &byte, 1) > 0) {
        }
    }
}

bool Signal::consume() const {
    if (manual)
        return true;
    // Auto-reset: the waiter that takes the byte consumed the signal.
    char byte;
    if (::read(static_cast<int>(handle), &byte, 1) != 1)
        return false;
    isSet = false;
    return true;
}

bool Signal::wait(uint32_t ms, bool letSentMessagesThrough) const {
    if (!isValid())
        return false;
    const Deadline deadline(ms);
    // poll ignores an entry with a negative descriptor.
    const int messages = letSentMessagesThrough ? posix::sentMessagesDescriptor() : -1;
    for (;;) {
        pollfd entries[2] = {{static_cast<int>(handle), POLLIN, 0}, {messages, POLLIN, 0}};
        const uint32_t left = deadline.remainingMs();
        const int timeout =
            left == WAIT_FOREVER ? -1 : static_cast<int>(std::min<uint32_t>(left, INT32_MAX));
        if (::poll(entries, 2, timeout) > 0) {
            if ((entries[0].revents & POLLIN) != 0 && consume())
                return true;
            if ((entries[1].revents & POLLIN) != 0) {
                posix::handleSentMessages();
                return false;
            }
        }
        if (deadline.passed())
            return false;
    }
}

int waitForEither(const Signal &first, const Signal &second, uint32_t ms) {
    const Deadline deadline(ms);
    for (;;) {
        pollfd entries[2] = {{static_cast<int>(first.waitHandle()), POLLIN, 0},
                             {static_cast<int>(second.waitHandle()), POLLIN, 0}};
        const uint32_t left = deadline.remainingMs();
        const int timeout =
            left == WAIT_FOREVER ? -1 : static_cast<int>(std::min<uint32_t>(left, INT32_MAX));
        if (::poll(entries, 2, timeout) > 0) {
            if ((entries[0].revents & POLLIN) != 0 && first.consume())
                return 0;
            if ((entries[1].revents & POLLIN) != 0 && second.consume())
                return 1;
        }
        if (deadline.passed())
            return -1;
    }
}

struct Thread::State {
    std::function<void()> body;
    pthread_t handle{};
    std::atomic<pthread_t> self{};
    Signal ended{true};
    std::atomic<bool> returned{false}; // or cancelled before it began
    // Whether the body has begun or was cancelled first: exactly one of the two happens.
    std::atomic<bool> claimed{false};
};

namespace {

void *runThread(void *context) {
    auto *state = static_cast<std::shared_ptr<Thread::State> *>(context);
    (*state)->self = pthread_self();
    if (!(*state)->claimed.exchange(true)) {
        try {
            (*state)->body();
        } catch (...) {
            // Nothing may leave a thread: the body reports its own failures.
        }
        (*state)->returned = true;
        (*state)->ended.set();
    }
    delete state;
    return nullptr;
}

bool startThread(const std::shared_ptr<Thread::State> &state, std::string &error) {
    if (!state->ended.isValid()) {
        error = "the system cannot provide a wait for the thread's end";
        return false;
    }
    auto *reference = new std::shared_ptr<Thread::State>(state);
    const int code = pthread_create(&state->handle, nullptr, &runThread, reference);
    if (code != 0) {
        delete reference;
        error = std::string("the system cannot start a thread: ") + std::strerror(code);
        return false;
    }
    return true;
}

} // namespace

std::shared_ptr<Thread> Thread::start(std::function<void()> body, std::string &error) {
    auto state = std::make_shared<State>();
    state->body = std::move(body);
    if (!startThread(state, error))
        return nullptr;
    return std::shared_ptr<Thread>(new Thread(state));
}

bool Thread::startDetached(std::function<void()> body, std::string &error) {
    auto state = std::make_shared<State>();
    state->body = std::move(body);
    if (!startThread(state, error))
        return false;
    pthread_detach(state->handle);
    return true;
}

Thread::~Thread() {
    // Joined once it has ended, so that nothing of it is left behind; else it ends on its own.
    if (state->returned)
        pthread_join(state->handle, nullptr);
    else
        pthread_detach(state->handle);
}

bool Thread::hasEnded() const {
    return state->returned;
}

bool Thread::cancelIfNotStarted() {
    if (state->claimed.exchange(true))
        return false;
    state->returned = true;
    state->ended.set();
    return true;
}

bool Thread::isCurrent() const {
    return pthread_equal(pthread_self(), state->self.load()) != 0;
}

bool Thread::waitForEnd(uint32_t ms, bool letSentMessagesThrough) const {
    const Deadline deadline(ms);
    while (!state->ended.wait(deadline.remainingMs(), letSentMessagesThrough))
        if (deadline.passed())
            return false;
    return true;
}

} // namespace Korval::os
