"""A forked child, as multiprocessing's fork start method makes one, of a process that uses its
bus as canopen does: the child never touches the parent's connection, its inherited bus refuses
to work, and it can open a bus of its own."""

import os
import time
import traceback

import can
import pytest

from korval_can import library

from canopen_pattern import Network
from conftest import unique_address

CHILD_LIMIT = 20.0  # a child that has not ended by then hangs
PARENT_LISTENS = 3.5  # heartbeats come once a second
DEVICE_TYPE = (0x00020192).to_bytes(4, "little")  # what the simulator's nodes report in 0x1000


def in_child(action) -> int:
    """Forks; the child runs action and ends with 0 when it returned, 1 when it raised."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            action()
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(code)
    deadline = time.monotonic() + CHILD_LIMIT
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.05)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    pytest.fail(f"the child did not end within {CHILD_LIMIT:g} s")


def heartbeats_after(bus: can.BusABC, moment: float, seconds: float) -> list:
    beats, end = [], time.monotonic() + seconds
    while time.monotonic() < end:
        msg = bus.recv(0.2)
        if msg is not None and 0x701 <= msg.arbitration_id <= 0x77F and msg.timestamp > moment:
            beats.append(msg.arbitration_id)
    return beats


def refuses_to_work(bus: can.BusABC) -> None:
    for use in (lambda: bus.recv(0.1), lambda: bus.send(can.Message(
            arbitration_id=0x603, data=bytes([0x40, 0, 0x10, 0, 0, 0, 0, 0]),
            is_extended_id=False))):
        try:
            use()
        except can.CanOperationError as error:
            assert "forked" in str(error), error
        else:
            raise AssertionError("the inherited bus worked in the child")


CHILDREN = {
    "ends": lambda network: None,
    "shuts its bus down": lambda network: (refuses_to_work(network.bus), network.bus.shutdown()),
    "disconnects as canopen does": lambda network: network.disconnect(),
    # as a C host, or code that calls the library itself, would
    "closes the library's channel": lambda network: library.load().canClose(0),
}


@pytest.mark.parametrize("child", sorted(CHILDREN))
def test_a_child_leaves_its_parents_connection_alone(gateway, child):
    simulator = gateway(nodes="3")
    # The fork comes while the parent's Notifier thread waits in the library.
    network = Network(can.Bus(interface="korval", channel=simulator.address))
    try:
        assert network.heartbeats.get(timeout=5)[0] == 3
        assert in_child(lambda: CHILDREN[child](network)) == 0
        child_ended = time.time()
        assert network.heartbeats_after(child_ended, PARENT_LISTENS).count(3) >= 2
        assert network.upload(3, 0x1000, timeout=PARENT_LISTENS) == DEVICE_TYPE
    finally:
        network.disconnect()


def test_a_child_opens_a_bus_of_its_own(gateway):
    parents, childs = gateway(nodes="3"), gateway(nodes="5")
    nobody = unique_address()  # nothing listens on its port 502

    def own_bus() -> None:
        # The child reads its own trace lines: the refusal is reported at once.
        try:
            can.Bus(interface="korval", channel=nobody)
        except can.CanInitializationError as error:
            assert str(error).startswith(
                f"Cannot reach the KORVAL gateway at {nobody}: Connect: Connection refused")
        else:
            raise AssertionError("a bus opened on a gateway that refuses the connection")
        with can.Bus(interface="korval", channel=childs.address) as own:
            beats = heartbeats_after(own, 0, PARENT_LISTENS)
        assert set(beats) == {0x705}, beats

    with can.Bus(interface="korval", channel=parents.address) as bus:
        assert bus.recv(5).arbitration_id == 0x703
        assert in_child(own_bus) == 0
        assert heartbeats_after(bus, time.time(), PARENT_LISTENS).count(0x703) >= 2
