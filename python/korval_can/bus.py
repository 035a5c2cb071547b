"""python-can's bus on a KORVAL gateway: CANopen SDO requests out, SDO responses and the
gateway's heartbeats in, through the Linux library libcanlib.so.1."""

import contextlib
import ctypes
import os
import threading
import time
from collections import deque
from typing import Any, Deque, Iterator, List, Optional, Tuple

import can

from . import frames, library, settings

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


def _after_fork_in_child() -> None:
    """A forked child has no bus open: the one it inherited is its parent's."""
    global _claim, _open_bus
    _claim = threading.Lock()  # a thread of the parent may have held it, opening a bus
    _open_bus = None


os.register_at_fork(after_in_child=_after_fork_in_child)


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
    Opening is all or nothing: an exception on the way (``KeyboardInterrupt`` too) closes the
    channel before it propagates. Only SDO requests (0x601 to 0x67F, eight bytes, standard
    identifier) can be sent; any other frame raises :class:`can.CanOperationError` with the
    library's text. The library has one channel, so a process has one open bus at a time.

    A forked child cannot use a bus it inherited: ``send`` and ``recv`` raise
    :class:`can.CanOperationError`, and ``shutdown`` leaves the parent's connection alone. The
    child may open a bus of its own.
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
        self._link_closed: Optional[str] = None
        self._opened = False
        self._channel_open = False
        self._process = os.getpid()
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
        try:
            self._open_channel(channel, node)
            self._wait_for_link()
        except BaseException:
            # Ctrl-C included: a channel left open would serve the next bus of this process
            # from this bus's gateway.
            self._close_channel()
            raise

    def _open_channel(self, channel: Any, node: Any) -> None:
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
            self._channel_open = True  # before the call: an interrupt may come as it returns
            status = self._library.canOpenChannel(CHANNEL, 0)
        if status < 0:
            trace.sync()
            # The first line is the call's own; the library's reason follows it.
            told = [line.partition(": ")[2] for line in trace.since(start)[1:]]
            raise can.CanInitializationError(
                "; ".join(told) or f"canOpenChannel returned {status}", error_code=status
            )

    def _wait_for_link(self) -> None:
        deadline = time.monotonic() + OPEN_WAIT
        while True:
            with self._link:
                failure = self._first_failure
            message = None
            if not failure:
                try:
                    message = self._read(READ_SLICE)
                except can.CanOperationError as error:
                    failure = str(error)
            if failure:
                # After the close the library has told all it will of this link.
                self._close_channel()
                raise can.CanInitializationError(
                    f"Cannot reach the KORVAL gateway at {self._host}: "
                    + (f"{library.LINK_CLOSED}: {self._link_closed}" if self._link_closed
                       else failure)
                )
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
            stage, _, said = line.partition(": ")
            if stage == library.LINK_CLOSED:
                self._link_closed = said
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
            raise self._failure("canReadWait", status)
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

    def _failure(self, function: str, status: int) -> can.CanOperationError:
        if status == library.canERR_HARDWARE:
            self._library.trace.sync()
            with self._link:
                closed = self._link_closed
            if closed:
                return can.CanOperationError(
                    f"The KORVAL library closed the link to {self._host}: {closed} Shut the "
                    "bus down; a bus opened anew tries again",
                    error_code=status,
                )
        return can.CanOperationError(f"{function} returned {status}", error_code=status)

    def _check_usable(self) -> None:
        if self._process != os.getpid():
            raise can.CanOperationError(
                f"This KORVAL bus belongs to process {self._process}, which this process was "
                "forked from: open a bus of its own here"
            )
        if self._closed.is_set():
            raise can.CanOperationError("The KORVAL bus is shut down")

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[can.Message], bool]:
        self._check_usable()
        with contextlib.suppress(IndexError):
            return self._pending.popleft(), False
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._link:
            self._readers += 1
        try:
            while True:
                self._check_usable()
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
        self._check_usable()
        refusal = frames.refusal(msg)
        if refusal:
            raise can.CanOperationError(refusal)
        with self._link:
            down = self._link_down
            closed = self._link_closed
        if down and not closed:
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
            raise self._failure("canWrite", status)

    def flush_tx_buffer(self) -> None:
        self._check_usable()
        self._library.canFlushTransmitQueue(CHANNEL)

    @staticmethod
    def _detect_available_configs() -> List[can.typechecking.AutoDetectedConfig]:
        """The gateway that opening without a channel takes: ``KORVAL_GATEWAY``, else the
        remembered address's file, with the node of ``KORVAL_NODE``. Nothing is connected."""
        configured = settings.configured_gateway()
        if configured is None:
            return []
        gateway, node = configured
        return [{"interface": "korval", "channel": gateway, "node": node}]

    def shutdown(self) -> None:
        """Closes the channel; a thread waiting in :meth:`recv` gets CanOperationError. In a
        forked child it only marks the inherited bus shut down: the channel is the parent's."""
        global _open_bus
        if self._closed.is_set():
            return
        self._closed.set()
        super().shutdown()
        if not self._opened or self._process != os.getpid():
            return  # a failed opening has closed the channel itself
        with self._link:
            # A reader still inside the library would take frames of the next bus.
            self._link.wait_for(lambda: self._readers == 0, READ_SLICE * 20)
        self._close_channel()
        with _claim:
            if _open_bus is self:
                _open_bus = None

    def _close_channel(self) -> None:
        if self._channel_open:
            self._channel_open = False
            self._library.canClose(CHANNEL)
            self._library.trace.sync()
        self._library.trace.remove_listener(self._watch_link)
