// What the worker and the host's waits in a connection owe the host's notification of received
// frames. The channel implements it for its window; a bare connection has none.
#pragma once

namespace Korval {

class HostNotification {
  public:
    // How a host thread waits in the connection: without the window's messages (not the
    // window's thread), letting the messages that other threads send it through (the window's
    // thread), or the same from inside the handler of the notification the worker waits for,
    // which lets the worker go on meanwhile; the last for frames or for the worker's end.
    enum class HostWait { Plain, WithMessages, InHandler, InHandlerForWorkerEnd };

    // Before a host thread blocks in the connection, for a frame or for the worker's end.
    virtual HostWait beginHostWait(bool forWorkerEnd) = 0;
    // After it: true when the worker should look at its notifications again.
    virtual bool endHostWait(HostWait wait) = 0;

    // The worker: true when it owes the host a notification it must wait for before going on.
    virtual bool due() const = 0;
    // The worker: sends what is owed, waiting for the host as far as the host lets it.
    virtual void catchUp() = 0;
    // The worker, when it stops: what has not been sent is dropped; what has been is waited for.
    virtual void finish() = 0;

  protected:
    ~HostNotification() = default;
};

} // namespace Korval
