"""Shutting the bus down while other threads use it: nothing hangs, and they are told."""

import threading
import time

import can

from korval_can import bus as korval_bus

from conftest import eventually

# A reader notices a shutdown at the end of its current wait in the library.
NOTICED = 10 * korval_bus.READ_SLICE


def test_shutdown_while_another_thread_waits_in_recv(gateway):
    simulator = gateway(nodes="5")
    bus = can.Bus(interface="korval", channel=simulator.address, node=5)
    assert bus.recv(5).arbitration_id == 0x705
    simulator.stop()  # no frame will end the wait below
    received, ended = [], []

    def reader() -> None:
        try:
            received.append(bus.recv())  # no time limit
        except can.CanOperationError as error:
            ended.append(error)

    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    assert eventually(lambda: bus._readers == 1, 5)  # waiting inside the library
    shut_down = time.monotonic()
    bus.shutdown()
    thread.join(NOTICED)
    assert not thread.is_alive()
    assert time.monotonic() - shut_down < NOTICED
    assert received == []
    assert [str(error) for error in ended] == ["The KORVAL bus is shut down"]
    bus.shutdown()  # a second shutdown does nothing


def test_shutdown_under_a_running_notifier(gateway):
    simulator = gateway(nodes="3,5")
    bus = can.Bus(interface="korval", channel=simulator.address)
    heard, errors = [], []

    class Listener(can.Listener):
        def on_message_received(self, msg: can.Message) -> None:
            heard.append(msg.arbitration_id)

        def on_error(self, exc: Exception) -> None:
            errors.append(exc)

    notifier = can.Notifier(bus, [Listener()], timeout=1.0)
    assert eventually(lambda: {0x703, 0x705} <= set(heard), 5)
    bus.shutdown()
    assert eventually(lambda: errors, NOTICED)
    assert isinstance(errors[0], can.CanOperationError)
    notifier.stop(timeout=NOTICED)
