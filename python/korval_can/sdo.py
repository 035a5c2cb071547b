"""A small CANopen SDO client on any python-can bus: read an object (expedited or segmented
upload) and write up to four bytes (expedited download). Frames other than the node's answer
that arrive meanwhile are passed over."""

import struct
import time
from typing import Optional

import can

SDO_REQUEST = 0x600
SDO_RESPONSE = 0x580
# A gateway answers within the library's 3 s limit or not at all.
DEFAULT_TIMEOUT = 4.0
# An upload that announces no size ends here at the latest.
MAX_UPLOAD = 1 << 20

_ABORT = 0x80


class SdoAbortedError(can.CanOperationError):
    """The node refused the transfer; ``error_code`` is its abort code."""


def _exchange(bus: can.BusABC, node: int, request: bytes, timeout: float) -> bytes:
    bus.send(can.Message(arbitration_id=SDO_REQUEST + node, data=request, is_extended_id=False))
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise can.CanTimeoutError(f"Node {node} sent no SDO response within {timeout:g} s")
        msg: Optional[can.Message] = bus.recv(left)
        if msg is None or msg.arbitration_id != SDO_RESPONSE + node or msg.dlc != 8:
            continue
        response = bytes(msg.data)
        if response[0] == _ABORT:
            code = struct.unpack_from("<I", response, 4)[0]
            raise SdoAbortedError(f"Node {node} aborted the SDO transfer", error_code=code)
        return response


def _initiate(command: int, index: int, subindex: int, data: bytes = b"") -> bytes:
    return struct.pack("<BHB", command, index, subindex) + data.ljust(4, b"\0")


def _check(node: int, index: int, subindex: int) -> None:
    if not 1 <= node <= 127 or not 0 <= index <= 0xFFFF or not 0 <= subindex <= 0xFF:
        raise ValueError(f"No SDO object {index:#06x}:{subindex} on node {node}")


def upload(
    bus: can.BusABC, node: int, index: int, subindex: int = 0, timeout: float = DEFAULT_TIMEOUT
) -> bytes:
    """Reads object index:subindex of the node."""
    _check(node, index, subindex)
    response = _exchange(bus, node, _initiate(0x40, index, subindex), timeout)
    if response[0] >> 5 != 2 or response[1:4] != struct.pack("<HB", index, subindex):
        raise can.CanOperationError(f"Node {node} answered {response.hex(' ')} to an upload")
    if response[0] & 0x02:  # expedited: the data is in the answer itself
        unused = (response[0] >> 2) & 3 if response[0] & 0x01 else 0
        return response[4 : 8 - unused]
    size = struct.unpack_from("<I", response, 4)[0] if response[0] & 0x01 else MAX_UPLOAD
    data = b""
    toggle = 0
    while True:
        segment = _exchange(bus, node, bytes([0x60 | toggle]) + bytes(7), timeout)
        if segment[0] >> 5 != 0 or segment[0] & 0x10 != toggle:
            raise can.CanOperationError(f"Node {node} answered {segment.hex(' ')} to a segment")
        data += segment[1 : 8 - ((segment[0] >> 1) & 7)]
        if len(data) > min(size, MAX_UPLOAD):
            raise can.CanOperationError(f"Node {node} sent more than the {size} bytes announced")
        if segment[0] & 0x01:
            return data
        toggle ^= 0x10


def download(
    bus: can.BusABC,
    node: int,
    index: int,
    subindex: int,
    data: bytes,
    timeout: float = DEFAULT_TIMEOUT,
) -> None:
    """Writes one to four bytes to object index:subindex of the node."""
    _check(node, index, subindex)
    if not 1 <= len(data) <= 4:
        raise ValueError("An expedited download carries one to four bytes")
    command = 0x23 | ((4 - len(data)) << 2)
    response = _exchange(bus, node, _initiate(command, index, subindex, data), timeout)
    if response[0] != 0x60 or response[1:4] != struct.pack("<HB", index, subindex):
        raise can.CanOperationError(f"Node {node} answered {response.hex(' ')} to a download")
