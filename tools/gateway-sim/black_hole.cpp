#include "black_hole.h"

#include <utility>

namespace korvalsim {

namespace {

// How long a filler connect may take before the queue counts as full. A queued connection
// completes in well under a millisecond on loopback.
constexpr unsigned ProbeMs = 100;
constexpr size_t MaxFillers = 8;

} // namespace

BlackHole::BlackHole(std::string address, uint16_t port)
    : address_(std::move(address)), port_(port) {}

BlackHole::~BlackHole() {
    stop();
}

// Seen on Linux 6.x (native and under Wine): with backlog 0 the accept queue holds exactly
// one connection; once our own filler sits in it, the kernel drops further SYNs and a client
// connect stays pending past 3 s (SYN retries come at 1 s and 3 s). Other kernels may round
// the backlog up, so we keep adding fillers until one no longer completes. A native Windows
// stack may answer a full queue with a reset instead, making connects fail fast there.
bool BlackHole::start(std::string *error) {
    if (listener_.valid()) {
        if (error)
            *error = "already running";
        return false;
    }
    listener_ = Socket::listenOn(address_, port_, 0, error);
    if (!listener_.valid())
        return false;
    while (fillers_.size() < MaxFillers) {
        Socket filler;
        std::string reason;
        const ConnectResult r = Socket::connectTo(address_, port_, ProbeMs, filler, &reason);
        if (r == ConnectResult::TimedOut)
            return true; // the pending probe is dropped with `filler`; the queue is full
        if (r == ConnectResult::Failed) {
            if (error)
                *error = "filling the accept queue: " + reason;
            stop();
            return false;
        }
        fillers_.push_back(std::move(filler));
    }
    if (error)
        *error = "accept queue did not fill up";
    stop();
    return false;
}

void BlackHole::stop() {
    fillers_.clear();
    listener_.close();
}

} // namespace korvalsim
