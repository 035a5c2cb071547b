"""Where the library finds its gateway when the bus names none: ``KORVAL_GATEWAY``, else the
first line of ``$XDG_CONFIG_HOME/korval/gateway`` (``~/.config/korval/gateway``); the node from
``KORVAL_NODE``, else every node."""

import os
from typing import Optional, Tuple

MAX_NODE_ID = 127


def _remembered_file() -> str:
    config_home = os.environ.get("XDG_CONFIG_HOME", "")
    # The library ignores a relative XDG_CONFIG_HOME, as if it were not set.
    if config_home.startswith("/"):
        return os.path.join(config_home, "korval", "gateway")
    home = os.environ.get("HOME", "")
    return os.path.join(home, ".config", "korval", "gateway") if home else ""


def configured_gateway() -> Optional[Tuple[str, int]]:
    """The gateway and node that opening without a channel would take, or None when none is
    named or the node is not one the library takes."""
    gateway = os.environ.get("KORVAL_GATEWAY", "")
    if not gateway:
        path = _remembered_file()
        try:
            with open(path, encoding="utf-8", errors="replace") as remembered:
                gateway = remembered.readline().rstrip("\n").strip(" \t\r")
        except OSError:
            return None
    node = os.environ.get("KORVAL_NODE", "") or "0"
    if not gateway or not (node.isascii() and node.isdigit() and len(node) <= 3
                           and int(node) <= MAX_NODE_ID):
        return None
    return gateway, int(node)
