"""The way the canopen library drives a python-can bus, without canopen (which cannot be
installed here): a Notifier thread reads and hands each frame to a listener, which passes SDO
answers to a waiting client through a queue; the client sends from its own thread and, when its
own time-out runs out, sends an abort and gives up."""

import queue
import struct
import time

import can

RESPONSE_TIMEOUT = 0.3  # canopen's default
ABORT_TIMED_OUT = 0x05040000


class SdoTimeout(Exception):
    """No answer within the client's own time-out."""


class Network(can.Listener):
    def __init__(self, bus: can.BusABC) -> None:
        self.bus = bus
        self.answers: queue.Queue = queue.Queue()
        self.heartbeats: queue.Queue = queue.Queue()  # (node, time stamp)
        self.notifier = can.Notifier(bus, [self], timeout=1.0)

    def on_message_received(self, msg: can.Message) -> None:
        if 0x581 <= msg.arbitration_id <= 0x5FF:
            self.answers.put((msg.arbitration_id - 0x580, bytes(msg.data)))
        elif 0x701 <= msg.arbitration_id <= 0x77F:
            self.heartbeats.put((msg.arbitration_id - 0x700, msg.timestamp))

    def send(self, node: int, data: bytes) -> None:
        self.bus.send(can.Message(arbitration_id=0x600 + node, data=data, is_extended_id=False))

    def upload(self, node: int, index: int, subindex: int = 0,
               timeout: float = RESPONSE_TIMEOUT) -> bytes:
        """An expedited upload: the answer's four data bytes."""
        while not self.answers.empty():  # as canopen, forgets answers nobody waited for
            self.answers.get()
        self.send(node, struct.pack("<BHB4x", 0x40, index, subindex))
        deadline = time.monotonic() + timeout
        while True:
            try:
                answered, data = self.answers.get(timeout=max(deadline - time.monotonic(), 0))
            except queue.Empty:
                self.send(node, struct.pack("<BHBI", 0x80, index, subindex, ABORT_TIMED_OUT))
                raise SdoTimeout(f"node {node} did not answer within {timeout:g} s") from None
            if answered == node:
                return data[4:]

    def heartbeats_after(self, moment: float, seconds: float) -> list:
        nodes, end = [], time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                node, stamp = self.heartbeats.get(timeout=0.2)
            except queue.Empty:
                continue
            if stamp > moment:
                nodes.append(node)
        return nodes

    def disconnect(self) -> None:
        self.notifier.stop()
        self.bus.shutdown()
