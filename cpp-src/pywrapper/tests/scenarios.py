"""Lifecycle scenarios that must each run in a process of their own.

``scenarios.py NAME SYSTEM [ARG]``: every object name contains SYSTEM, so the
caller can look for leftovers in /dev/shm afterwards. A scenario that goes
wrong fails an assert (non-zero status, traceback on stderr) or hangs.
"""

import errno
import gc
import os
import signal
import sys
import threading
import time
import warnings
import weakref

import tarnvel_core as tc
from peer import Peer
from support import shm_leftovers, sleeping, thread_count, wait_for


def is_closed(node):
    try:
        node.list_nodes()
    except RuntimeError as e:
        assert str(e) == "Tarnvel is closed"
        return True
    return False


def threads_before_any_node():
    """This process's threads before it makes a node, to hold the counts after
    close against: the node's own threads and its resolvers (which end once
    idle) must all be gone then. Anything started along with a process's first
    thread (a sanitizer's helper) is counted in."""
    first = threading.Thread(target=lambda: None)
    first.start()
    first.join()
    return threading.active_count(), thread_count()


def no_more_threads_than(baseline):
    return wait_for(lambda: threading.active_count() <= baseline[0] and thread_count() <= baseline[1])


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
    baseline = threads_before_any_node()
    node = tc.Tarnvel("main", system, system + "rx", 1 << 16)
    node.register({"name": "echo"}, lambda args: args)
    futures = [node.call_raw("main", node.pid, "echo", b"x", 60000) for _ in range(200)]
    node.close()
    assert all(f.done() for f in futures)
    statuses = {f.result(timeout=10).status for f in futures}
    assert statuses <= {tc.STATUS_OK, tc.STATUS_EXEC_FAILED}, statuses
    assert no_more_threads_than(baseline), (thread_count(), baseline)


def close_with_blocked_calls(system):
    """close returns only when every Future of a call it cut off is done.

    One done-callback closes the node as well, from its waiter thread, while
    the first close is still waiting.
    """
    baseline = threads_before_any_node()
    node = tc.Tarnvel("main", system, system + "rx", 1 << 16)
    peer = Peer(system, system + "p")
    futures = [node.call_raw(peer.name, peer.pid, "block", b"", 60000) for _ in range(50)]
    in_callback = []

    def close_again(future):
        node.close()
        in_callback.append(all(f.done() for f in futures))

    futures[0].add_done_callback(close_again)
    node.close()
    assert all(f.done() for f in futures)
    assert {f.result().status for f in futures} == {tc.STATUS_EXEC_FAILED}
    assert wait_for(lambda: in_callback) and in_callback == [True]
    assert no_more_threads_than(baseline), (thread_count(), baseline)
    assert peer.stop() == 0


def callback_closes_its_node(system):
    """A done-callback closes its own node while other calls are outstanding."""
    baseline = threads_before_any_node()
    node = tc.Tarnvel("main", system, system + "rx", 1 << 16)
    peer = Peer(system, system + "p")
    others = [node.call_raw(peer.name, peer.pid, "block", b"", 60000) for _ in range(20)]
    seen = []

    def close_own(future):
        node.close()
        seen.append((future.result().status, all(f.done() for f in others), threading.get_ident()))

    node.call_raw(peer.name, peer.pid, "block", b"", 300).add_done_callback(close_own)
    assert wait_for(lambda: seen)
    assert seen == [(tc.STATUS_TIMEOUT, True, seen[0][2])] and seen[0][2] != threading.get_ident()
    assert {f.result().status for f in others} == {tc.STATUS_EXEC_FAILED}
    node.close()
    assert no_more_threads_than(baseline), (thread_count(), baseline)
    assert peer.stop() == 0


def handler_closes_its_node(system):
    """A handler closes its own node: it is told so, and the close completes."""
    baseline = threads_before_any_node()
    peer = Peer(system, system + "p")
    box = [tc.Tarnvel("main", system, system + "rx", 1 << 16)]
    alive = weakref.ref(box[0])
    raised = []

    def close_self(args):
        try:
            box[0].close()
        except RuntimeError as e:
            raised.append(str(e))
        return args

    assert box[0].register({"name": "close"}, close_self)
    futures = [box[0].call_raw(peer.name, peer.pid, "block", b"", 60000) for _ in range(10)]
    futures.append(box[0].call_raw("main", box[0].pid, "close", b"x", 60000))
    assert {f.result(timeout=10).status for f in futures} == {tc.STATUS_EXEC_FAILED}
    assert raised == [os.strerror(errno.EDEADLK)]
    assert is_closed(box[0])
    box.clear()
    futures.clear()
    # The last waiters may still hold their Futures for a moment.
    assert wait_for(lambda: gc.collect() >= 0 and alive() is None)
    assert wait_for(lambda: not shm_leftovers(system + "rx")), shm_leftovers(system + "rx")
    assert peer.stop() == 0
    assert no_more_threads_than(baseline), (thread_count(), baseline)


def handler_and_thread_close(system, first):
    """A handler and another thread both close the node, in either order."""
    box = [tc.Tarnvel("main", system, system + "rx", 1 << 16)]
    started, go, outcome = threading.Event(), threading.Event(), []

    def close_too(args):
        started.set()
        if first == "thread":
            assert go.wait(10)
        try:
            outcome.append(box[0].close())
        except RuntimeError as e:
            outcome.append(str(e))
        if first == "handler":
            assert go.wait(10)
        return args

    assert box[0].register({"name": "close"}, close_too)
    future = box[0].call_raw("main", box[0].pid, "close", b"x", 60000)
    assert started.wait(10)
    in_close = threading.Event()  # set as the closer calls in, holding the interpreter lock up to there
    mark = lambda frame, event, arg: event == "c_call" and arg.__name__ == "close" and in_close.set()
    closer = threading.Thread(target=lambda: (sys.setprofile(mark), box[0].close()))
    if first == "handler":
        assert wait_for(lambda: outcome)
    closer.start()
    assert in_close.wait(10) and wait_for(lambda: sleeping(closer.native_id))  # waits for the handler
    go.set()
    closer.join(10)
    assert not closer.is_alive()
    assert future.done() and future.result().status == tc.STATUS_EXEC_FAILED
    assert outcome == [None if first == "thread" else os.strerror(errno.EDEADLK)], outcome
    box.clear()


def node_dropped_by_its_waiters(system):
    """The last Futures, and so the node, go away on their waiter threads."""
    baseline = threads_before_any_node()
    peer = Peer(system, system + "p")
    node = tc.Tarnvel("main", system, system + "rx", 1 << 16)
    alive = weakref.ref(node)
    for _ in range(5):
        node.call_raw(peer.name, peer.pid, "slow", b"0.2", 5000)
    del node
    # The node's destruction closes it on a waiter thread, which must not
    # wait for itself.
    assert wait_for(lambda: alive() is None)
    assert wait_for(lambda: not shm_leftovers(system + "rx")), shm_leftovers(system + "rx")
    assert no_more_threads_than(baseline), (thread_count(), baseline)
    assert peer.stop() == 0


def node_dropped_by_a_busy_caller(system):
    """The last Futures of a dropped node go away on the main thread while it
    resolves answers in a batch (making calls on another node): the node
    closes there, and must not wait for Futures of the batch in hand."""
    baseline = threads_before_any_node()
    peer = Peer(system, system + "p")
    node = tc.Tarnvel("main", system, system + "rx", 1 << 16)
    other = tc.Tarnvel("other", system + "b", system + "orx", 1 << 16)
    other.register({"name": "echo"}, lambda args: args)
    alive = weakref.ref(node)
    for _ in range(8):
        node.call_raw(peer.name, peer.pid, "slow", b"0.2", 5000)
    del node
    deadline = time.monotonic() + 20
    while alive() is not None and time.monotonic() < deadline:
        assert other.call_raw("other", other.pid, "echo", b"x", 5000).result(timeout=10).status == tc.STATUS_OK
    assert alive() is None
    other.close()
    assert wait_for(lambda: not shm_leftovers(system + "rx")), shm_leftovers(system + "rx")
    assert no_more_threads_than(baseline), (thread_count(), baseline)
    assert peer.stop() == 0


def fork_child_closes(system):
    """A fork child closes a node with calls outstanding: the parent's waiters
    have no threads there, so nothing is waited for."""
    node = tc.Tarnvel("main", system, system + "rx", 1 << 16)
    peer = Peer(system, system + "p")
    futures = [node.call_raw(peer.name, peer.pid, "block", b"", 60000) for _ in range(5)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
        child = os.fork()
    if child == 0:
        node.close()
        os._exit(0 if is_closed(node) else 1)
    reaped = []

    def child_ended():
        pid, status = os.waitpid(child, os.WNOHANG)
        if pid:
            reaped.append(status)
        return bool(pid)

    if not wait_for(child_ended):
        os.kill(child, signal.SIGKILL)
        os.waitpid(child, 0)
    assert reaped == [0], "the child hung or failed"
    assert not any(f.done() for f in futures)
    node.close()
    assert {f.result().status for f in futures} == {tc.STATUS_EXEC_FAILED}
    assert peer.stop() == 0


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


def drop_each_other_in_handlers(system):
    """Python handlers of two nodes each drop the last reference to the other
    node while the other's handler runs."""
    boxes = {"a": [], "b": []}
    both_in = threading.Barrier(2, timeout=10)
    returned = []

    def dropping(other):
        def handler(args):
            both_in.wait()
            boxes[other].clear()
            returned.append(other)
            return args
        return handler

    def call_from_a_peer(name, other):
        boxes[name].append(tc.Tarnvel(name, system + name, system + name + "rx", 1 << 16))
        boxes[name][0].register({"name": "drop_other"}, dropping(other))
        caller = Peer(system + name, system + name + "p")
        caller.send_call(name, boxes[name][0].pid, "drop_other", b"x", 5000)
        return caller

    callers = [call_from_a_peer("a", "b"), call_from_a_peer("b", "a")]
    assert wait_for(lambda: len(returned) == 2), returned
    for caller in callers:
        status, _ = caller.read_result()
        assert status in (tc.STATUS_OK, tc.STATUS_TIMEOUT, tc.STATUS_EXEC_FAILED)
        assert caller.stop() == 0
    assert wait_for(lambda: not shm_leftovers(system)), shm_leftovers(system)


if __name__ == "__main__":
    globals()[sys.argv[1]](*sys.argv[2:])
