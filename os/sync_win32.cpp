// Win32 side of the waits: slim reader/writer locks and condition variables (which Wine keeps
// inside the process), events, and thread handles.
#include "os/sync.h"
#include "os/win32_wait.h"

#include <windows.h>

#include <cerrno>
#include <process.h>
#include <string>

namespace Korval::os {

static_assert(sizeof(void *) == sizeof(SRWLOCK) && sizeof(void *) == sizeof(CONDITION_VARIABLE),
              "a slim lock and a condition variable are one pointer each");

namespace {

PSRWLOCK asLock(void *&word) {
    return reinterpret_cast<PSRWLOCK>(&word);
}

PCONDITION_VARIABLE asCondition(void *&word) {
    return reinterpret_cast<PCONDITION_VARIABLE>(&word);
}

} // namespace

int waitForObjects(const HANDLE *handles, DWORD count, uint32_t ms, bool letSentMessagesThrough) {
    const Deadline deadline(ms);
    for (;;) {
        DWORD result;
        if (letSentMessagesThrough) {
            result = MsgWaitForMultipleObjectsEx(count, handles, deadline.remainingMs(),
                                                 QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
            if (result == WAIT_OBJECT_0 + count) {
                MSG message;
                PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
                return WAIT_MESSAGES_HANDLED;
            }
        } else {
            result = WaitForMultipleObjects(count, handles, FALSE, deadline.remainingMs());
        }
        if (result < WAIT_OBJECT_0 + count)
            return static_cast<int>(result - WAIT_OBJECT_0);
        if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count)
            return static_cast<int>(result - WAIT_ABANDONED_0);
        if (result != WAIT_TIMEOUT)
            return WAIT_FAILURE;
        if (deadline.passed())
            return WAIT_TIMED_OUT;
    }
}

void Monitor::lock() {
    AcquireSRWLockExclusive(asLock(lockWord));
}

void Monitor::unlock() {
    ReleaseSRWLockExclusive(asLock(lockWord));
}

void Monitor::wait(uint32_t ms) {
    SleepConditionVariableSRW(asCondition(conditionWord), asLock(lockWord), ms, 0);
}

void Monitor::pulseOne() {
    WakeConditionVariable(asCondition(conditionWord));
}

void Monitor::pulseAll() {
    WakeAllConditionVariable(asCondition(conditionWord));
}

Signal::Signal(bool manualReset)
    : handle(reinterpret_cast<intptr_t>(CreateEventW(nullptr, manualReset, FALSE, nullptr))) {}

Signal::~Signal() {
    if (handle != 0)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool Signal::isValid() const {
    return handle != 0;
}

void Signal::set() const {
    SetEvent(reinterpret_cast<HANDLE>(handle));
}

void Signal::reset() const {
    ResetEvent(reinterpret_cast<HANDLE>(handle));
}

bool Signal::wait(uint32_t ms, bool letSentMessagesThrough) const {
    const HANDLE event = reinterpret_cast<HANDLE>(handle);
    return waitForObjects(&event, 1, ms, letSentMessagesThrough) == 0;
}

int waitForEither(const Signal &first, const Signal &second, uint32_t ms) {
    const HANDLE handles[2] = {reinterpret_cast<HANDLE>(first.waitHandle()),
                               reinterpret_cast<HANDLE>(second.waitHandle())};
    const int which = waitForObjects(handles, 2, ms, false);
    return which >= 0 ? which : -1;
}

struct Thread::State {
    std::function<void()> body;
    HANDLE handle = nullptr;
    std::atomic<DWORD> id{0};
    std::atomic<bool> returned{false}; // or cancelled before it began
    // Whether the body has begun or was cancelled first: exactly one of the two happens.
    std::atomic<bool> claimed{false};
    // Set once the body has returned, before the thread's own end, which needs the loader
    // lock: a close from a DLL's detach can then still wait for the worker.
    Signal bodyEnded{true};
};

namespace {

unsigned __stdcall runThread(void *context) {
    // The thread owns one reference to its state until it returns.
    auto *state = static_cast<std::shared_ptr<Thread::State> *>(context);
    (*state)->id = GetCurrentThreadId();
    if (!(*state)->claimed.exchange(true)) {
        try {
            (*state)->body();
        } catch (...) {
            // Nothing may leave a thread: the body reports its own failures.
        }
        (*state)->returned = true;
        (*state)->bodyEnded.set();
    }
    delete state;
    return 0;
}

HANDLE startThread(const std::shared_ptr<Thread::State> &state, std::string &error) {
    if (!state->bodyEnded.isValid()) {
        error = "the system cannot provide a wait for the thread's end";
        return nullptr;
    }
    auto *reference = new std::shared_ptr<Thread::State>(state);
    unsigned id = 0;
    const uintptr_t handle = _beginthreadex(nullptr, 0, &runThread, reference, 0, &id);
    if (handle == 0) {
        const int code = errno;
        delete reference;
        error = "the system cannot start a thread (errno " + std::to_string(code) + ")";
        return nullptr;
    }
    state->id = id;
    return reinterpret_cast<HANDLE>(handle);
}

} // namespace

std::shared_ptr<Thread> Thread::start(std::function<void()> body, std::string &error) {
    auto state = std::make_shared<State>();
    state->body = std::move(body);
    std::shared_ptr<Thread> thread(new Thread(state));
    state->handle = startThread(state, error);
    return state->handle != nullptr ? thread : nullptr;
}

bool Thread::startDetached(std::function<void()> body, std::string &error) {
    auto state = std::make_shared<State>();
    state->body = std::move(body);
    const HANDLE handle = startThread(state, error);
    if (handle == nullptr)
        return false;
    CloseHandle(handle);
    return true;
}

Thread::~Thread() {
    if (state->handle != nullptr)
        CloseHandle(state->handle);
}

bool Thread::hasEnded() const {
    // At process exit the system ends the thread without letting it return: its handle says so.
    return state->returned || WaitForSingleObject(state->handle, 0) == WAIT_OBJECT_0;
}

bool Thread::cancelIfNotStarted() {
    if (state->claimed.exchange(true))
        return false;
    state->returned = true;
    state->bodyEnded.set();
    return true;
}

bool Thread::isCurrent() const {
    return GetCurrentThreadId() == state->id;
}

bool Thread::waitForEnd(uint32_t ms, bool letSentMessagesThrough) const {
    // The handle, for a thread that the system ended at process exit without its body returning.
    const HANDLE ends[2] = {reinterpret_cast<HANDLE>(state->bodyEnded.waitHandle()), state->handle};
    const Deadline deadline(ms);
    for (;;) {
        const int which = waitForObjects(ends, 2, deadline.remainingMs(), letSentMessagesThrough);
        if (which >= 0)
            return true;
        if (which != WAIT_MESSAGES_HANDLED || deadline.passed())
            return false;
    }
}

} // namespace Korval::os
