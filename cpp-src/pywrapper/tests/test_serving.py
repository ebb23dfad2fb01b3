"""Handlers on worker threads, deferred replies, and waits an io thread may not make."""

import threading

import pytest

import tarnvel_core as tc
from support import list_methods, self_call, unique, wait_for


@pytest.fixture
def served(system):
    """A node "main" whose handlers run on two workers."""
    n = tc.Tarnvel("main", system, unique("rx"), 1 << 16, workers=2)
    yield n
    n.close()


def test_a_held_handler_delays_neither_another_method_nor_the_builtins(served):
    release = threading.Event()
    served.register({"name": "hold"}, lambda args: b"held" if release.wait(30) else b"")
    served.register({"name": "echo"}, lambda args: args)
    held = served.call_raw("main", served.pid, "hold", b"", 60000)
    try:
        assert self_call(served, "main", "echo", b"quick").result == b"quick"
        assert [d["name"] for d in list_methods(served, "main")] == [
            "echo", "hold", "sys.list_methods", "sys.list_nodes"]
        assert not held.done()
    finally:
        release.set()
    assert (held.result(timeout=30).status, held.result().result) == (tc.STATUS_OK, b"held")


def test_a_handler_on_a_worker_waits_for_a_call_to_its_own_node(served):
    served.register({"name": "echo"}, lambda args: args)
    served.register({"name": "outer"}, lambda args: self_call(served, "main", "echo", b"inner:" + args).result)
    assert self_call(served, "main", "outer", b"x").result == b"inner:x"


def test_a_wait_on_the_io_thread_fails_at_once(node):
    seen = []

    def waits(args):
        future = node.call_raw("main", node.pid, "sys.list_nodes", b"", 60000)
        try:
            future.result()
        except RuntimeError as e:
            seen.append(str(e))
        return b"done"

    node.register({"name": "waits"}, waits)
    assert self_call(node, "main", "waits", timeout_ms=60000).status == tc.STATUS_OK
    assert len(seen) == 1 and "io thread" in seen[0]


def test_deferred_replies(served):
    kept = []
    served.register_deferred({"name": "later"}, lambda args, reply: kept.append((args, reply)))
    served.register_deferred({"name": "now"}, lambda args, reply: reply.complete(args[::-1]))
    served.register_deferred({"name": "raises"}, lambda args, reply: 1 / 0)
    served.register_deferred({"name": "drops"}, lambda args, reply: None)

    assert self_call(served, "main", "now", b"abc").result == b"cba"
    # A failure is answered at once; these would otherwise wait out the minute.
    assert self_call(served, "main", "raises", timeout_ms=60000).status == tc.STATUS_EXEC_FAILED
    assert self_call(served, "main", "drops", timeout_ms=60000).status == tc.STATUS_EXEC_FAILED

    future = served.call_raw("main", served.pid, "later", b"ping", 60000)
    assert wait_for(lambda: kept)
    args, reply = kept.pop()
    assert not reply.answered
    answering = threading.Thread(target=lambda: kept.append(reply.complete(args + b"/pong")))
    answering.start()
    answering.join()
    assert (future.result(timeout=30).status, future.result().result) == (tc.STATUS_OK, b"ping/pong")
    assert kept == [True] and reply.answered
    assert reply.complete(b"again") is False and reply.fail() is False


def test_a_reply_kept_past_close_is_dropped_quietly(system):
    kept = []
    with tc.Tarnvel("main", system, unique("rx"), 1 << 16, workers=1) as n:
        n.register_deferred({"name": "later"}, lambda args, reply: kept.append(reply))
        future = n.call_raw("main", n.pid, "later", b"", 60000)
        assert wait_for(lambda: kept)
    assert future.result(timeout=30).status == tc.STATUS_EXEC_FAILED
    kept[0].complete(b"late")  # goes nowhere, and says nothing
    with pytest.raises(TypeError):
        kept[0].complete("not bytes")


def test_worker_counts_and_time_limits(system):
    with pytest.raises(tc.InvalidArgumentError, match="invalid worker count"):
        tc.Tarnvel("main", system, unique("rx"), 1 << 16, workers=tc.MAX_WORKERS + 1)
    with pytest.raises(TypeError):
        tc.Tarnvel("main", system, unique("rx"), 1 << 16, workers=-1)
    with tc.Tarnvel("main", system, unique("rx"), 1 << 16, workers=tc.MAX_WORKERS) as n:
        assert n.workers == tc.MAX_WORKERS
        # The largest time limit is no limit at all, not a refusal.
        assert n.call_raw("main", n.pid, "sys.list_nodes", b"", 2**63 - 1).result(timeout=30).status == tc.STATUS_OK

