import time
import can
from korval_can import sdo

with can.Bus(interface="korval", channel="127.0.0.2", node=0) as bus:
    nodes, end = set(), time.monotonic() + 2.5  # the heartbeats come once a second
    while time.monotonic() < end:
        msg = bus.recv(timeout=0.5)
        if msg is not None and 0x701 <= msg.arbitration_id <= 0x77F:
            nodes.add(msg.arbitration_id - 0x700)
    for node in sorted(nodes):
        print(node, sdo.upload(bus, node, 0x1008).decode())
