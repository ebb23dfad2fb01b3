"""Helpers shared by the tests and the scenario scripts."""

import itertools
import os
import stat
import time

import tarnvel

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


def module_env():
    """The environment for a child process that imports the module under test."""
    import tarnvel_core

    env = dict(os.environ)
    module_dir = os.path.dirname(tarnvel_core.__file__)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    return env


def sleeping(tid):
    """Whether the thread (a process's id: its main thread) sleeps, blocked in a wait."""
    with open(f"/proc/{tid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "S"


def wait_for(predicate, timeout=10.0, interval=0.01):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


def shm_leftovers(*names):
    """This user's tarnvel objects whose file names mention one of `names`."""
    return [f for f in os.listdir(OBJECT_DIR)
            if f.startswith(FILE_PREFIX) and any(n in f for n in names)]


def thread_count():
    return len(os.listdir("/proc/self/task"))


def self_call(node, name, method, args=b"", timeout_ms=5000):
    return node.call_raw(name, node.pid, method, args, timeout_ms).result(timeout=timeout_ms / 1000 + 10)


def list_methods(node, name):
    result = self_call(node, name, "sys.list_methods")
    assert result.status == 0
    return tarnvel.decode_listing(result.result)
