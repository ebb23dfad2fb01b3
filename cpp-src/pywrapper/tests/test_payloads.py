"""Large and empty payloads through call_raw, raw handlers and deferred replies."""
import os
import threading

import pytest

import tarnvel_core as tc
from support import self_call, unique

SIZES = [0, 1, 65536 + 3, 1 << 20]


@pytest.fixture(params=[0, 2], ids=["in-place", "workers"])
def roomy(system, request):
    """A node whose mailbox holds a 1 MiB request or answer. Without workers a
    plain method reads its argument straight from the mailbox; with them,
    from a copy."""
    n = tc.Tarnvel("main", system, unique("rx"), 8 << 20, workers=request.param)
    yield n
    n.close()


@pytest.mark.parametrize("size", SIZES)
def test_handler_answers_larger_and_smaller_than_their_arguments(roomy, size):
    # The answer goes back through the argument's storage: it must come out
    # whole whether it needs more room than the argument or less.
    assert roomy.register({"name": "grow"}, lambda args: args[::-1] + b"!tail")
    assert roomy.register({"name": "shrink"}, lambda args: args[: len(args) // 3])
    data = os.urandom(size)
    grown = self_call(roomy, "main", "grow", data)
    assert (grown.status, grown.result) == (tc.STATUS_OK, data[::-1] + b"!tail")
    shrunk = self_call(roomy, "main", "shrink", data)
    assert (shrunk.status, shrunk.result) == (tc.STATUS_OK, data[: size // 3])
    assert grown.result == grown.result and type(grown.result) is bytes


@pytest.mark.parametrize("size", SIZES)
def test_deferred_reply_with_a_large_answer_from_another_thread(roomy, size):
    data = os.urandom(size)

    def later(args, reply):
        threading.Thread(target=lambda: reply.complete(args + data)).start()

    assert roomy.register_deferred({"name": "later"}, later)
    result = self_call(roomy, "main", "later", data)
    assert (result.status, result.result) == (tc.STATUS_OK, data + data)


def test_large_calls_from_many_threads_at_once(roomy):
    assert roomy.register({"name": "echo"}, lambda args: args)
    payloads = [bytes([i]) * (256 << 10) for i in range(8)]
    results = [None] * len(payloads)

    def caller(i):
        results[i] = self_call(roomy, "main", "echo", payloads[i])

    threads = [threading.Thread(target=caller, args=(i,)) for i in range(len(payloads))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [(r.status, r.result) for r in results] == [(tc.STATUS_OK, p) for p in payloads]


def test_an_argument_may_go_as_soon_as_call_raw_returns(roomy):
    # call_raw reads its argument in place. The first calls to a node wait
    # for the io thread to open it, so they must have taken a copy: each
    # argument here is gone once call_raw returns, and its memory may go to
    # the next one.
    assert roomy.register({"name": "echo"}, lambda args: args)
    futures = [roomy.call_raw("main", roomy.pid, "echo", bytes([i]) * (64 << 10), 10000) for i in range(4)]
    assert [f.result().result for f in futures] == [bytes([i]) * (64 << 10) for i in range(4)]
