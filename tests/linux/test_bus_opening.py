"""Opening a bus is all or nothing, Ctrl-C included; and the configured gateway is what
python-can's detection reports."""

import logging
import os
import signal
import threading
import time

import can
import pytest

from korval_can import library

HEARTBEATS_OF_A_POLL = 2.5  # polls come once a second


class _InterruptOnceConnecting(logging.Handler):
    """Sends the process Ctrl-C as soon as the library starts to connect to the address."""

    def __init__(self, address: str) -> None:
        super().__init__()
        self.address = address
        self.sent = threading.Event()

    def emit(self, record: logging.LogRecord) -> None:
        if record.getMessage() == f"Connecting to {self.address}" and not self.sent.is_set():
            self.sent.set()
            os.kill(os.getpid(), signal.SIGINT)


def heartbeats(bus: can.BusABC, seconds: float) -> set:
    seen, end = set(), time.monotonic() + seconds
    while time.monotonic() < end:
        msg = bus.recv(0.2)
        if msg is not None and 0x701 <= msg.arbitration_id <= 0x77F:
            seen.add(msg.arbitration_id)
    return seen


def test_ctrl_c_while_opening_leaves_nothing_open(gateway):
    # The first gateway answers each request after 2 s: the interrupt comes while the bus waits.
    first, second = gateway(nodes="3", fault="delay:2000"), gateway(nodes="5")
    logger = logging.getLogger("can.korval")
    interrupter = _InterruptOnceConnecting(first.address)
    logger.addHandler(interrupter)
    logger.setLevel(logging.DEBUG)
    try:
        with pytest.raises(KeyboardInterrupt):
            can.Bus(interface="korval", channel=first.address)
    finally:
        logger.removeHandler(interrupter)
    assert interrupter.sent.is_set()
    assert library.load().trace._listeners == []

    with can.Bus(interface="korval", channel=second.address) as bus:
        assert heartbeats(bus, HEARTBEATS_OF_A_POLL) == {0x705}


def test_the_configured_gateway_is_detected_and_opens(gateway, monkeypatch, tmp_path):
    simulator = gateway(nodes="3,5")
    monkeypatch.delenv("KORVAL_GATEWAY", raising=False)
    monkeypatch.delenv("KORVAL_NODE", raising=False)
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path))
    assert can.detect_available_configs("korval") == []

    remembered = tmp_path / "korval" / "gateway"
    remembered.parent.mkdir()
    remembered.write_text(f" {simulator.address}\t\nignored\n")
    assert can.detect_available_configs("korval") == [
        {"interface": "korval", "channel": simulator.address, "node": 0}]

    monkeypatch.setenv("KORVAL_GATEWAY", "gw.example")
    monkeypatch.setenv("KORVAL_NODE", "5")
    assert can.detect_available_configs("korval") == [
        {"interface": "korval", "channel": "gw.example", "node": 5}]
    monkeypatch.setenv("KORVAL_NODE", "128")  # the library would refuse to open
    assert can.detect_available_configs("korval") == []

    monkeypatch.setenv("KORVAL_GATEWAY", simulator.address)
    monkeypatch.setenv("KORVAL_NODE", "5")
    (config,) = can.detect_available_configs("korval")
    with can.Bus(**config) as bus:
        assert heartbeats(bus, HEARTBEATS_OF_A_POLL) == {0x705}
