"""What python-can users are told, in python-can's own exceptions and the library's words: a
frame the gateway cannot carry, a channel or node the library refuses, a gateway it cannot
reach, a second bus on the library's one channel."""

import os
import subprocess
import sys
import time

import can
import pytest

from korval_can import bus as korval_bus
from korval_can import frames

from conftest import SHARED_LIBRARY, unique_address

REFUSED = [
    can.Message(arbitration_id=0x600, data=b"\x40\x00\x10\x00\0\0\0\0", is_extended_id=False),
    can.Message(arbitration_id=0x680, data=bytes(8), is_extended_id=False),
    can.Message(arbitration_id=0x605, data=b"\x40\x00\x10", is_extended_id=False),
    can.Message(arbitration_id=0x605, data=bytes(8), is_extended_id=True),
    can.Message(arbitration_id=0x605, dlc=8, is_remote_frame=True, is_extended_id=False),
    can.Message(arbitration_id=0x700, data=b"\x05", is_extended_id=False),
    can.Message(arbitration_id=0x605, data=bytes(range(12)), is_fd=True, bitrate_switch=True,
                is_extended_id=False),
    can.Message(arbitration_id=0x000, data=b"\x01\x00", is_extended_id=False),  # NMT: start all
]

# Gives the library itself one frame, as a C or ctypes host would, in a process of its own: the
# library writes its words to stderr and the call fails, and the process goes on.
LIBRARY_REFUSES = """
import ctypes, sys
library = ctypes.CDLL(sys.argv[1])
arbitration_id, dlc, flags, data = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
buffer = (ctypes.c_uint8 * 8).from_buffer_copy(bytes.fromhex(data))
try:
    print(library.canWrite(0, arbitration_id, buffer, dlc, flags))
finally:
    print("survived")
"""


@pytest.mark.parametrize("msg", REFUSED, ids=lambda m: f"{m.arbitration_id:#x}-{m.dlc}")
def test_a_refused_frame_raises_with_the_librarys_own_words(msg):
    expected = frames.refusal(msg)
    refused = subprocess.run(
        [sys.executable, "-c", LIBRARY_REFUSES, SHARED_LIBRARY, str(msg.arbitration_id),
         str(msg.dlc), str(frames.interface_flags(msg)), frames.frame_bytes(msg).hex()],
        capture_output=True, text=True, timeout=20, env={**os.environ, "KORVAL_TRACE": "1"},
    )
    assert (refused.returncode, refused.stdout) == (0, "-1\nsurvived\n")  # canERR_PARAM
    trace_line = "canlib: canWrite: " + expected.partition("\n")[2]
    assert refused.stderr == (f"{trace_line}\nBrenvox CAN Library for Vantrel\n{expected}\n\n"
                              "Vantrel will be terminated.\n")


def test_a_refused_frame_leaves_the_bus_working(gateway):
    simulator = gateway(nodes="5")
    with can.Bus(interface="korval", channel=simulator.address) as bus:
        for msg in REFUSED:
            with pytest.raises(can.CanOperationError) as refused:
                bus.send(msg)
            assert str(refused.value).startswith("An invalid parameter was passed to canWrite:\n")
        bus.send(can.Message(arbitration_id=0x605, data=b"\x40\x08\x10\x00\0\0\0\0",
                             is_extended_id=False))
        answers = iter(lambda: bus.recv(5), None)
        assert next(m for m in answers if m.arbitration_id == 0x585).data[0] == 0x41


@pytest.mark.parametrize("settings, words", [
    ({"channel": "192.0.2.300"}, 'KORVAL_GATEWAY="192.0.2.300" is not a host name or IPv4 address'),
    ({"channel": "http://gw"}, 'KORVAL_GATEWAY="http://gw" is not a host name or IPv4 address'),
    ({"channel": "gw.lan", "node": 128},
     'KORVAL_NODE="128" is not a node id from 1 to 127, or 0 for every node'),
])
def test_a_channel_or_node_the_library_refuses(settings, words, capfd):
    with pytest.raises(can.CanInitializationError) as refused:
        can.Bus(interface="korval", **settings)
    assert str(refused.value) == f"{words} [Error Code -3]"
    assert refused.value.error_code == -3
    assert capfd.readouterr().err == f"Brenvox CAN Library for Vantrel\n{words}\n"


def test_without_a_channel_the_library_looks_where_it_always_does(monkeypatch, tmp_path):
    monkeypatch.delenv("KORVAL_GATEWAY", raising=False)
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path))
    with pytest.raises(can.CanInitializationError, match="No KORVAL gateway is named"):
        can.Bus(interface="korval")


def test_a_refused_connection_is_reported_at_once():
    nobody = unique_address()  # nothing listens on its port 502
    started = time.monotonic()
    with pytest.raises(can.CanInitializationError) as refused:
        can.Bus(interface="korval", channel=nobody, node=0)
    # No connect time-out: only the pause before a reopened channel's first attempt.
    assert time.monotonic() - started < korval_bus.RECONNECT_PAUSE + 1.0
    assert str(refused.value).startswith(
        f"Cannot reach the KORVAL gateway at {nobody}: Connect: Connection refused")


def test_a_gateway_that_never_answers_the_connect(black_hole):
    started = time.monotonic()
    with pytest.raises(can.CanInitializationError) as unreachable:
        can.Bus(interface="korval", channel=black_hole)
    elapsed = time.monotonic() - started
    assert str(unreachable.value) == (
        f"Cannot reach the KORVAL gateway at {black_hole}: Connect: time-out")
    assert korval_bus.GATEWAY_TIME_LIMIT <= elapsed
    assert elapsed < korval_bus.RECONNECT_PAUSE + korval_bus.GATEWAY_TIME_LIMIT + 1.0


def test_a_name_that_does_not_resolve():
    with pytest.raises(can.CanInitializationError,
                       match="Cannot reach the KORVAL gateway at nonexistent.invalid: Connect: "):
        can.Bus(interface="korval", channel="nonexistent.invalid")


def test_the_librarys_one_channel_takes_one_bus(gateway):
    simulator = gateway(nodes="5")
    with can.Bus(interface="korval", channel=simulator.address) as first:
        with pytest.raises(can.CanInitializationError, match="open already"):
            can.Bus(interface="korval", channel=simulator.address)
        assert first.recv(5) is not None
    # Once shut down, the channel is free again, and the old bus refuses to work.
    with can.Bus(interface="korval", channel=simulator.address, node=5) as second:
        assert second.recv(5).arbitration_id == 0x705
    with pytest.raises(can.CanOperationError, match="shut down"):
        first.send(REFUSED[0])
    with pytest.raises(can.CanOperationError, match="shut down"):
        first.recv(0)
