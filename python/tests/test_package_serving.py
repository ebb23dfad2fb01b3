"""Servers under work: slow methods beside fast ones, methods that call nodes, async methods, shut-down."""

import asyncio
import concurrent.futures
import signal
import time

import pytest

import tarnvel
from conftest import Server
from support_wait import read_line


def test_a_blocked_method_delays_neither_another_method_nor_the_builtins(server, client):
    peer = client.peer("server")
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        held = pool.submit(peer.gate_wait)
        try:
            assert peer.add(2, 3) == 5
            assert "gate_wait" in {d["name"] for d in peer.methods()}
            assert not held.done()
        finally:
            peer.gate_open()
        assert held.result(timeout=30) is True


def test_methods_call_other_nodes_and_their_own(server, client):
    @client.method
    def twice(x: int) -> int:
        return 2 * x

    peer = client.peer("server")
    # Its own node, and the node whose call it is serving.
    assert peer.relay("server", "add", [2, 3]) == 5
    assert peer.relay("client", "twice", [4]) == 8
    assert peer.arelay("server", "add", [1, 1]) == 2
    assert peer.arelay("client", "twice", [5]) == 10
    with pytest.raises(tarnvel.RemoteError, match="no method 'nope'"):
        peer.arelay("client", "nope", [])


def test_async_methods_run_concurrently_and_report_failures(server, client):
    # More at once than the default number of workers: only concurrent async calls can all meet.
    count = 24

    async def all_at_once():
        peer = await client.apeer("server")
        return await asyncio.gather(*(peer.rendezvous.aio(count) for _ in range(count)))

    assert asyncio.run(all_at_once()) == [count] * count
    with pytest.raises(tarnvel.RemoteError) as raised:
        client.peer("server").araises("x")
    assert (raised.value.type_name, raised.value.message) == ("KeyError", "'x'")


def test_an_async_method_is_cancelled_once_its_caller_gave_up(server, client):
    peer = client.peer("server")
    with pytest.raises(tarnvel.CallTimeout):
        client.call(peer, "forever", timeout=0.2)
    for _ in range(1000):
        if peer.cancellations() == 1:
            break
        time.sleep(0.01)
    assert peer.cancellations() == 1


def test_sigterm_lets_a_running_method_finish_then_ends(system, client):
    server = Server(system)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        answer = pool.submit(client.peer("server").busy, 0.3)
        assert read_line(server.proc.stdout) == "busy\n"
        assert server.stop(signal.SIGTERM) == 0
        assert answer.result(timeout=30) == 0.3


def test_a_method_outlasting_the_grace_period_does_not_keep_the_process(system, client):
    server = Server(system, grace=0.1)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        pool.submit(client.call, "server", "busy", [60], timeout=60)
        assert read_line(server.proc.stdout) == "busy\n"
        server.proc.send_signal(signal.SIGTERM)
        try:
            assert server.proc.wait(15) == 0
        finally:
            server.proc.kill()
            server.proc.communicate()
        # The caller learns at once that the server is gone.
        client.close()


def test_serve_runs_async_methods_on_its_own_loop_until_the_node_closes(system):
    async def main():
        with tarnvel.Node("n", system) as node:
            @node.method
            async def loop_id() -> int:
                return id(asyncio.get_running_loop())

            serving = asyncio.create_task(node.serve())
            await asyncio.sleep(0)  # serve takes the loop in its first step
            assert await node.peer("n").loop_id.aio() == id(asyncio.get_running_loop())
            node.close()
            await asyncio.wait_for(serving, 30)

    asyncio.run(main())
