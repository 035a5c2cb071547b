"""What the Linux tests share: simulated gateways on addresses of their own, a gateway that
never answers a connect, and the built files the test run names in its environment."""

import ctypes
import itertools
import os
import selectors
import signal
import socket
import subprocess
import time

import pytest

SIMULATOR = os.environ.get("KORVAL_GATEWAY_SIM", "")
SHARED_LIBRARY = os.environ.get("CANLIB_SHARED_LIBRARY", "")
SONAME_HOST = os.environ.get("CANLIB_SONAME_HOST", "")
SHORT_NODE_POLL = os.environ.get("CANLIB_SHORT_NODE_POLL", "")
DEF_FILE = os.environ.get("CANLIB_DEF_FILE", "")
MODBUS_PORT = 502

_calls = itertools.count()
PR_SET_PDEATHSIG = 1


def _end_with_parent() -> None:
    """A simulator ends with the test process, also when the library stops that one."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def unique_address() -> str:
    """A 127.x.y.z of this process alone, made as the C++ tests make theirs from the process id,
    so that gateways of tests running at the same time never meet."""
    key = ((os.getpid() & 0x1FFFF) << 6) | (next(_calls) & 0x3F)
    return f"127.{(key >> 16) & 0x7F}.{(key & 0xFFFF) >> 8}.{key & 0xFF}"


class Gateway:
    """The gateway simulator as a process of its own, serving until stopped."""

    def __init__(self, address: str, nodes: str, fault: str) -> None:
        self.address = address
        self.nodes = nodes
        self.fault = fault
        self.process = None

    def start(self) -> "Gateway":
        command = [SIMULATOR, "--address", self.address, "--nodes", self.nodes]
        if self.fault:
            command += ["--fault", self.fault]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        preexec_fn=_end_with_parent)
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            ready = selector.select(timeout=10)
        line = self.process.stdout.readline().decode() if ready else ""
        if not line.startswith("listening on"):
            self.stop()
            raise RuntimeError(f"the gateway simulator did not start: {line!r}")
        return self

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        if self.process is not None:
            self.process.stdout.close()
            self.process.stderr.close()


@pytest.fixture
def gateway():
    """Starts simulated gateways: gateway(nodes="3,5,10", fault="") gives a running one."""
    started = []

    def start(nodes: str = "3,5,10", fault: str = "", address: str = "") -> Gateway:
        simulator = Gateway(address or unique_address(), nodes, fault).start()
        started.append(simulator)
        return simulator

    yield start
    for simulator in started:
        simulator.stop()


@pytest.fixture
def black_hole():
    """An address whose port 502 takes no connection: the listener's one queue slot is held by
    an idle connection of our own, so further connects wait until they time out."""
    address = unique_address()
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, MODBUS_PORT))
    listener.listen(0)
    fillers = []
    while True:
        filler = socket.socket()
        filler.settimeout(0.1)
        try:
            filler.connect((address, MODBUS_PORT))
        except socket.timeout:
            filler.close()
            break
        fillers.append(filler)
        assert len(fillers) < 8, "the accept queue did not fill up"
    yield address
    for filler in fillers:
        filler.close()
    listener.close()


def eventually(condition, seconds: float) -> bool:
    """Waits until condition() holds; the time is only a guard against a hang."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.01)
    return True
