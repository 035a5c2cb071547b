"""A gateway whose firmware cannot take the node poll whole: the library tells the user, closes
the link and fails the bus's calls, which raise python-can's exceptions; the process goes on."""

import os
import subprocess
import sys

from conftest import SHORT_NODE_POLL

WORDS = "This KORVAL's firmware does not support the CANopen SDO interface!"

# Runs in a process of its own, which preloads the short node poll.
USER = """
import can, sys
try:
    bus = can.Bus(interface="korval", channel=sys.argv[1])
except can.CanInitializationError as error:
    print("open:", error)
else:
    with bus:
        try:
            while True:
                bus.recv(5)
        except can.CanOperationError as error:
            print("recv:", error)
        try:
            bus.send(can.Message(arbitration_id=0x605, data=bytes(8), is_extended_id=False))
        except can.CanOperationError as error:
            print("send:", error)
print("survived")
"""


def box_and_warnings(stderr: str) -> list:
    """The library's box on stderr, then the trace lines logged as warnings (in any order: the
    warnings come from another thread)."""
    box = f"Brenvox CAN Library for Vantrel\n{WORDS}\n"
    assert box in stderr
    return sorted(stderr.replace(box, "", 1).splitlines())


def run_user(address: str, short_from: int) -> subprocess.CompletedProcess:
    env = {**os.environ, "LD_PRELOAD": SHORT_NODE_POLL, "KORVAL_TEST_SHORT_POLL": str(short_from)}
    return subprocess.run([sys.executable, "-c", USER, address], env=env, capture_output=True,
                          text=True, timeout=60)


def test_at_opening_the_bus_raises_with_the_firmwares_words(gateway):
    simulator = gateway(nodes="5")
    user = run_user(simulator.address, 1)
    assert (user.returncode, user.stdout) == (0, (
        f"open: Cannot reach the KORVAL gateway at {simulator.address}: Link closed: {WORDS}\n"
        "survived\n"))
    assert box_and_warnings(user.stderr) == ["Link closed: " + WORDS, "getActiveNodes: failed"]


def test_on_an_open_bus_receiving_and_sending_raise(gateway):
    simulator = gateway(nodes="5")
    user = run_user(simulator.address, 2)
    closed = (f"The KORVAL library closed the link to {simulator.address}: {WORDS} Shut the bus "
              "down; a bus opened anew tries again [Error Code -15]")
    assert (user.returncode, user.stdout) == (0, f"recv: {closed}\nsend: {closed}\nsurvived\n")
    assert box_and_warnings(user.stderr) == ["Link closed: " + WORDS, "getActiveNodes: failed"]
