"""The README's python-can example, python/example.py, run as printed against a simulated
gateway."""

import os
import re
import subprocess
import sys

SOURCES = os.path.join(os.path.dirname(__file__), "..", "..")
PRINTED_ADDRESS = "127.0.0.2"


def test_the_readme_example_lists_the_nodes_and_their_names(gateway):
    with open(os.path.join(SOURCES, "README.md")) as readme:
        (example,) = re.findall(r"<!-- python example -->\n```python\n(.*?)```", readme.read(),
                                re.DOTALL)
    with open(os.path.join(SOURCES, "python", "example.py")) as shipped:
        assert shipped.read() == example
    assert PRINTED_ADDRESS in example
    simulator = gateway(nodes="3,5,10")
    result = subprocess.run(
        [sys.executable, "-c", example.replace(PRINTED_ADDRESS, simulator.address)],
        capture_output=True, text=True, timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "3 KORVAL sim node 3", "5 KORVAL sim node 5", "10 KORVAL sim node 10"]
