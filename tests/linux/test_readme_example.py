"""The README's python-can example, python/examples/list_nodes.py, run as the README runs it
(from its folder, where Python looks first for what it imports) against a simulated gateway."""

import os
import re
import subprocess
import sys

SOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
EXAMPLES = os.path.join(SOURCES, "python", "examples")
PRINTED_ADDRESS = "127.0.0.2"


def test_the_readme_example_lists_the_nodes_and_their_names(gateway):
    with open(os.path.join(SOURCES, "README.md")) as readme:
        (example,) = re.findall(r"<!-- python example -->\n```python\n(.*?)```", readme.read(),
                                re.DOTALL)
    with open(os.path.join(EXAMPLES, "list_nodes.py")) as shipped:
        assert shipped.read() == example
    assert PRINTED_ADDRESS in example
    simulator = gateway(nodes="3,5,10")
    as_run = f"import sys\nsys.path[0] = {EXAMPLES!r}\n" + example.replace(PRINTED_ADDRESS,
                                                                             simulator.address)
    result = subprocess.run([sys.executable, "-c", as_run], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "3 KORVAL sim node 3", "5 KORVAL sim node 5", "10 KORVAL sim node 10"]
