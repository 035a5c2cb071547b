// Where the trace lines and the message boxes go on POSIX, which has neither a debugger output
// nor message boxes: the boxes' words to standard error, the trace lines to standard error only
// when KORVAL_TRACE is 1, and to the descriptor named by KORVAL_TRACE_FD for a program that
// reads them (the Python interface). Each line is the Windows debug output's, with LF for CR LF.
#include "os/os.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Korval::os {

namespace {

const char TRACE_CATEGORY[] = "canlib: ";

struct TraceDestinations {
    bool errorStream = false;
    int descriptor = -1;
};

// A descriptor number in decimal, or -1.
int descriptorNumber(const char *text) {
    if (text == nullptr || *text == '\0')
        return -1;
    long value = 0;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || value > INT_MAX / 10)
            return -1;
        value = value * 10 + (*c - '0');
    }
    return value <= INT_MAX ? static_cast<int>(value) : -1;
}

// Read once, at the first line, so that no later change of the environment races a trace.
const TraceDestinations &traceDestinations() {
    static const TraceDestinations destinations = [] {
        TraceDestinations chosen;
        const char *trace = std::getenv("KORVAL_TRACE");
        chosen.errorStream = trace != nullptr && std::strcmp(trace, "1") == 0;
        chosen.descriptor = descriptorNumber(std::getenv("KORVAL_TRACE_FD"));
        return chosen;
    }();
    return destinations;
}

// One call per line, never waiting and never raising SIGPIPE: a reader that falls behind or
// goes away costs it lines, not the library its progress.
void writeToDescriptor(int fd, const char *line, std::size_t length) {
    const int savedError = errno;
    if (::send(fd, line, length, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno == ENOTSOCK) {
        [[maybe_unused]] const ssize_t written = ::write(fd, line, length);
    }
    errno = savedError;
}

// These live until the process ends, never destroyed: a worker may still trace while the
// host's process exits.
std::mutex *&outputLockOfThisProcess() {
    static auto *lock = new std::mutex;
    return lock;
}

std::mutex &outputLock() {
    return *outputLockOfThisProcess();
}

// A forked child takes a lock of its own: a worker of the parent may have held the old one at
// the fork, and that worker does not exist in the child to let it go.
void renewOutputLockInChild() {
    outputLockOfThisProcess() = new std::mutex;
}

[[maybe_unused]] const int forkHandlerRegistered =
    pthread_atfork(nullptr, nullptr, &renewOutputLockInChild);

void writeToErrorStream(const std::string &text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

std::function<void(const std::string &)> &traceObserver() {
    static auto *observer = new std::function<void(const std::string &)>;
    return *observer;
}

} // namespace

void writeTrace(const std::string &text) {
    const TraceDestinations &destinations = traceDestinations();
    std::function<void(const std::string &)> observer;
    {
        std::lock_guard<std::mutex> guard(outputLock());
        if (destinations.errorStream || destinations.descriptor >= 0) {
            const std::string line = TRACE_CATEGORY + text + "\n";
            if (destinations.errorStream)
                writeToErrorStream(line);
            if (destinations.descriptor >= 0)
                writeToDescriptor(destinations.descriptor, line.data(), line.size());
        }
        observer = traceObserver();
    }
    if (observer)
        observer(text);
}

void setTraceObserver(std::function<void(const std::string &line)> observer) {
    std::lock_guard<std::mutex> guard(outputLock());
    traceObserver() = std::move(observer);
}

// The box's title on a line of its own, then its text: the same words the user reads on Windows.
void showErrorBox(const std::string &text, const std::string &title) {
    std::lock_guard<std::mutex> guard(outputLock());
    writeToErrorStream(title + "\n" + text + "\n");
}

// A Linux program or a Python interpreter has no contract with the library that lets it end
// them: the call that stopped fails, and the host goes on.
void endHostAfterStop() {}

void stopAfterFailure(const char *traceText, const char *boxText, const char *title) noexcept {
    const TraceDestinations &destinations = traceDestinations();
    char line[512];
    const int length = std::snprintf(line, sizeof line, "%s%s\n", TRACE_CATEGORY, traceText);
    if (length > 0) {
        const std::size_t size = std::min(static_cast<std::size_t>(length), sizeof line - 1);
        if (destinations.errorStream)
            std::fwrite(line, 1, size, stderr);
        if (destinations.descriptor >= 0)
            writeToDescriptor(destinations.descriptor, line, size);
    }
    std::fprintf(stderr, "%s\n%s\n", title, boxText);
    std::fflush(stderr);
}

} // namespace Korval::os
