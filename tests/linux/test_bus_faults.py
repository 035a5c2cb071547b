"""Each of the simulator's faults, met when the bus opens: a python-can exception with the
library's words within the library's time limits, or a bus that works."""

import time

import can
import pytest

from korval_can import bus as korval_bus
from korval_can import sdo

# The library gives up on a gateway at its first failed connect, send or reply.
REFUSED_AT_OPEN = {
    "no-reply": "Receive: time-out",
    "delay": "Receive: time-out",  # the answer comes after 3.5 s, past the 3 s limit
    "exception": "Receive: Invalid frame or exception response!\ncnt=9 ",
    "garbage": "Receive: Invalid frame or exception response!\ncnt=17 ",
    "empty-list": "Receive: Invalid frame or exception response!\ncnt=9 ",  # no node is no list
    "close-after:0": "Receive: Invalid frame or exception response!\ncnt=0 ",
    "close-on-connect": "Receive: ",
}
WORKING = ["delay:300", "split", "close-after:5"]


@pytest.mark.parametrize("fault", sorted(REFUSED_AT_OPEN))
def test_a_gateway_that_cannot_serve_raises_with_the_librarys_trace(gateway, fault):
    simulator = gateway(nodes="3,5", fault=fault)
    started = time.monotonic()
    with pytest.raises(can.CanInitializationError) as refused:
        can.Bus(interface="korval", channel=simulator.address)
    assert time.monotonic() - started < korval_bus.OPEN_WAIT
    assert str(refused.value).startswith(
        f"Cannot reach the KORVAL gateway at {simulator.address}: {REFUSED_AT_OPEN[fault]}")


@pytest.mark.parametrize("fault", WORKING)
def test_a_gateway_that_serves_late_or_in_pieces_works(gateway, fault):
    simulator = gateway(nodes="3,5", fault=fault)
    with can.Bus(interface="korval", channel=simulator.address) as bus:
        assert sdo.upload(bus, 5, 0x1008) == b"KORVAL sim node 5"
