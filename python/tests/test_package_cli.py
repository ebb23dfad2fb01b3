import json
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import tarnvel
import tarnvel_core
from conftest import FILE_PREFIX, OBJECT_DIR, Server, child_env, unique
from support_wait import read_line, wait_for

# The console script where pip installed one beside the package, else `python -m tarnvel`.
_script = Path(tarnvel.__file__).parent.parent / "bin" / "tarnvel"
COMMAND = [str(_script)] if _script.exists() else [sys.executable, "-m", "tarnvel"]


def tarnvel_cli(*args, input=None):
    return subprocess.run(COMMAND + list(args), input=input, capture_output=True, env=child_env(), timeout=60)


@pytest.fixture(scope="module")
def live():
    system = unique("cli")
    server = Server(system)
    yield system, server
    assert server.stop() == 0


def test_listings(live):
    system, server = live
    assert system in tarnvel_cli("systems").stdout.decode().split()
    assert {"name": system, "prefix": system, "file": f"{FILE_PREFIX}map.{system}_tarnvel_v_0_0_1"} in \
        json.loads(tarnvel_cli("systems", "--json").stdout)

    table = tarnvel_cli("nodes", system).stdout.decode().splitlines()
    assert table[0].split() == ["NAME", "PID", "MAILBOX"] and len(table) == 2  # the command's own node left out
    assert table[1].split()[:2] == ["server", str(server.pid)]
    [row] = json.loads(tarnvel_cli("nodes", system, "--json").stdout)
    assert (row["name"], row["pid"]) == ("server", server.pid) and row["mailbox"].endswith(f"_{server.pid}")

    text = tarnvel_cli("methods", system, "server").stdout.decode()
    assert "add(a: int, b: int = 0) -> int\n    Adds two integers.\n" in text
    assert "echo(data: bytes) -> bytes  [raw]" in text and "sys.list_nodes() -> char*  [built in]" in text
    assert "add" in [d["name"] for d in json.loads(tarnvel_cli("methods", system, "server", "--json").stdout)]


def test_calls(live):
    system, _ = live
    assert tarnvel_cli("call", system, "server", "add", "2", "40").stdout == b"42\n"
    assert tarnvel_cli("call", system, "server", "add", "2", "b=40", "--json").stdout == b"42\n"
    assert tarnvel_cli("call", system, "server", "echo", "--raw", input=b"\x00bytes\xff").stdout == b"\x00bytes\xff"
    assert json.loads(tarnvel_cli("call", system, "server", "echo", "--raw", "--json", "hi").stdout) == {"hex": "6869"}
    unlimited = tarnvel_cli("call", system, "server", "add", "2", "40", "--timeout", "inf", "--wait", "inf")
    assert unlimited.stdout == b"42\n"
    # A JSON method's answer through --raw is its bytes, as they are.
    assert tarnvel_cli("call", system, "server", "add", "--raw", '{"args": [2, 40]}').stdout == b'{"result":42}'


@pytest.mark.parametrize("args, code, message", [
    (["call", "{system}", "server", "fail", '"boom"'], 1, "fail failed: ValueError: boom"),
    (["call", "{system}", "server", "fail", "--raw", '{{"args": ["boom"]}}'], 1, "fail failed: ValueError: boom"),
    (["call", "{system}", "server", "interrupt"], 1, "interrupt failed: KeyboardInterrupt"),
    (["call", "{system}", "server", "text", "--raw", "x"], 1, "the raw method raised or did not return bytes"),
    (["call", "{system}", "server", "missing"], 1, "has no method 'missing'"),
    (["call", "{system}", "server", "add", "two"], 2, "argument 1 is not JSON"),
    (["call", "{system}", "server", "echo", '"text"'], 2, "'echo' is a raw method"),
    (["call", "{system}", "server", "add", "--timeout", "soon"], 2, "invalid float value"),
    (["nodes", "bad-name"], 2, "invalid system name"),
    (["nodes", "nosuchsystem_{system}"], 3, "no system named"),
    (["methods", "{system}", "nobody"], 4, "no node 'nobody'"),
    (["call", "{system}", "server", "slow", "1", "--timeout", "0.05"], 5, "no answer to 'slow'"),
    (["call", "{system}", "server", "slow", "1", "--timeout", "0"], 5, "no time was left to send it"),
    (["call", "{system}", "server", "echo", "--raw"], 6, "could not deliver 'echo'"),
])
def test_failures_are_one_line_with_distinct_exit_codes(live, args, code, message):
    system, _ = live
    result = tarnvel_cli(*(a.format(system=system) for a in args), input=bytes(tarnvel.DEFAULT_MAILBOX_BYTES))
    stderr = result.stderr.decode()
    assert (result.returncode, result.stdout) == (code, b""), stderr
    assert stderr.startswith("tarnvel: ") and stderr.count("\n") == 1 and message in stderr


def test_a_name_several_nodes_carry_needs_pid_and_wait_lets_a_node_come(live):
    system, _ = live
    twins = [Server(system, "twin"), Server(system, "twin")]
    try:
        several = tarnvel_cli("call", system, "twin", "where")
        assert several.returncode == 4 and b"several nodes are named 'twin'" in several.stderr, several.stderr
        for twin in twins:
            assert tarnvel_cli("call", system, "twin", "where", "--pid", str(twin.pid)).stdout == f"{twin.pid}\n".encode()
    finally:
        assert [t.stop() for t in twins] == [0, 0]
    # Started before the node it calls: it waits for it instead of failing at once.
    waiting = subprocess.Popen(COMMAND + ["call", system, "late", "add", "1", "2", "--wait", "60"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env())
    try:
        assert wait_for(lambda: waiting.pid in [n.pid for n in tarnvel_core.system_nodes(system) or []], 30)
        late = Server(system, "late")
        assert waiting.communicate(timeout=60) == (b"3\n", b"")
        assert late.stop() == 0
    finally:
        waiting.kill()
        waiting.communicate()


def test_wait_also_waits_for_a_listed_node_to_publish_the_method(live):
    # A node is in the book from its construction on, before its methods are.
    system, _ = live
    with tarnvel.Node("unready", system) as node:
        waiting = subprocess.Popen(COMMAND + ["call", system, "unready", "add", "1", "2", "--wait", "60"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env())
        try:
            assert wait_for(lambda: waiting.pid in [n.pid for n in tarnvel_core.system_nodes(system) or []], 30)
            time.sleep(0.3)  # time for the command to find the node without the method
            node.register(lambda a, b: a + b, name="add")
            assert waiting.communicate(timeout=60) == (b"3\n", b"")
        finally:
            waiting.kill()
            waiting.communicate()


def test_a_command_whose_own_node_cannot_start_exits_7(live, monkeypatch, capsys):
    from tarnvel import cli

    def refused(*args, **kwargs):
        raise tarnvel.TarnvelError("cannot start node: directory full")

    monkeypatch.setattr(cli, "Node", refused)
    assert cli.main(["call", live[0], "server", "add", "1"]) == cli.EXIT_FAILURE == 7
    assert capsys.readouterr().err == "tarnvel: cannot start node: directory full\n"


def test_argument_errors_are_one_short_line(live):
    system, _ = live
    for args, message in [
        (["add", "NaN", "1"], "argument 1: NaN is not a JSON number"),
        (["add", "1", "b=-Infinity"], "argument 2: -Infinity is not a JSON number"),
        (["add", "1e400"], "argument 1: 1e400 is beyond the range of a float"),
        (["add", "7" * 5000], "argument 1 holds an integer of more than 4300 digits"),
        (["add", "[" * 100_000], "argument 1 is nested too deeply"),
        (["add", "x" * 5000], "argument 1 is not JSON: 'xxx"),
        (["add", "1", "--timeout", "1e9"], "--timeout: a time-out must be at most 2147483.647 s"),
        (["add", "1", "--timeout", "nan"], "--timeout must be 0 or more seconds"),
    ]:
        result = tarnvel_cli("call", system, "server", *args)
        stderr = result.stderr.decode()
        assert (result.returncode, result.stdout) == (2, b""), stderr
        assert stderr.startswith("tarnvel: ") and stderr.count("\n") == 1 and message in stderr
        assert len(stderr) < 300  # a long argument is cut, not echoed whole
    for interval in ("inf", "0", "nan"):
        result = tarnvel_cli("watch", system, "--interval", interval)
        assert (result.returncode, result.stderr) == (2, b"tarnvel: --interval must be a finite number of "
                                                         b"seconds more than 0\n")


def test_watch_shows_arrivals_and_departures(live):
    system, server = live
    watch = subprocess.Popen(COMMAND + ["watch", system, "--json", "--interval", "0.05"],
                             stdout=subprocess.PIPE, text=True, env=child_env())
    try:
        def event():
            e = json.loads(read_line(watch.stdout))
            return e["event"], e["name"], e["pid"]

        assert event() == ("joined", "server", server.pid)
        late = Server(system, "late")
        assert event() == ("joined", "late", late.pid)
        assert late.stop() == 0
        assert event() == ("left", "late", late.pid)
        watch.send_signal(signal.SIGINT)
        assert watch.wait(15) == 0
    finally:
        watch.kill()
        watch.communicate()


def test_watch_ends_when_its_output_is_closed(live):
    system, server = live
    # As under `| head -1`: the reader goes away while watch waits out a long interval, and nobody joins.
    watch = subprocess.Popen(COMMAND + ["watch", system, "--interval", "1e300"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=child_env())
    try:
        assert f"server (pid {server.pid})".encode() in read_line(watch.stdout)
        watch.stdout.close()
        assert watch.wait(30) == 0
        assert watch.stderr.read() == b""
    finally:
        watch.kill()
        watch.wait()
        watch.stderr.close()


def test_systems_with_long_names():
    short, long = unique("sys"), unique("L") + "x" * 225
    with tarnvel_core.Tarnvel("a", short, unique("rx"), 4096), tarnvel_core.Tarnvel("b", long, unique("rx"), 4096):
        found = tarnvel.systems()
        listed = tarnvel_cli("nodes", long, "--json")
    book_prefix = FILE_PREFIX + "map."
    assert tarnvel.SystemInfo(short, short, f"{book_prefix}{short}_tarnvel_v_0_0_1") in found
    cut = [s for s in found if s.name is None and long.startswith(s.prefix)]
    assert len(cut) == 1 and len(cut[0].file) == 255 and cut[0].prefix == long[:238 - len(book_prefix)]
    assert [n["name"] for n in json.loads(listed.stdout)] == ["b"]


def test_a_system_that_ends_before_the_join_is_not_made_again(monkeypatch):
    from tarnvel import cli

    system = unique("gone")
    monkeypatch.setattr(tarnvel_core, "system_exists", lambda name: True)  # it was there a moment ago
    with pytest.raises(cli.Failure) as failed:
        cli._join(system)
    monkeypatch.undo()
    assert failed.value.code == cli.EXIT_NO_SYSTEM
    assert not tarnvel_core.system_exists(system)
