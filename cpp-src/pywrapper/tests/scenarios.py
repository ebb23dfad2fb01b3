"""Lifecycle scenarios that must each run in a process of their own.

``scenarios.py NAME SYSTEM [ARG]``: every object name contains SYSTEM, so the
caller can look for leftovers in /dev/shm afterwards. A scenario that goes
wrong fails an assert (non-zero status, traceback on stderr) or hangs.
"""

import gc
import sys
import threading
import time

import tarnvel_core as tc
from peer import Peer
from support import shm_leftovers, thread_count, wait_for


def blocking_handler(started, finished, seconds):
    def handler(args):
        started.set()
        time.sleep(seconds)
        finished.append(args)
        return args
    return handler


def exit_with_open_nodes(system):
    """The interpreter exits with two nodes open, a handler running and calls pending."""
    started = threading.Event()
    nodes = []
    for suffix in ("a", "b"):
        node = tc.Tarnvel("main", system + suffix, system + suffix + "rx", 1 << 16)
        node.register({"name": "slow"}, blocking_handler(started, [], 0.3))
        nodes.append(node)
    futures = [n.call_raw("main", n.pid, "slow", b"", 60000) for n in nodes for _ in range(20)]
    futures[0].add_done_callback(lambda f: None)
    assert started.wait(10)
    sys.exit(7)


def close_during_handler(system, how):
    """close, __exit__ or destruction while a Python handler of the node runs."""
    started, finished = threading.Event(), []
    box = [tc.Tarnvel("main", system, system + "rx", 1 << 16)]
    box[0].register({"name": "block"}, blocking_handler(started, finished, 0.5))
    caller = Peer(system, system + "p")
    caller.send_call("main", box[0].pid, "block", b"x", 1500)
    assert started.wait(10)
    if how == "close":
        box[0].close()
    elif how == "exit":
        box[0].__exit__(None, None, None)
    else:
        box.clear()
        gc.collect()
    # The handler could take the interpreter lock and finish before the join.
    assert finished == [b"x"]
    status, _ = caller.read_result()
    assert status in (tc.STATUS_OK, tc.STATUS_TIMEOUT, tc.STATUS_EXEC_FAILED)
    assert caller.stop() == 0


def close_with_calls_in_flight(system):
    """Futures of calls accepted just before close finish, and their waiters end."""
    node = tc.Tarnvel("main", system, system + "rx", 1 << 16)
    node.register({"name": "echo"}, lambda args: args)
    baseline = thread_count()
    futures = [node.call_raw("main", node.pid, "echo", b"x", 60000) for _ in range(200)]
    node.close()
    statuses = {f.result(timeout=10).status for f in futures}
    assert statuses <= {tc.STATUS_OK, tc.STATUS_EXEC_FAILED}, statuses
    assert wait_for(lambda: thread_count() <= baseline), (thread_count(), baseline)


def drop_in_handler(system):
    """The last reference to a node goes away inside one of its own handlers."""
    done = threading.Event()
    box = [tc.Tarnvel("main", system, system + "rx", 1 << 16)]

    def drop(args):
        box.clear()
        done.set()
        return b"bye"

    box[0].register({"name": "drop"}, drop)
    pid = box[0].pid
    caller = Peer(system, system + "p")
    status, _ = caller.call("main", pid, "drop", b"", 1000)
    assert status in (tc.STATUS_OK, tc.STATUS_TIMEOUT, tc.STATUS_EXEC_FAILED)
    assert done.wait(10)
    # The node's own objects go once its shutdown has run to the end.
    assert wait_for(lambda: not shm_leftovers(system + "rx"))
    assert caller.stop() == 0


if __name__ == "__main__":
    globals()[sys.argv[1]](*sys.argv[2:])
