"""python-can, as Debian ships it, on a simulated KORVAL gateway through the installed package:
found by name, SDO transfers both ways, heartbeats through a Notifier."""

import importlib.metadata
import threading
import time

import can
import pytest

import korval_can
from korval_can import sdo

DEVICE_TYPE = 0x00020192  # what the simulator's nodes report in 0x1000


@pytest.fixture
def bus(gateway):
    simulator = gateway(nodes="3,5,10")
    with can.Bus(interface="korval", channel=simulator.address, node=0) as opened:
        yield opened


def test_the_interface_is_found_by_its_name():
    (entry,) = [e for e in importlib.metadata.entry_points(group="can.interface")
                if e.name == "korval"]
    assert entry.load() is korval_can.KorvalBus
    assert "korval" in can.interfaces.VALID_INTERFACES


def test_expedited_and_segmented_uploads(bus):
    assert int.from_bytes(sdo.upload(bus, 5, 0x1000), "little") == DEVICE_TYPE
    for node in (3, 10):
        assert sdo.upload(bus, node, 0x1008) == f"KORVAL sim node {node}".encode()
    with pytest.raises(sdo.SdoAbortedError) as aborted:
        sdo.upload(bus, 5, 0x1234)
    assert aborted.value.error_code == 0x06020000


def test_a_download_is_read_back(bus):
    sdo.download(bus, 10, 0x2000, 0, (0xC0FFEE).to_bytes(4, "little"))
    assert sdo.upload(bus, 10, 0x2000) == (0xC0FFEE).to_bytes(4, "little")
    assert sdo.upload(bus, 3, 0x2000) == bytes(4)  # another node's object is its own


def test_received_frames_are_standard_frames_stamped_now(bus):
    sdo_answer = None
    bus.send(can.Message(arbitration_id=0x605, data=b"\x40\x00\x10\x00\0\0\0\0",
                         is_extended_id=False))
    deadline = time.monotonic() + 5
    while sdo_answer is None and time.monotonic() < deadline:
        msg = bus.recv(1)
        if msg is not None and msg.arbitration_id == 0x585:
            sdo_answer = msg
    assert sdo_answer is not None
    assert (sdo_answer.dlc, sdo_answer.is_extended_id, sdo_answer.is_rx) == (8, False, True)
    assert bytes(sdo_answer.data[:4]) == b"\x43\x00\x10\x00"
    assert abs(sdo_answer.timestamp - time.time()) < 1.0


def test_a_notifier_sees_every_nodes_heartbeats(bus):
    seen = {}
    both_rounds = threading.Event()

    def on_message(msg: can.Message) -> None:
        seen[msg.arbitration_id] = seen.get(msg.arbitration_id, 0) + 1
        if all(seen.get(0x700 + node, 0) >= 2 for node in (3, 5, 10)):
            both_rounds.set()

    notifier = can.Notifier(bus, [on_message], timeout=0.2)
    try:
        assert both_rounds.wait(10), seen
    finally:
        notifier.stop()
    assert set(seen) == {0x703, 0x705, 0x70A}


def test_the_node_choice_limits_the_heartbeats(gateway):
    simulator = gateway(nodes="3,5,10")
    with can.Bus(interface="korval", channel=simulator.address, node=10) as bus:
        reader = can.BufferedReader()
        notifier = can.Notifier(bus, [reader], timeout=0.2)
        try:
            first, second = reader.get_message(5), reader.get_message(5)
        finally:
            notifier.stop()
    assert [first.arbitration_id, second.arbitration_id] == [0x70A, 0x70A]
    assert bytes(first.data) == b"\x05"  # operational
