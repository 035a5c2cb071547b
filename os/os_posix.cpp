// POSIX side of the seam, for the native build, its tests and the Linux library: time, the
// registry kept in memory for the life of the process, and sockets. The trace and the message
// boxes are in messages_posix.cpp.
#include "os/os.h"
#include "os/posix_messages.h"
#include "os/socket_platform.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace Korval::os {

namespace {

using RegistryValues = std::map<std::string, std::string>;

struct MemoryRegistry {
    std::mutex lock;
    std::map<std::string, RegistryValues> keys;
};

MemoryRegistry &memoryRegistry() {
    static MemoryRegistry registry;
    return registry;
}

// The windows that exist: the only handles a notification is delivered to. A procedure is
// called through the table, never through the window, so that nothing touches a window once
// it is gone. Never destroyed, since a worker may still notify while the host's process exits.
struct WindowEntry {
    std::shared_ptr<const PosixWindow::Procedure> procedure;
    uint32_t owner = 0;
    std::vector<uint32_t> callers; // the threads inside the procedure
};

struct WindowTable {
    std::mutex lock;
    std::condition_variable callReturned;
    std::map<const void *, WindowEntry> windows;
};

WindowTable &windowTable() {
    static auto *table = new WindowTable;
    return *table;
}

// The window's owner thread (0 for none); false when the handle is no window.
bool lookUpOwner(WindowHandle window, uint32_t &owner) {
    WindowTable &table = windowTable();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto found = table.windows.find(window);
    if (found == table.windows.end())
        return false;
    owner = found->second.owner;
    return true;
}

// Runs the window's procedure on the calling thread; false when the handle is no window.
bool callWindow(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    WindowTable &table = windowTable();
    const uint32_t self = currentThreadId();
    std::shared_ptr<const PosixWindow::Procedure> procedure;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        const auto found = table.windows.find(window);
        if (found == table.windows.end())
            return false;
        procedure = found->second.procedure;
        found->second.callers.push_back(self);
    }
    struct Leave {
        WindowTable &table;
        WindowHandle window;
        uint32_t self;
        ~Leave() {
            {
                std::lock_guard<std::mutex> guard(table.lock);
                // Gone already when the procedure destroyed its own window, and perhaps made
                // another one at the same place, which this call is not inside.
                const auto found = table.windows.find(window);
                if (found != table.windows.end()) {
                    auto &callers = found->second.callers;
                    const auto mine = std::find(callers.begin(), callers.end(), self);
                    if (mine != callers.end())
                        callers.erase(mine);
                }
            }
            table.callReturned.notify_all();
        }
    } leave{table, window, self};
    (*procedure)(message, wParam, lParam);
    return true;
}

} // namespace

PosixWindow::PosixWindow(Procedure procedure) {
    WindowTable &table = windowTable();
    std::lock_guard<std::mutex> guard(table.lock);
    table.windows[this].procedure = std::make_shared<const Procedure>(std::move(procedure));
}

PosixWindow::~PosixWindow() {
    WindowTable &table = windowTable();
    const uint32_t self = currentThreadId();
    std::unique_lock<std::mutex> guard(table.lock);
    const auto entry = table.windows.find(this);
    // A procedure that destroys its own window is not waited for: it returns after this.
    table.callReturned.wait(guard, [&] {
        const auto &callers = entry->second.callers;
        return std::all_of(callers.begin(), callers.end(),
                           [self](uint32_t caller) { return caller == self; });
    });
    table.windows.erase(entry);
}

uint32_t tickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void sleepMilliseconds(uint32_t ms) {
    timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

namespace {

struct ThreadMessages;

// A message sent to a window of another thread, and the sender's record to mark once handled.
struct Delivery {
    WindowHandle window = nullptr;
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    SentMessage *sent = nullptr;
    std::shared_ptr<ThreadMessages> sender;
};

// A thread's queue: the messages sent to its windows, and the records of its own sends whose
// handlers have returned (marked only on the thread itself, as Win32 runs the callbacks).
struct ThreadMessages {
    std::mutex lock;
    std::deque<Delivery> sentToThread;
    std::vector<SentMessage *> handled;
    Signal deliveries{false};
    Signal marks{false};
};

// Never destroyed: threads may end after the process's statics are gone.
struct ThreadRegistry {
    std::mutex lock;
    std::map<uint32_t, std::shared_ptr<ThreadMessages>> queues;
};

ThreadRegistry &threadRegistry() {
    static ThreadRegistry *registry = new ThreadRegistry;
    return *registry;
}

// The calling thread's queue, made on first use. It goes when the thread ends: what is still
// sent to it is then never handled, and its senders are never told.
struct OwnQueue {
    std::shared_ptr<ThreadMessages> queue;
    uint32_t thread = 0;
    ~OwnQueue() {
        if (queue) {
            std::lock_guard<std::mutex> guard(threadRegistry().lock);
            threadRegistry().queues.erase(thread);
        }
    }
};

thread_local OwnQueue ownQueue;
thread_local int sentMessageHandlers = 0;

std::shared_ptr<ThreadMessages> queueOfCurrentThread() {
    if (!ownQueue.queue) {
        ownQueue.queue = std::make_shared<ThreadMessages>();
        ownQueue.thread = currentThreadId();
        std::lock_guard<std::mutex> guard(threadRegistry().lock);
        threadRegistry().queues[ownQueue.thread] = ownQueue.queue;
    }
    return ownQueue.queue;
}

std::shared_ptr<ThreadMessages> queueOfThread(uint32_t thread) {
    std::lock_guard<std::mutex> guard(threadRegistry().lock);
    auto found = threadRegistry().queues.find(thread);
    return found != threadRegistry().queues.end() ? found->second : nullptr;
}

} // namespace

namespace posix {

int sentMessagesDescriptor() {
    return static_cast<int>(queueOfCurrentThread()->deliveries.waitHandle());
}

void handleSentMessages() {
    const std::shared_ptr<ThreadMessages> self = queueOfCurrentThread();
    self->deliveries.consume();
    for (;;) {
        Delivery delivery;
        {
            std::lock_guard<std::mutex> guard(self->lock);
            if (self->sentToThread.empty())
                return;
            delivery = std::move(self->sentToThread.front());
            self->sentToThread.pop_front();
        }
        // A window destroyed while its message waited handles nothing; its sender is told.
        ++sentMessageHandlers;
        callWindow(delivery.window, delivery.message, delivery.wParam, delivery.lParam);
        --sentMessageHandlers;
        {
            std::lock_guard<std::mutex> guard(delivery.sender->lock);
            delivery.sender->handled.push_back(delivery.sent);
        }
        delivery.sender->marks.set();
    }
}

} // namespace posix

void PosixWindow::ownByCurrentThread() {
    queueOfCurrentThread();
    WindowTable &table = windowTable();
    std::lock_guard<std::mutex> guard(table.lock);
    table.windows.at(this).owner = currentThreadId();
}

void retrieveMessages(uint32_t ms) {
    queueOfCurrentThread()->deliveries.wait(ms);
    posix::handleSentMessages();
}

bool messagesWaiting() {
    const std::shared_ptr<ThreadMessages> self = queueOfCurrentThread();
    std::lock_guard<std::mutex> guard(self->lock);
    return !self->sentToThread.empty();
}

uint32_t windowThreadId(WindowHandle window) {
    uint32_t owner = 0;
    return lookUpOwner(window, owner) ? owner : 0;
}

bool windowBelongsTo(WindowHandle window, uint32_t thread) {
    uint32_t owner = 0;
    return lookUpOwner(window, owner) && owner == thread &&
           (thread == 0 || queueOfThread(thread) != nullptr);
}

bool sendWithoutWaiting(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                        SentMessage &sent) {
    uint32_t owner = 0;
    if (!lookUpOwner(window, owner))
        return false;
    if (owner == 0 || owner == currentThreadId()) {
        if (!callWindow(window, message, wParam, lParam))
            return false;
        sent.handled = true;
        return true;
    }
    const std::shared_ptr<ThreadMessages> queue = queueOfThread(owner);
    if (!queue)
        return false; // its thread has ended, and the window with it
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        queue->sentToThread.push_back(
            {window, message, wParam, lParam, &sent, queueOfCurrentThread()});
    }
    queue->deliveries.set();
    return true;
}

bool waitForHandledMessages(uint32_t ms, const Signal &wake) {
    const std::shared_ptr<ThreadMessages> self = queueOfCurrentThread();
    const int which = waitForEither(self->marks, wake, ms);
    std::lock_guard<std::mutex> guard(self->lock);
    for (SentMessage *sent : self->handled)
        sent->handled = true;
    self->handled.clear();
    return which == 1;
}

bool handlingMessageSentWithoutWaiting() {
    return sentMessageHandlers > 0;
}

uint32_t currentThreadId() {
    return static_cast<uint32_t>(gettid());
}

uint32_t processId() {
    return static_cast<uint32_t>(getpid());
}

RegistryKey::RegistryKey(const std::string &path) {
    MemoryRegistry &registry = memoryRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    handle = &registry.keys[path];
}

RegistryKey::~RegistryKey() = default;

std::string RegistryKey::readString(const std::string &name,
                                    const std::string &defaultValue) const {
    MemoryRegistry &registry = memoryRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    const auto &values = *static_cast<const RegistryValues *>(handle);
    auto found = values.find(name);
    return found != values.end() ? found->second : defaultValue;
}

bool RegistryKey::writeString(const std::string &name, const std::string &value) {
    MemoryRegistry &registry = memoryRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    (*static_cast<RegistryValues *>(handle))[name] = value;
    return true;
}

namespace platform {

namespace {

int fdOf(const NativeSocket &socket) {
    return static_cast<int>(socket.handle);
}

} // namespace

bool openStreamSocket(NativeSocket &socket, std::string &error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = errorText(errno);
        return false;
    }
    socket.handle = fd;
    return true;
}

void closeSocket(NativeSocket &socket) {
    if (socket.handle != INVALID_HANDLE) {
        ::close(fdOf(socket));
        socket.handle = INVALID_HANDLE;
    }
}

bool setNoDelay(const NativeSocket &socket, std::string &error) {
    int on = 1;
    if (setsockopt(fdOf(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0)
        return true;
    error = errorText(errno);
    return false;
}

int lastError() {
    return errno;
}

std::string errorText(int error) {
    char buffer[128];
    const char *text = strerror_r(error, buffer, sizeof buffer);
    return std::string(text) + " (" + std::to_string(error) + ")";
}

std::string resolveErrorText(int code) {
    return gai_strerror(code);
}

bool isWouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

int startConnect(NativeSocket &socket, const sockaddr_in &address) {
    if (::connect(fdOf(socket), reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return 0;
    return errno;
}

bool isConnectInProgress(int error) {
    return error == EINPROGRESS || error == EINTR;
}

int connectOutcome(NativeSocket &socket) {
    int outcome = 0;
    socklen_t length = sizeof outcome;
    if (getsockopt(fdOf(socket), SOL_SOCKET, SO_ERROR, &outcome, &length) != 0)
        return errno;
    return outcome;
}

Readiness waitSocket(NativeSocket &socket, Want want, uint32_t ms, const StopSignal &stop,
                     std::string &error) {
    if (stop.isRaised())
        return Readiness::Stopped;
    pollfd entries[2] = {
        {fdOf(socket), static_cast<short>(want == Want::Read ? POLLIN : POLLOUT), 0},
        {static_cast<int>(stop.signal().waitHandle()), POLLIN, 0}};
    const int timeout =
        ms == WAIT_FOREVER ? -1 : static_cast<int>(std::min<uint32_t>(ms, INT32_MAX));
    const int ready = ::poll(entries, 2, timeout);
    if (ready < 0) {
        if (errno == EINTR)
            return Readiness::Ready;
        error = errorText(errno);
        return Readiness::Failed;
    }
    if ((entries[1].revents & POLLIN) != 0)
        return Readiness::Stopped;
    return ready == 0 ? Readiness::TimedOut : Readiness::Ready;
}

long sendSome(const NativeSocket &socket, const uint8_t *data, std::size_t length) {
    return static_cast<long>(::send(fdOf(socket), data, length, MSG_NOSIGNAL));
}

long receiveSome(const NativeSocket &socket, uint8_t *buffer, std::size_t capacity) {
    return static_cast<long>(::recv(fdOf(socket), buffer, capacity, 0));
}

} // namespace platform

} // namespace Korval::os
