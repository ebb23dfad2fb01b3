import itertools
import os
import signal
import stat
import subprocess
import sys
from pathlib import Path

import pytest

import tarnvel
import tarnvel_core
from support_wait import read_line

_counter = itertools.count()


def object_place():
    """(folder, file-name prefix) of this user's objects: the documented rule,
    restated here so that the tests check the core against it."""
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    uid = os.geteuid()
    try:
        st = os.stat(runtime) if runtime and runtime.startswith("/") else None
    except OSError:
        st = None
    if st is not None and stat.S_ISDIR(st.st_mode) and st.st_uid == uid and stat.S_IMODE(st.st_mode) == 0o700:
        return runtime, "tarnvel."
    return "/dev/shm", f"tarnvel.{uid}."


OBJECT_DIR, FILE_PREFIX = object_place()


def unique(prefix):
    """A name no other test (or parallel test run) uses."""
    return f"{prefix}{os.getpid()}_{next(_counter)}"


def child_env():
    """The environment of a child process that imports the package and module under test."""
    dirs = [os.path.dirname(tarnvel_core.__file__), str(Path(tarnvel.__file__).parent.parent)]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(dirs + [os.environ.get("PYTHONPATH", "")]))


class Server:
    """served.py in a process of its own."""

    def __init__(self, system, name="server", wait=True, log=False, grace=None):
        """With ``log``, its stderr (where the package logs) becomes ``self.log`` when it stops."""
        extra = [] if grace is None else [str(grace)]
        self.proc = subprocess.Popen([sys.executable, str(Path(__file__).with_name("served.py")), system, name,
                                      *extra],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE if log else None,
                                     text=True, env=child_env())
        self.pid = self.proc.pid
        self.log = None
        if wait:
            self.wait_ready()

    def wait_ready(self):
        assert read_line(self.proc.stdout).split() == ["ready", str(self.pid)]

    def stop(self, sig=signal.SIGTERM):
        """Its exit status; 0 only when serve_forever returned and the script ended normally."""
        self.proc.send_signal(sig)
        try:
            status = self.proc.wait(15)
        finally:
            self.proc.kill()
            rest, self.log = self.proc.communicate()
        return status if status != 0 or rest == "bye\n" else f"ended without 'bye': {rest!r}"


@pytest.fixture
def system():
    return unique("pkg")


@pytest.fixture
def server(system):
    s = Server(system)
    yield s
    assert s.stop() == 0


@pytest.fixture
def client(system):
    with tarnvel.Node("client", system) as node:
        yield node
