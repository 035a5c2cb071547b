"""python-can interface for Brenvox KORVAL gateways: ``can.Bus(interface="korval", channel=...)``.

The bus carries CANopen SDO requests to the nodes behind the gateway and brings back their
answers and the gateway's node list as heartbeat frames; :mod:`korval_can.sdo` reads and writes
objects on it.
"""

from .bus import KorvalBus

__all__ = ["KorvalBus"]
