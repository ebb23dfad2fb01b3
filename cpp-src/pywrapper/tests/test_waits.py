"""Waits that must never stall a thread nor outlast a time-out: done-callbacks, the spin, Ctrl-C in a call."""

import concurrent.futures
import os
import selectors
import signal
import subprocess
import sys
import threading
import time

import pytest

import tarnvel_core as tc
from support import module_env, self_call, sleeping, unique, wait_for

NEVER_MS = 600_000  # a time limit no test waits for


def test_a_pending_call_keeps_no_one_waiting_longer_than_asked(node, peer):
    ran = []
    node.register({"name": "where"}, lambda args: str(threading.get_ident()).encode())
    done = node.call_raw("main", node.pid, "where", b"", 5000)
    io_thread = int(done.result(timeout=10).result)
    # The peer answers "block" only once released or its stdin is closed.
    pending = node.call_raw(peer.name, peer.pid, "block", b"", NEVER_MS)

    def add_three():
        for _ in range(3):
            pending.add_done_callback(lambda f: ran.append(("pending", threading.get_ident())))

    adder = threading.Thread(target=add_three)
    adder.start()
    adder.join(10)
    assert not adder.is_alive(), "add_done_callback waited for the call"
    for timeout in 0.05, 1e-5:  # longer, then shorter than the spin before sleeping, which it cuts short
        with pytest.raises(TimeoutError):
            pending.result(timeout)
        assert (pending._tarnvel_signal.last_spin_budget > 1e-5) == (timeout > 1e-5)

    # From a handler, on the io thread: neither waits, and neither callback runs there.
    def add_from_handler(args):
        for f, tag in ((pending, "pending"), (done, "done")):
            f.add_done_callback(lambda f, tag=tag: ran.append((tag, threading.get_ident())))
        return b"added"

    node.register({"name": "add_from_handler"}, add_from_handler)
    answer = self_call(node, "main", "add_from_handler")
    assert (answer.status, answer.result) == (tc.STATUS_OK, b"added")
    assert wait_for(lambda: [t for t, _ in ran] == ["done"])

    node.close()  # ends the pending call
    assert pending.result(timeout=10).status == tc.STATUS_EXEC_FAILED
    assert wait_for(lambda: len(ran) == 5)
    assert sorted(t for t, _ in ran) == ["done"] + ["pending"] * 4
    assert not {io_thread, threading.get_ident()} & {thread for _, thread in ran}


def test_a_caller_that_reads_answers_never_waits_for_a_method_on_the_io_thread(node, peer):
    """A caller with other calls in flight reads its node's mailbox before it
    waits, but not while the io thread runs a method: its time-out holds."""
    assert node.call_raw(peer.name, peer.pid, "echo", b"x", 5000).result(timeout=10).result == b"x"
    inside, release = threading.Event(), threading.Event()

    def hold(args):
        inside.set()
        release.wait(5)  # a reader that waited for the io thread would wait this long
        return b"held"

    node.register({"name": "hold"}, hold)
    held = node.call_raw("main", node.pid, "hold", b"", NEVER_MS)
    assert inside.wait(10)
    answered = node.call_raw(peer.name, peer.pid, "echo", b"y", NEVER_MS)
    with pytest.raises(TimeoutError):
        answered.result(timeout=0.2)
    release.set()
    assert answered.result(timeout=10).result == b"y"
    assert held.result(timeout=10).result == b"held"


def test_answers_nobody_asks_for_resolve_their_futures(node):
    """An answer waits for a thread that holds the interpreter lock anyway;
    concurrent.futures.wait looks at the Futures' state without calling their
    methods, so no such thread comes, and they are resolved all the same."""
    node.register({"name": "echo"}, lambda args: args)
    futures = [node.call_raw("main", node.pid, "echo", b"%d" % i, 5000) for i in range(50)]
    done, pending = concurrent.futures.wait(futures, timeout=10)
    assert not pending
    assert [f.result(0).result for f in futures] == [b"%d" % i for i in range(50)]


def test_a_wait_begun_before_the_answer_is_woken_by_it(node, peer):
    """concurrent.futures.wait waits on a Future's condition, which a call's
    Future makes only once something asks for it. The thread that then
    resolves the Future, here one polling done(), must still wake the wait."""
    pending = node.call_raw(peer.name, peer.pid, "block", b"x", NEVER_MS)
    waited = []
    waiter = threading.Thread(target=lambda: waited.append(concurrent.futures.wait([pending], timeout=10)))
    waiter.start()
    assert wait_for(lambda: pending._waiters), "the wait never began"
    peer.release()
    while not pending.done():
        pass
    waiter.join(30)
    assert waited and pending in waited[0].done
    assert pending.result(0).result == b"x"


def test_a_caller_waiting_in_its_mailbox_is_woken_by_whatever_resolves_its_future(node, peer):
    """A caller of a lone call waits in its node's mailbox for the answer,
    where only the answer would wake it: Python code resolving the Future, or
    the peer's answer after a done-callback came, must wake it as well."""
    for resolve in "by Python code", "with a callback":
        pending = node.call_raw(peer.name, peer.pid, "block", b"x", NEVER_MS)
        got = []
        waiter = threading.Thread(target=lambda: got.append(pending.result(timeout=60)))
        waiter.start()
        time.sleep(0.1)  # into its wait, past the spin
        if resolve == "by Python code":
            pending.set_result("mine")
        else:
            pending.add_done_callback(lambda f: None)
            peer.release()
        waiter.join(10)
        assert not waiter.is_alive(), f"a caller resolved {resolve} slept on"
        assert got == ["mine"] if resolve == "by Python code" else got[0].result == b"x"


def test_a_resolution_cut_short_by_ctrl_c_loses_neither_the_answer_nor_a_callback(node, peer):
    """The thread woken in result() resolves the Future itself; on the main
    thread a signal handler's exception may stop it anywhere, here just after
    it claimed the Future."""
    from _tarnvel_core_future import _IO_THREAD

    pending = node.call_raw(peer.name, peer.pid, "block", b"x", NEVER_MS)

    def cut_short(result):
        with pending._tarnvel_lock:
            pending._tarnvel_resolver = _IO_THREAD
        raise KeyboardInterrupt

    pending._tarnvel_resolve_here = cut_short
    main = threading.get_native_id()
    # The peer answers once released: only when this thread sleeps
    # in result(), so that it, not the watcher, takes the answer.
    releaser = threading.Thread(target=lambda: wait_for(lambda: sleeping(main)) and peer.release())
    releaser.start()
    with pytest.raises(KeyboardInterrupt):
        pending.result(30)
    releaser.join()
    ran = threading.Event()
    pending.add_done_callback(lambda f: ran.set())
    assert ran.wait(10), "a callback added after the cut never ran"
    assert pending.result(10).result == b"x"


def test_a_fork_child_has_the_answers_that_came_before_the_fork(node, peer):
    """Answers wait a moment for a thread of the process to resolve them; a
    child has none of the parent's threads, so they must be resolved before it
    is made. This thread keeps the interpreter while the answers come in."""
    import warnings

    for _ in range(5):
        futures = [node.call_raw(peer.name, peer.pid, "echo", b"%d" % i, 5000) for i in range(8)]
        deadline = time.monotonic() + 10
        while not all(f._tarnvel_signal.is_set for f in futures) and time.monotonic() < deadline:
            pass
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
            child = os.fork()
        if child == 0:
            os._exit(sum(f._state != "FINISHED" for f in futures))
        assert os.waitpid(child, 0)[1] == 0, "the child found answered Futures unresolved"
        for f in futures:
            assert f.result(10).status == tc.STATUS_OK


ASKER = """
import sys
import tarnvel_core as tc

node = tc.Tarnvel("asker", sys.argv[1], sys.argv[2], 1 << 16)
future = node.call_raw(sys.argv[3], int(sys.argv[4]), "block", b"", int(sys.argv[5]))
print("asked", flush=True)
try:
    future.result()
    print("answered", flush=True)
except KeyboardInterrupt:
    print("interrupted", future.done(), flush=True)
node.close()
print("then", future.result().status, flush=True)
"""


def test_ctrl_c_reaches_a_thread_blocked_on_a_call(system, peer):
    asker = subprocess.Popen([sys.executable, "-c", ASKER, system, unique("rx"), peer.name, str(peer.pid),
                              str(NEVER_MS)], stdout=subprocess.PIPE, text=True, env=module_env())
    try:
        assert read_line(asker, 30) == "asked\n"
        assert wait_for(lambda: sleeping(asker.pid))
        os.kill(asker.pid, signal.SIGINT)
        assert asker.wait(30) == 0
        # Interrupted while the call went on, which the close then ended.
        assert asker.stdout.read().splitlines() == ["interrupted False", f"then {tc.STATUS_EXEC_FAILED}"]
    finally:
        asker.kill()
        asker.communicate()


# The C++ suite's helper process, which can hold a system's book mutex.
HOLDER = os.path.join(os.path.dirname(__file__), *[os.pardir] * 3, "build", "release", "cpp-src", "tarnvel",
                      "tests", "tarnvel_peer")

WAITER = """
import os
import sys
import threading
import tarnvel_core as tc

mode, system, rx = sys.argv[1:]
node = None if mode == "construct" else tc.Tarnvel("waiter", system, rx, 1 << 16)
operations = {
    "construct": lambda: tc.Tarnvel("waiter", system, rx, 1 << 16),
    "list_nodes": lambda: node.list_nodes(),
    "call_raw": lambda: node.call_raw("nobody", 1, "m", b"", 1000),
    "close": lambda: node.close(),
}
print("ready", flush=True)
sys.stdin.readline()
entering = threading.Event()

def operate():
    entering.set()
    operations[mode]()

worker = threading.Thread(target=operate)
worker.start()
entering.wait()
# Only a thread that let the interpreter go lets this one run while it waits.
while True:
    with open(f"/proc/self/task/{worker.native_id}/stat") as f:
        if f.read().rsplit(")", 1)[1].split()[0] == "S":
            break
print("free", flush=True)
worker.join()
print("done", flush=True)
"""


@pytest.mark.skipif(not os.path.exists(HOLDER), reason="the C++ suite's helper process is not built")
@pytest.mark.parametrize("mode", ["construct", "list_nodes", "call_raw", "close"])
def test_waiting_for_the_book_mutex_leaves_the_other_threads_running(system, mode):
    waiter = subprocess.Popen([sys.executable, "-c", WAITER, mode, system, unique("rx")], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, env=module_env())
    holder = None
    try:
        assert read_line(waiter, 30) == "ready\n"
        holder = subprocess.Popen([HOLDER, "lock-book-mutex", system], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        assert read_line(holder, 30).startswith("ready ")
        waiter.stdin.write("go\n")
        waiter.stdin.flush()
        assert read_line(waiter, 30) == "free\n"
        holder.stdin.close()  # lets the mutex go
        assert holder.wait(30) == 0
        assert read_line(waiter, 30) == "done\n"
        waiter.stdin.close()
        assert waiter.wait(30) == 0
    finally:
        for proc in (waiter, holder):
            if proc is not None:
                proc.kill()
                proc.communicate()


def read_line(proc, timeout):
    with selectors.DefaultSelector() as sel:
        sel.register(proc.stdout, selectors.EVENT_READ)
        return proc.stdout.readline() if sel.select(timeout) else "(nothing)"


BIG_SERVER = """
import sys
import tarnvel_core as tc

system, rx = sys.argv[1:]
big = bytes(range(256)) * 1200
with tc.Tarnvel("big", system, rx, 1 << 21) as node:
    node.register({"name": "big"}, lambda args: big[:int(args)])
    print("ready", node.pid, flush=True)
    sys.stdin.readline()
"""


def test_large_answers_arrive_whole_in_bytes_of_their_own(system):
    # The caller of a lone call reads an answer over 128 KiB straight into the
    # bytes object it is given: whole every time, and held by nobody else.
    server = subprocess.Popen([sys.executable, "-c", BIG_SERVER, system, unique("rx")], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, env=module_env())
    node = tc.Tarnvel("main", system, unique("rx"), 1 << 21)
    try:
        _, pid = read_line(server, 30).split()
        big = bytes(range(256)) * 1200
        for size in (len(big), 200_000, len(big), 131_073, 16):
            result = node.call_raw("big", int(pid), "big", str(size).encode(), 10_000).result(timeout=20)
            assert (result.status, result.result) == (tc.STATUS_OK, big[:size])
            assert sys.getrefcount(result.result) == 2  # the result's own, and the argument's
    finally:
        node.close()
        server.communicate(timeout=30)
