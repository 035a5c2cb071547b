"""libcanlib.so.1 as a Linux program meets it: what the file exports and needs, a C host linked
by soname, where the gateway comes from without a dialog, and what goes to stderr."""

import os
import re
import subprocess
import time

import pytest

from conftest import DEF_FILE, SHARED_LIBRARY, SONAME_HOST

TITLE = "Brenvox CAN Library for Vantrel\n"
RUNTIME = {"libstdc++.so.6", "libgcc_s.so.1", "libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"}


def defined_functions() -> list:
    with open(DEF_FILE) as definition:
        return re.findall(r"^ +(\w+) @\d+$", definition.read(), re.MULTILINE)


def dynamic_section(path: str) -> str:
    return subprocess.run(["readelf", "-d", path], capture_output=True, text=True,
                          check=True).stdout


def host(*arguments: str, environment: dict = None, timeout: float = 20):
    """Runs the C host with only the given variables besides PATH, and stdin left open."""
    env = {"PATH": os.environ["PATH"], "HOME": "/nonexistent"}
    env.update(environment or {})
    with subprocess.Popen(
        [SONAME_HOST, *arguments], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, text=True,
    ) as process:
        out, err = process.communicate(timeout=timeout)
    return process.returncode, out, err


def frames(out: str) -> list:
    return [line.split()[1] for line in out.splitlines() if line.startswith("frame ")]


def test_exports_exactly_the_functions_of_the_definition_file():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", SHARED_LIBRARY], capture_output=True, text=True, check=True
    ).stdout.split("\n")
    symbols = [line.split() for line in listing if line]
    assert len(defined_functions()) == 110
    assert sorted(name for _, _, name in symbols) == sorted(defined_functions())
    assert {kind for _, kind, _ in symbols} == {"T"}


def test_needs_only_the_runtime_and_carries_its_soname():
    section = dynamic_section(SHARED_LIBRARY)
    assert "Library soname: [libcanlib.so.1]" in section
    needed = set(re.findall(r"Shared library: \[(.+)\]", section))
    assert needed and needed <= RUNTIME
    resolved = subprocess.run(["ldd", SHARED_LIBRARY], capture_output=True, text=True).stdout
    assert "not found" not in resolved


def test_a_c_host_loads_the_library_by_its_soname():
    assert "Shared library: [libcanlib.so.1]" in dynamic_section(SONAME_HOST)
    loaded = subprocess.run(["ldd", SONAME_HOST], capture_output=True, text=True).stdout
    assert os.path.realpath(SHARED_LIBRARY) in loaded
    assert host("trace")[0] == 0


def test_the_gateway_comes_from_the_environment_then_the_remembered_address(gateway, tmp_path):
    first, second = gateway(nodes="3"), gateway(nodes="4")
    remembered = tmp_path / "xdg" / "korval" / "gateway"
    remembered.parent.mkdir(parents=True)
    remembered.write_text(f"  {second.address}\n")
    xdg = {"XDG_CONFIG_HOME": str(tmp_path / "xdg")}

    code, out, _ = host("open", "5000", environment=xdg)
    assert (code, out.splitlines()[0], frames(out)) == (0, "open 0", ["704"])
    code, out, _ = host("open", "5000", environment={**xdg, "KORVAL_GATEWAY": first.address})
    assert frames(out) == ["703"]
    # The library reads the file and never writes it.
    assert remembered.read_text() == f"  {second.address}\n"

    # Without XDG_CONFIG_HOME the file is ~/.config/korval/gateway.
    home = tmp_path / "home"
    home.mkdir()
    (tmp_path / "xdg").rename(home / ".config")
    code, out, _ = host("open", "5000", environment={"HOME": str(home)})
    assert frames(out) == ["704"]


def test_the_node_choice_limits_the_heartbeats(gateway):
    simulator = gateway(nodes="3,5,10")
    code, out, _ = host("open", "5000", environment={"KORVAL_GATEWAY": simulator.address,
                                                     "KORVAL_NODE": "5"})
    assert code == 0 and frames(out) == ["705"]
    code, out, _ = host("open", "5000", environment={"KORVAL_GATEWAY": simulator.address,
                                                     "KORVAL_NODE": "0"})
    assert sorted(frames(out)) == ["703", "705", "70A"]


def test_with_no_gateway_named_the_open_fails_at_once_naming_both_places(tmp_path):
    started = time.monotonic()
    code, out, err = host("open", "0", environment={"XDG_CONFIG_HOME": str(tmp_path)})
    assert time.monotonic() - started < 5  # it never waits for the input left open to it
    assert (code, out) == (1, "open -3\n")
    assert err == (TITLE + "No KORVAL gateway is named: set KORVAL_GATEWAY to its host name or "
                   f"IPv4 address, or write the address to {tmp_path}/korval/gateway\n")


@pytest.mark.parametrize("variables, named", [
    ({"KORVAL_GATEWAY": "192.0.2.300"}, 'KORVAL_GATEWAY="192.0.2.300" is not a host name'),
    ({"KORVAL_GATEWAY": "gw.lan:502"}, 'KORVAL_GATEWAY="gw.lan:502" is not a host name'),
    ({"KORVAL_GATEWAY": "gw.lan", "KORVAL_NODE": "128"}, 'KORVAL_NODE="128" is not a node id'),
])
def test_a_malformed_value_fails_the_open_naming_it(variables, named):
    code, out, err = host("open", "0", environment=variables)
    assert (code, out) == (1, "open -3\n")
    assert err.startswith(TITLE + named)


def test_trace_lines_go_to_stderr_only_with_korval_trace_1():
    assert host("trace")[2] == ""
    assert host("trace", environment={"KORVAL_TRACE": "0"})[2] == ""
    traced = host("trace", environment={"KORVAL_TRACE": "1"})[2]
    assert traced == "canlib: canGetErrorText: err=-2\n"


def test_trace_lines_go_to_the_descriptor_named_for_them():
    reader, writer = os.pipe()
    env = {"PATH": os.environ["PATH"], "KORVAL_TRACE_FD": str(writer)}
    result = subprocess.run([SONAME_HOST, "trace"], env=env, pass_fds=[writer],
                            capture_output=True, text=True, timeout=20)
    os.close(writer)
    with os.fdopen(reader) as lines:
        assert lines.read() == "canlib: canGetErrorText: err=-2\n"
    assert result.stderr == ""


def test_a_stop_shows_the_box_words_and_the_host_goes_on_with_the_status():
    code, out, err = host("stop")
    assert (code, out, err) == (0, "kvBeep -32\n", TITLE + "kvBeep function not implemented!\n\n"
                                                        "Vantrel will be terminated.\n")
    code, _, err = host("stop", environment={"KORVAL_TRACE": "1"})
    assert err.startswith("canlib: kvBeep\n" + TITLE)
    code, out, err = host("refuse", environment={"KORVAL_TRACE": "1"})
    frame = "dlc=2 id=0 flag=2 data=01 00 00 00 00 00 00 00"
    assert (code, out) == (0, "canWrite -1\n")
    assert err == (f"canlib: canWrite: {frame}\n" + TITLE +
                   f"An invalid parameter was passed to canWrite:\n{frame}\n\n"
                   "Vantrel will be terminated.\n")
