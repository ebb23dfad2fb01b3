import concurrent.futures
import gc
import threading
import weakref

import pytest

import tarnvel_core as tc
from support import self_call, unique, wait_for


def test_call_to_a_missing_node_finishes_with_exec_failed(node):
    future = node.call_raw("nobody", node.pid, "echo", b"x", 1000)
    assert isinstance(future, concurrent.futures.Future)
    assert future.exception(timeout=10) is None
    result = future.result()
    assert type(result) is tc.CallResult
    assert (result.status, result.result) == (tc.STATUS_EXEC_FAILED, b"")


def test_calls_reach_a_peer_by_keyword(node, peer):
    future = node.call_raw(node_name=peer.name, pid=peer.pid, method="echo", args=b"\x00abc",
                           timeout_ms=5000)
    result = future.result(timeout=10)
    assert (result.status, result.result) == (tc.STATUS_OK, b"\x00abc")


def test_many_outstanding_calls(node, peer):
    futures = [node.call_raw(peer.name, peer.pid, "echo", str(i).encode(), 10000) for i in range(64)]
    results = [f.result(timeout=20) for f in futures]
    assert [(r.status, r.result) for r in results] == [(0, str(i).encode()) for i in range(64)]


def test_time_out_nobody_waits_for_reaches_a_callback_on_another_thread(node, peer):
    seen = []
    done = threading.Event()

    def on_done(future):
        seen.append((future.result().status, threading.get_ident()))
        done.set()

    node.call_raw(peer.name, peer.pid, "slow", b"0.6", 100).add_done_callback(on_done)
    assert done.wait(10)
    assert seen == [(tc.STATUS_TIMEOUT, seen[0][1])]
    assert seen[0][1] != threading.get_ident()


def test_cancel_is_refused_and_the_call_still_finishes(node, peer):
    future = node.call_raw(peer.name, peer.pid, "slow", b"0.2", 5000)
    assert future.running()
    assert future.cancel() is False
    assert future.result(timeout=10).status == tc.STATUS_OK


@pytest.mark.parametrize("args", [
    ("p", 1, "m", bytearray(b"x"), 10),
    ("p", 1, "m", "x", 10),
    ("p", 1, "m", b"x", 10.0),
    ("p", -1, "m", b"x", 10),
    ("p", 4294967296, "m", b"x", 10),
    ("p", 1, "m", b"x", 2**63),
    ("p", 1, "m", b"x"),
])
def test_arguments_that_do_not_convert(node, args):
    with pytest.raises(TypeError):
        node.call_raw(*args)


def test_text_arguments_accept_bytes_and_bytearray(node):
    result = node.call_raw(b"main", node.pid, bytearray(b"sys.list_nodes"), b"", 5000).result(timeout=10)
    assert result.status == tc.STATUS_OK


def test_closed_node_refuses_every_operation(node):
    node.close()
    with pytest.raises(RuntimeError, match="^Tarnvel is closed$"):
        node.call_raw("main", node.pid, "echo", b"", 100)
    with pytest.raises(RuntimeError, match="^Tarnvel is closed$"):
        node.register({}, lambda b: b)
    with pytest.raises(RuntimeError, match="^Tarnvel is closed$"):
        node.list_nodes()


def test_a_live_future_keeps_its_node_alive(system, peer):
    node = tc.Tarnvel("alive", system, unique("rx"), 1 << 16)
    alive = weakref.ref(node)
    future = node.call_raw(peer.name, peer.pid, "slow", b"0.3", 5000)
    del node
    gc.collect()
    assert alive() is not None
    assert future.result(timeout=10).status == tc.STATUS_OK
    gc.collect()
    assert alive() is not None
    del future
    assert wait_for(lambda: gc.collect() is not None and alive() is None)


def test_a_blocking_done_callback_holds_up_no_other_future(node, peer):
    """Done-callbacks never run on an io thread, and one that blocks on other
    calls' results leaves those calls' Futures (callbacks and all) to resolve."""
    node.register({"name": "where"}, lambda args: str(threading.get_ident()).encode())
    io_thread = int(self_call(node, "main", "where").result)
    callback_threads = []
    seen = []
    done = threading.Event()

    first = node.call_raw(peer.name, peer.pid, "slow", b"0.3", 10000)
    later = [node.call_raw(peer.name, peer.pid, "echo", b"%d" % i, 10000) for i in range(8)]
    for f in later:
        f.add_done_callback(lambda f: callback_threads.append(threading.get_ident()))

    def blocking(future):
        callback_threads.append(threading.get_ident())
        seen.extend(f.result(timeout=10).result for f in later)
        done.set()

    first.add_done_callback(blocking)
    assert done.wait(20)
    assert seen == [b"%d" % i for i in range(8)]
    assert wait_for(lambda: len(callback_threads) == 9)
    assert io_thread not in callback_threads
    assert threading.get_ident() not in callback_threads
