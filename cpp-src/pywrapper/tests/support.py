"""Helpers shared by the tests and the scenario scripts."""

import itertools
import os
import time

import tarnvel
import tarnvel.shm

_counter = itertools.count()


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


def wait_for(predicate, timeout=10.0, interval=0.01):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


def shm_leftovers(*names):
    """This user's tarnvel objects whose file names mention one of `names`."""
    return [f for f in os.listdir(tarnvel.shm.SHM_DIR)
            if f.startswith(tarnvel.shm.FILE_PREFIX) and any(n in f for n in names)]


def thread_count():
    return len(os.listdir("/proc/self/task"))


def self_call(node, name, method, args=b"", timeout_ms=5000):
    return node.call_raw(name, node.pid, method, args, timeout_ms).result(timeout=timeout_ms / 1000 + 10)


def list_methods(node, name):
    result = self_call(node, name, "sys.list_methods")
    assert result.status == 0
    return tarnvel.decode_listing(result.result)
