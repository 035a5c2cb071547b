#include "channel/window_notifier.h"

#include <algorithm>
#include <string>

namespace Korval {

WindowNotifier::WindowNotifier(const std::atomic<os::WindowHandle> &target, uint32_t msg,
                               uintptr_t first, intptr_t second, const os::StopSignal &stopSignal)
    : window(target), message(msg), wParam(first), lParam(second), stop(stopSignal) {}

void WindowNotifier::announce() {
    // Once a close has begun, nothing more is announced.
    if (stop.isRaised())
        return;
    ++owed;
    catchUp();
}

bool WindowNotifier::due() const {
    return (inFlight || owed > 0) && !letGo() && !stop.isRaised();
}

void WindowNotifier::catchUp() {
    for (;;) {
        if (inFlight && !awaitInFlight(false))
            return;
        if (owed == 0 || stop.isRaised())
            return;
        --owed;
        sendNext();
    }
}

void WindowNotifier::finish() {
    owed = 0;
    // What the window has been sent is waited for, so that no handler runs once the close has
    // returned; unless the close comes from inside that very handler.
    if (inFlight)
        awaitInFlight(true);
    // This thread retrieves no more messages: nothing can mark these any longer.
    inFlight.reset();
    abandoned.clear();
    awaitedThread = 0;
}

void WindowNotifier::sendNext() {
    const os::WindowHandle target = window.load();
    const uint32_t thread = os::windowThreadId(target);
    auto sent = std::make_unique<os::SentMessage>();
    // Set before the send, so that its handler finds it.
    awaitedThread = thread;
    if (!os::sendWithoutWaiting(target, message, wParam, lParam, *sent) || sent->handled) {
        awaitedThread = 0; // no window, or handled inside the call
        return;
    }
    inFlight = std::move(sent);
    inFlightWindow = target;
    inFlightThread = thread;
}

bool WindowNotifier::awaitInFlight(bool stopping) {
    const os::Deadline limit(stopping ? STOP_WAIT_LIMIT : os::WAIT_FOREVER);
    for (;;) {
        if (inFlight->handled) {
            forgetInFlight(true);
            return true;
        }
        // A stopping worker waits for a handler that reads; not for one that ends the worker.
        if (stopping ? enderInHandler.load() > 0 : letGo() || stop.isRaised())
            return false;
        if (limit.passed()) {
            os::writeTrace("rxNotify", "the window's thread has not handled WM_CANLIB within " +
                                           std::to_string(STOP_WAIT_LIMIT) +
                                           " ms; the channel closes without it");
            forgetInFlight(false);
            return true;
        }
        const bool woken =
            os::waitForHandledMessages(std::min(WAIT_ROUND, limit.remainingMs()), workerWake);
        if (!woken && !inFlight->handled && !os::windowBelongsTo(inFlightWindow, inFlightThread)) {
            os::writeTrace("rxNotify", "the window went away before it handled WM_CANLIB");
            forgetInFlight(false);
            return true;
        }
    }
}

void WindowNotifier::forgetInFlight(bool handled) {
    if (handled)
        inFlight.reset();
    else
        abandoned.push_back(std::move(inFlight));
    awaitedThread = 0;
}

HostNotification::HostWait WindowNotifier::beginHostWait(bool forWorkerEnd) {
    // A close or an open waits for the worker to end: the worker must look at its stop.
    if (forWorkerEnd)
        workerWake.set();
    // The thread of the message in flight counts, whichever window canSetNotify names by now:
    // the message may be to a window named before.
    const uint32_t current = os::currentThreadId();
    const bool awaited = awaitedThread.load() == current;
    if (!awaited && os::windowThreadId(window.load()) != current)
        return HostWait::Plain;
    // That thread in the handler of the message the worker waits for: the handler cannot return
    // before this wait ends, so the worker goes on meanwhile. Elsewhere the wait lets the
    // message through and the worker goes on once it has been handled.
    if (!awaited || !os::handlingMessageSentWithoutWaiting())
        return HostWait::WithMessages;
    ++(forWorkerEnd ? enderInHandler : readersInHandler);
    workerWake.set();
    return forWorkerEnd ? HostWait::InHandlerForWorkerEnd : HostWait::InHandler;
}

bool WindowNotifier::endHostWait(HostWait wait) {
    if (wait == HostWait::InHandler)
        --readersInHandler;
    else if (wait == HostWait::InHandlerForWorkerEnd)
        --enderInHandler;
    else
        return false;
    return true;
}

} // namespace Korval
