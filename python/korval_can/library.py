"""The Linux library libcanlib.so.1, loaded once per process, and the trace lines it writes.

The library is the one built into this package when it was installed, else the system loader's;
``KORVAL_CANLIB`` names a file to load instead. Its trace lines reach Python through a socket
whose descriptor it is given in ``KORVAL_TRACE_FD``: they go to the ``can.korval`` logger, and
the bus reads the link's failures from them. A forked child gets a socket and a reader of its
own under the same descriptor number, so that its lines never reach its parent.
"""

import ctypes
import logging
import os
import socket
import threading
from collections import deque
from typing import Callable, List, Optional

import can

LIBRARY_NAME = "libcanlib.so.1"
LIBRARY_OVERRIDE = "KORVAL_CANLIB"

canOK = 0
canERR_NOMSG = -2
canERR_HARDWARE = -15  # the gateway's firmware closed the link

log = logging.getLogger("can.korval")

# The stage of the line the library writes when the gateway's firmware cannot serve it: the link
# is closed until the channel is opened anew.
LINK_CLOSED = "Link closed"
# The stages of the library's gateway link whose trace lines report a failed attempt; the link
# then closes its socket and connects again after a pause (except after LINK_CLOSED).
FAILURE_STAGES = (
    "Connect",
    "Send",
    "Receive",
    "Send/Receive",
    "getActiveNodes",
    "getActiveNodes failed",
    LINK_CLOSED,
)
ATTEMPT_PREFIX = "Connecting to "
_TRACE_CATEGORY = "canlib: "
_SYNC_MARK = b"\0sync"


def is_failure(line: str) -> bool:
    stage, separator, _ = line.partition(": ")
    return bool(separator) and stage in FAILURE_STAGES


class TraceLines:
    """Receives the library's trace lines, logs them and keeps the recent ones."""

    KEPT = 1000
    SYNC_LIMIT = 2.0

    def __init__(self, descriptor: Optional[int] = None) -> None:
        """descriptor: the number the library writes to already, which is to name this socket
        from now on; without it the socket gets a number of its own."""
        self._reader, self._writer = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        if descriptor is not None:
            os.dup2(self._writer.fileno(), descriptor, inheritable=False)
            self._writer.close()
            self._writer = socket.socket(fileno=descriptor)
        self._writer.settimeout(self.SYNC_LIMIT)
        self.process = os.getpid()
        self._changed = threading.Condition()
        self._lines: deque = deque(maxlen=self.KEPT)
        self._count = 0
        self._marks = 0  # marks received, of the _sent ones
        self._sent = 0
        self._listeners: List[Callable[[str], None]] = []
        threading.Thread(target=self._receive, name="korval-trace", daemon=True).start()

    @property
    def descriptor(self) -> int:
        return self._writer.fileno()

    def renewed_in_child(self) -> "TraceLines":
        """In a forked child: lines of its own under the same number. The parent's socket stays
        the parent's; the inherited reader has no thread in the child, and its locks may be held
        by a thread that does not exist here."""
        descriptor = self._writer.detach()
        self._reader.close()
        return TraceLines(descriptor)

    def add_listener(self, listener: Callable[[str], None]) -> None:
        with self._changed:
            self._listeners.append(listener)

    def remove_listener(self, listener: Callable[[str], None]) -> None:
        with self._changed:
            if listener in self._listeners:
                self._listeners.remove(listener)

    def position(self) -> int:
        """Number of lines received so far, after all that the library has written."""
        self.sync()
        with self._changed:
            return self._count

    def since(self, position: int) -> List[str]:
        with self._changed:
            kept_from = self._count - len(self._lines)
            return list(self._lines)[max(position - kept_from, 0):]

    def sync(self) -> None:
        """Waits until every line written before this call has been received."""
        with self._changed:
            try:
                self._writer.send(_SYNC_MARK)
            except OSError:
                return  # the reader is far behind; what it has is what there is
            self._sent += 1
            wanted = self._sent
            self._changed.wait_for(lambda: self._marks >= wanted, self.SYNC_LIMIT)

    def _receive(self) -> None:
        while True:
            data = self._reader.recv(65536)
            if data == _SYNC_MARK:
                with self._changed:
                    self._marks += 1
                    self._changed.notify_all()
                continue
            text = data.decode("utf-8", "replace").rstrip("\n")
            if text.startswith(_TRACE_CATEGORY):
                text = text[len(_TRACE_CATEGORY):]
            log.log(logging.WARNING if is_failure(text) else logging.DEBUG, "%s", text)
            with self._changed:
                self._lines.append(text)
                self._count += 1
                listeners = list(self._listeners)
                self._changed.notify_all()
            for listener in listeners:
                listener(text)


class Library:
    """The library's functions, as ctypes sees them."""

    def __init__(self, dll: ctypes.CDLL, path: str, trace: TraceLines) -> None:
        self.dll = dll
        self.path = path
        self.trace = trace
        i32, u32, ptr = ctypes.c_int32, ctypes.c_uint32, ctypes.c_void_p
        signatures = {
            "canInitializeLibrary": (None, []),
            "canOpenChannel": (i32, [i32, i32]),
            "canClose": (i32, [i32]),
            "canGetNumberOfChannels": (i32, [ctypes.POINTER(i32)]),
            "canWrite": (i32, [i32, i32, ptr, u32, u32]),
            "canReadWait": (
                i32,
                [i32, ctypes.POINTER(i32), ptr, ctypes.POINTER(u32), ctypes.POINTER(u32),
                 ctypes.POINTER(u32), u32],
            ),
            "canFlushReceiveQueue": (i32, [i32]),
            "canFlushTransmitQueue": (i32, [i32]),
        }
        for name, (result, arguments) in signatures.items():
            function = getattr(dll, name)
            function.restype = result
            function.argtypes = arguments
            setattr(self, name, function)


_library: Optional[Library] = None
# Kept once made: the library reads its descriptor at its first trace line, for good.
_trace: Optional[TraceLines] = None
_loading = threading.Lock()


def _after_fork_in_child() -> None:
    global _loading
    _loading = threading.Lock()  # a thread of the parent may have held it


os.register_at_fork(after_in_child=_after_fork_in_child)


def _candidates() -> List[str]:
    override = os.environ.get(LIBRARY_OVERRIDE)
    if override:
        return [override]
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY_NAME)
    return [beside, LIBRARY_NAME] if os.path.exists(beside) else [LIBRARY_NAME]


def load() -> Library:
    """The library of this process, loaded at the first call; in a forked child, with trace lines
    of the child's own."""
    global _library, _trace
    with _loading:
        if _trace is not None and _trace.process != os.getpid():
            _trace = _trace.renewed_in_child()
            if _library is not None:
                _library.trace = _trace
        if _library is None:
            _library = _load()
        return _library


def _load() -> Library:
    # Interrupted anywhere (Ctrl-C included), a later call starts again with the same socket.
    global _trace
    if _trace is None:
        _trace = TraceLines()
    previous = os.environ.get("KORVAL_TRACE_FD")
    os.environ["KORVAL_TRACE_FD"] = str(_trace.descriptor)
    try:
        errors = []
        for candidate in _candidates():
            try:
                dll = ctypes.CDLL(candidate)
                break
            except OSError as error:
                errors.append(str(error))
        else:
            raise can.CanInterfaceNotImplementedError(
                f"Cannot load the KORVAL library {LIBRARY_NAME}: " + "; ".join(errors)
            )
        library = Library(dll, candidate, _trace)
        library.canInitializeLibrary()
        # The library reads its trace destinations at its first trace line: make it now, so
        # that the descriptor's number leaves the environment before any child inherits it.
        count = ctypes.c_int32()
        library.canGetNumberOfChannels(ctypes.byref(count))
    finally:
        if previous is None:
            os.environ.pop("KORVAL_TRACE_FD", None)
        else:
            os.environ["KORVAL_TRACE_FD"] = previous
    return library
