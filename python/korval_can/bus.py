"""python-can's bus on a KORVAL gateway: CANopen SDO requests out, SDO responses and the
gateway's heartbeats in, through the Linux library libcanlib.so.1."""

import contextlib
import ctypes
import os
import threading
import time
from collections import deque
from typing import Any, Deque, Iterator, Optional, Tuple

import can

from . import frames, library

# The library's limits: each connect, send and reply within 3 s; a node poll after 1 s without
# traffic; a new attempt 3 s after a failed one.
GATEWAY_TIME_LIMIT = 3.0
POLL_INTERVAL = 1.0
RECONNECT_PAUSE = 3.0
# Long enough for the pause before a reopened channel's first attempt, a connect, the first
# node poll and its reply, each at the library's limit: by then the library has delivered a
# frame or traced a failure, unless the gateway is connected but the chosen node is not active.
OPEN_WAIT = RECONNECT_PAUSE + GATEWAY_TIME_LIMIT + POLL_INTERVAL + GATEWAY_TIME_LIMIT + 1.0
# A reader waits in slices of this length, so that a shutdown reaches it.
READ_SLICE = 0.1

CHANNEL = 0  # the library's one channel
MILLISECONDS = 1000

_claim = threading.Lock()
_open_bus: Optional["KorvalBus"] = None


@contextlib.contextmanager
def _environment(**values: Optional[str]) -> Iterator[None]:
    """Sets the variables the library reads while opening, and restores them afterwards."""
    previous = {name: os.environ.get(name) for name in values}
    try:
        for name, value in values.items():
            if value is not None:
                os.environ[name] = value
        yield
    finally:
        for name, value in previous.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


class KorvalBus(can.BusABC):
    """A KORVAL gateway as a CAN bus.

    :param channel: the gateway's host name or IPv4 address (port 502); ``None`` takes the
        library's own choice: ``KORVAL_GATEWAY``, else ``~/.config/korval/gateway``.
    :param node: 1 to 127 to see only that node's heartbeats, 0 for every node; ``None`` takes
        ``KORVAL_NODE``, else every node.

    Opening waits until the gateway has answered (at most about eleven seconds) and raises
    :class:`can.CanInitializationError` with the library's message when it cannot be reached.
    Only SDO requests (0x601 to 0x67F, eight bytes, standard identifier) can be sent; any other
    frame raises :class:`can.CanOperationError` with the library's text. The library has one
    channel, so a process has one open bus at a time.
    """

    def __init__(
        self,
        channel: Any = None,
        can_filters: Optional[can.typechecking.CanFilters] = None,
        node: Any = None,
        **kwargs: object,
    ) -> None:
        global _open_bus
        super().__init__(channel, can_filters, **kwargs)
        self.channel = channel
        self._closed = threading.Event()
        self._pending: Deque[can.Message] = deque()
        self._readers = 0
        self._link = threading.Condition()
        self._host = str(channel) if channel else ""
        self._first_failure: Optional[str] = None
        self._link_down: Optional[str] = None
        self._opened = False
        with _claim:
            if _open_bus is not None:
                raise can.CanInitializationError(
                    "The KORVAL library has one channel, and a bus on it is open already "
                    f"({_open_bus.channel_info}): shut that bus down first"
                )
            self._library = library.load()
            self._open(channel, node)
            self._opened = True
            _open_bus = self
        self.channel_info = f"KORVAL gateway {self._host}" + (f", node {node}" if node else "")

    def _open(self, channel: Any, node: Any) -> None:
        trace = self._library.trace
        # Frames of an earlier bus may still wait in the library: only a frame of this one
        # shows that the gateway answers.
        self._library.canFlushReceiveQueue(CHANNEL)
        start = trace.position()
        trace.add_listener(self._watch_link)
        with _environment(
            KORVAL_GATEWAY=str(channel) if channel not in (None, "") else None,
            KORVAL_NODE=str(node) if node is not None else None,
        ):
            status = self._library.canOpenChannel(CHANNEL, 0)
        if status < 0:
            trace.remove_listener(self._watch_link)
            trace.sync()
            # The first line is the call's own; the library's reason follows it.
            told = [line.partition(": ")[2] for line in trace.since(start)[1:]]
            raise can.CanInitializationError(
                "; ".join(told) or f"canOpenChannel returned {status}", error_code=status
            )

        deadline = time.monotonic() + OPEN_WAIT
        while True:
            with self._link:
                failure = self._first_failure
            if failure:
                self._close_channel()
                raise can.CanInitializationError(
                    f"Cannot reach the KORVAL gateway at {self._host}: {failure}"
                )
            message = self._read(READ_SLICE)
            if message is not None:
                self._pending.append(message)
                return
            if time.monotonic() >= deadline:
                library.log.warning(
                    "The KORVAL gateway at %s is connected, but no heartbeat came within %g s: "
                    "is the node chosen active?",
                    self._host,
                    OPEN_WAIT,
                )
                return

    def _watch_link(self, line: str) -> None:
        """Follows the library's link from its trace: down from a failure to the next attempt."""
        with self._link:
            if line.startswith(library.ATTEMPT_PREFIX):
                self._host = line[len(library.ATTEMPT_PREFIX):]
                self._link_down = None
            elif library.is_failure(line):
                self._link_down = line
                if self._first_failure is None:
                    self._first_failure = line
            self._link.notify_all()

    def _read(self, seconds: float) -> Optional[can.Message]:
        frame_id = ctypes.c_int32()
        data = (ctypes.c_uint8 * 8)()
        dlc, flags, stamp = ctypes.c_uint32(), ctypes.c_uint32(), ctypes.c_uint32()
        status = self._library.canReadWait(
            CHANNEL,
            ctypes.byref(frame_id),
            data,
            ctypes.byref(dlc),
            ctypes.byref(flags),
            ctypes.byref(stamp),
            int(max(seconds, 0.0) * MILLISECONDS),
        )
        if status == library.canERR_NOMSG:
            return None
        if status != library.canOK:
            raise can.CanOperationError(f"canReadWait returned {status}", error_code=status)
        # The library stamps a frame in milliseconds of the monotonic clock when it hands it
        # over; python-can wants seconds of the wall clock.
        now = int(time.monotonic() * MILLISECONDS) & 0xFFFFFFFF
        age = ((now - stamp.value) & 0xFFFFFFFF) / MILLISECONDS
        length = min(dlc.value, len(data))
        return can.Message(
            timestamp=time.time() - age,
            arbitration_id=frame_id.value,
            is_extended_id=False,
            dlc=length,
            data=bytes(data[:length]),
            channel=self.channel,
            is_rx=True,
        )

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[can.Message], bool]:
        if self._closed.is_set():
            raise can.CanOperationError("The KORVAL bus is shut down")
        with contextlib.suppress(IndexError):
            return self._pending.popleft(), False
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._link:
            self._readers += 1
        try:
            while True:
                if self._closed.is_set():
                    raise can.CanOperationError("The KORVAL bus is shut down")
                left = READ_SLICE if deadline is None else deadline - time.monotonic()
                message = self._read(min(left, READ_SLICE))
                if message is not None:
                    return message, False
                if deadline is not None and time.monotonic() >= deadline:
                    return None, False
        finally:
            with self._link:
                self._readers -= 1
                self._link.notify_all()

    def send(self, msg: can.Message, timeout: Optional[float] = None) -> None:
        """Queues an SDO request; the node's answer arrives through :meth:`recv`."""
        if self._closed.is_set():
            raise can.CanOperationError("The KORVAL bus is shut down")
        refusal = frames.refusal(msg)
        if refusal:
            raise can.CanOperationError(refusal)
        with self._link:
            down = self._link_down
        if down:
            # The library empties its transmit queue before it connects again: the frame would
            # be lost without a word.
            raise can.CanOperationError(
                f"The KORVAL gateway at {self._host} is not connected ({down}); the library "
                f"connects again every {RECONNECT_PAUSE:g} s"
            )
        data = (ctypes.c_uint8 * frames.SDO_FRAME_LENGTH).from_buffer_copy(frames.frame_bytes(msg))
        status = self._library.canWrite(
            CHANNEL, msg.arbitration_id, data, frames.SDO_FRAME_LENGTH, frames.canMSG_STD
        )
        if status != library.canOK:
            raise can.CanOperationError(f"canWrite returned {status}", error_code=status)

    def flush_tx_buffer(self) -> None:
        self._library.canFlushTransmitQueue(CHANNEL)

    def shutdown(self) -> None:
        """Closes the channel; a thread waiting in :meth:`recv` gets CanOperationError."""
        global _open_bus
        if self._closed.is_set():
            return
        self._closed.set()
        super().shutdown()
        if not self._opened:
            return  # a failed opening has closed the channel itself
        with self._link:
            # A reader still inside the library would take frames of the next bus.
            self._link.wait_for(lambda: self._readers == 0, READ_SLICE * 20)
        self._close_channel()
        with _claim:
            if _open_bus is self:
                _open_bus = None

    def _close_channel(self) -> None:
        self._library.canClose(CHANNEL)
        self._library.trace.remove_listener(self._watch_link)
