"""Ctrl-C reaches a call blocked in a proxy call or in the command, and infinity means no time limit."""

import os
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import tarnvel
from conftest import child_env
from support_wait import sleeping, wait_for

_script = Path(tarnvel.__file__).parent.parent / "bin" / "tarnvel"
COMMAND = [str(_script)] if _script.exists() else [sys.executable, "-m", "tarnvel"]

PROXY_CALL = """
import sys
import tarnvel

with tarnvel.Node("asker", sys.argv[1]) as node:
    sink = node.peer("sink", call_timeout=float("inf"))
    try:
        sink.hold.raw(b"")
        print("answered", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
"""


@pytest.fixture
def sink(system):
    """A node whose raw method "hold" answers only once the test lets it."""
    called, release = threading.Event(), threading.Event()
    with tarnvel.Node("sink", system) as node:
        @node.method(raw=True)
        def hold(data: bytes) -> bytes:
            called.set()
            release.wait(60)
            return data

        yield called
        release.set()


@pytest.mark.parametrize("how", ["proxy", "command"])
def test_ctrl_c_ends_a_blocked_call(system, sink, how):
    if how == "proxy":
        args = [sys.executable, "-c", PROXY_CALL, system]
    else:
        args = COMMAND + ["call", system, "sink", "hold", "--raw", "x", "--timeout", "inf"]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env())
    try:
        assert sink.wait(30), proc.stderr.read() if proc.poll() is not None else "no call arrived"
        assert wait_for(lambda: sleeping(proc.pid))
        os.kill(proc.pid, signal.SIGINT)
        out, err = proc.communicate(timeout=30)
        if how == "proxy":
            assert (proc.returncode, out, err) == (0, "interrupted\n", "")
        else:
            assert (proc.returncode, out, err) == (130, "", "tarnvel: interrupted\n")
    finally:
        proc.kill()
        proc.communicate()
