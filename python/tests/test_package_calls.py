import asyncio
import concurrent.futures
import json
import math
import os
import select
import signal
import warnings

import pytest

import tarnvel
import tarnvel_core
from conftest import Server, unique
from support_wait import read_line


def test_json_and_raw_calls_and_descriptors(client, server):
    peer = client.peer("server")
    assert (peer.name, peer.pid) == ("server", server.pid)
    assert peer.add(2, 40) == 42
    assert peer.add(2, b=40) == peer["add"](40, 2) == client.call("server", "add", [1], {"b": 41}) == 42
    assert peer.echo.raw(b"\x00\xff raw") == b"\x00\xff raw"

    described = {d["name"]: d for d in peer.methods()}
    assert described["add"] == {
        "type": "method", "name": "add", "params": [{"type": "json"}, {"type": "json"}],
        "return": [{"type": "json"}], "encoding": "json", "signature": "(a: int, b: int = 0) -> int",
        "doc": "Adds two integers."}
    assert (described["echo"]["params"], described["echo"]["encoding"]) == ([{"type": "bytes"}], "raw")
    assert list(described) == sorted(described) and "sys.list_nodes" in described


def test_remote_failures_carry_type_and_message(client, server):
    peer = client.peer("server")
    with pytest.raises(tarnvel.RemoteError) as raised:
        peer.fail("bad input\nsecond line")
    assert (raised.value.type_name, raised.value.message) == ("ValueError", "bad input\nsecond line")
    with pytest.raises(tarnvel.RemoteError) as raised:
        peer.unserialisable()
    assert raised.value.type_name == "TypeError"
    with pytest.raises(tarnvel.RemoteError) as raised:
        peer.add(1, 2, 3)
    assert raised.value.type_name == "TypeError"
    with pytest.raises(tarnvel.RemoteError) as raised:  # no such method: the core's failure status
        peer.missing()
    assert raised.value.type_name is None
    with pytest.raises(tarnvel.RemoteError) as raised:  # a raw method does not answer in JSON
        peer.echo(1)
    assert raised.value.type_name is None
    assert peer.add(1, 1) == 2


def test_failing_methods_reach_the_caller_and_the_server_log(system, client):
    server = Server(system, log=True)
    try:
        peer = client.peer("server")
        for method, type_name, message in [("interrupt", "KeyboardInterrupt", ""), ("exits", "SystemExit", "3"),
                                           ("base", "BaseException", "bare"),
                                           ("unprintable", "Unprintable", "<exception str() failed>")]:
            with pytest.raises(tarnvel.RemoteError) as raised:
                peer[method]()
            assert (raised.value.type_name, raised.value.message) == (type_name, message)
        # A raw answer has no room for the reason: the caller learns which kind of failure, the log the rest.
        for method in ("text", "nothing"):
            with pytest.raises(tarnvel.RemoteError, match="the raw method raised or did not return bytes") as raised:
                peer[method].raw(b"")
            assert raised.value.type_name is None
        with pytest.raises(tarnvel.RemoteError, match="the raw method raised"):
            asyncio.run(peer.text.aio_raw(b""))
        with pytest.raises(tarnvel.RemoteError, match="has no method 'missing'"):
            peer.missing()
        with pytest.raises(tarnvel.RemoteError, match="ValueError: ordinary"):
            peer.fail("ordinary")
        assert peer.add(1, 1) == 2  # none of it stopped the server
    finally:
        status = server.stop()
    assert status == 0
    for line in ["method 'interrupt' raised KeyboardInterrupt", "method 'exits' raised SystemExit",
                 "method 'base' raised BaseException", "method 'unprintable' raised Unprintable",
                 "raw method 'text' returned str, not bytes", "raw method 'nothing' returned None, not bytes"]:
        assert line in server.log
    assert "'fail'" not in server.log  # an ordinary exception is the method's answer, not a fault


def test_time_out_values(system, client, server):
    peer = client.peer("server", call_timeout=math.inf)
    assert peer.count() == 1
    with pytest.raises(tarnvel.CallTimeout, match="no time was left"):
        client.call(peer, "count", timeout=0)
    assert peer.count() == 2  # the call with no time was never sent
    assert client.call("server", "add", [1, 2], timeout=tarnvel.MAX_TIMEOUT) == 3
    assert asyncio.run(client.acall("server", "add", [1, 2], timeout=math.inf)) == 3
    for bad in (math.nan, -1, tarnvel.MAX_TIMEOUT + 0.001, 1e9):
        with pytest.raises(ValueError, match="at most 2147483.647 s" if bad > 1 else "zero or more"):
            client.call(peer, "count", timeout=bad)
    with pytest.raises(TypeError, match="number of seconds"):
        client.call(peer, "count", timeout="1")
    with pytest.raises(ValueError):
        client.peer("server", timeout=math.nan)
    with pytest.raises(ValueError):
        client.peer("server", call_timeout=-1)
    with pytest.raises(ValueError):
        tarnvel.Node("other", unique("pkg"), call_timeout=math.nan)
    with tarnvel.Node("other", unique("pkg"), call_timeout=math.inf):
        pass
    assert peer.count() == 3  # none of the refused ones was sent
    # A lookup by name is bounded by the call's time-out, not the lookup's default.
    with pytest.raises(tarnvel.PeerNotFound, match="after 0.05 s"):
        client.call("nobody", "count", timeout=0.05)
    with pytest.raises(tarnvel.PeerNotFound, match="after 0.05 s"):
        asyncio.run(client.acall("nobody", "count", timeout=0.05))


def test_misuse_is_refused_before_anything_is_sent(system, client, server):
    peer = client.peer("server")
    with pytest.raises(TypeError, match="sequence of arguments.*not str"):
        client.call(peer, "add", "12")
    for args, kwargs in [(b"12", None), ({"a": 1}, None), ((), [("a", 1)]), ((), {1: 2})]:
        with pytest.raises(TypeError):
            client.call(peer, "count", args, kwargs)
    with pytest.raises(ValueError, match="nested too deeply"):
        nested = []
        for _ in range(100_000):
            nested = [nested]
        client.call(peer, "count", [nested])
    with pytest.raises(TypeError, match="must be bytes"):
        client.call_bytes(peer, "echo", "text")
    with pytest.raises(TypeError, match="node name, a PeerInfo or a Peer"):
        client.call(42, "count")
    assert peer.count() == 1  # none of them reached the server
    with pytest.raises(TypeError):
        tarnvel.Node("sized", unique("pkg"), mailbox_bytes=1.5)


@pytest.mark.parametrize("name, suffix, options, message", [
    ("a\0b", "", {}, "invalid node name"),
    ("x" * 64, "", {}, "invalid node name"),
    ("", "", {}, "invalid node name"),
    ("n", "\0x", {}, "invalid system name"),
    ("n", "-x", {}, "invalid system name"),
    ("n", "", {"mailbox": "rx\0y"}, "invalid recv shm name"),
    ("n", "", {"mailbox_bytes": 80}, "recv shm too small"),
    ("n", "", {"mailbox_bytes": -1}, "recv shm too small"),
    ("n", "", {"mailbox_bytes": 2**64}, "recv shm too large"),
    ("n", "", {"workers": 0}, "workers"),
])
def test_bad_names_and_sizes_are_value_errors(system, name, suffix, options, message):
    with pytest.raises(ValueError, match=message):
        tarnvel.Node(name, system + suffix, **options)
    with tarnvel.Node("a", system) as node:  # the refusal left nothing behind
        assert [p.name for p in node.nodes()] == ["a"]


def test_default_mailboxes_of_long_system_names_stay_apart(system):
    # Too long to carry the whole system name: two systems that differ only
    # at the end still give a process's nodes mailboxes of their own.
    long = system + "x" * (tarnvel_core.MAX_SYSTEM_NAME_BYTES - len(system) - 1)
    with tarnvel.Node("n", long + "1") as first, tarnvel.Node("n", long + "2") as second:
        boxes = [[n.mailbox_name for n in tarnvel_core.system_nodes(s)] for s in (long + "1", long + "2")]
        assert len(boxes[0]) == len(boxes[1]) == 1 and boxes[0] != boxes[1], boxes
        assert all(len(b[0]) <= tarnvel_core.MAX_MAILBOX_NAME_BYTES for b in boxes)
        assert second.nodes()[0].pid == first.pid


def test_a_call_cut_off_by_close_raises_node_closed(system):
    server = Server(system)
    node = tarnvel.Node("closing", system)
    try:
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            pending = pool.submit(node.peer("server").busy, 60)
            assert read_line(server.proc.stdout) == "busy\n"
            node.close()
            with pytest.raises(tarnvel.NodeClosed, match="closed while 'busy'.* was pending"):
                pending.result(timeout=30)
    finally:
        node.close()
        server.stop(signal.SIGKILL)


def test_closed_flags_of_a_node_inherited_by_a_forked_child(system):
    with tarnvel.Node("parent", system) as node:
        node.method(os.getpid, name="where")
        assert not node.closed
        read, write = os.pipe()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # the child uses none of the parent's threads
            pid = os.fork()
        if pid == 0:
            seen = []
            try:
                seen += [node.closed, repr(node).endswith(" closed>")]
                try:
                    node.call(node.info, "where")
                except tarnvel.NodeClosed:
                    seen.append("NodeClosed")
                node.serve_forever()  # nothing to serve: returns at once
                with tarnvel.Node("child", system) as own:  # the system is free for the child's own node
                    seen.append(own.call(node.info, "where") == os.getppid())
                node.close()
            except BaseException as e:
                seen.append(repr(e))
            finally:
                os.write(write, json.dumps(seen).encode())
                os._exit(0)
        os.close(write)
        if not select.select([read], [], [], 60)[0]:
            os.kill(pid, signal.SIGKILL)  # a child stuck on its inherited node
        with os.fdopen(read) as reader:
            seen = json.loads(reader.read() or "[]")
        os.waitpid(pid, 0)
        assert seen == [True, True, "NodeClosed", True]
        assert not node.closed and node.call(node.info, "where") == os.getpid()  # the parent's node goes on
    assert node.closed


def test_timeout_delivery_and_gone_peer(system, client):
    server = Server(system, "doomed")
    try:
        peer = client.peer("doomed", call_timeout=0.2)
        with pytest.raises(tarnvel.CallTimeout) as raised:
            peer.slow(2)
        assert isinstance(raised.value, TimeoutError)
        with pytest.raises(tarnvel.DeliveryFailed):  # larger than the peer's whole mailbox
            peer.echo.raw(bytes(tarnvel.DEFAULT_MAILBOX_BYTES))
    finally:
        server.proc.kill()
        server.proc.wait()
        server.proc.stdout.close()
    with pytest.raises(tarnvel.PeerGone):
        peer.add(1, 1)


def test_peer_lookup_waits_fails_and_chooses(system, client):
    first = Server(system, "twin", wait=False)
    second = None
    try:
        assert client.peer("twin", timeout=30).pid == first.pid  # looked up while the process starts
        first.wait_ready()
        second = Server(system, "twin")
        with pytest.raises(tarnvel.PeerNotFound, match="'nobody'"):
            client.peer("nobody", timeout=0.05)
        with pytest.raises(tarnvel.AmbiguousPeer) as raised:
            client.peer("twin", timeout=30)
        assert sorted(raised.value.pids) == sorted([first.pid, second.pid])
        assert client.peer("twin", pid=second.pid).where() == second.pid
    finally:
        statuses = [server.stop() for server in (first, second) if server]
    assert statuses == [0, 0]


def test_asyncio_calls_leave_the_loop_running(client, server):
    async def main():
        peer = await client.apeer("server")
        slow = asyncio.ensure_future(peer.slow.aio(0.3))
        ticks = 0
        while not slow.done():  # a blocked loop would run this once
            ticks += 1
            await asyncio.sleep(0.01)
        assert ticks > 1
        assert await asyncio.gather(slow, peer.add.aio(1, b=2), peer.echo.aio_raw(b"x")) == [0.3, 3, b"x"]
        with pytest.raises(tarnvel.RemoteError, match="ValueError: no"):
            await peer.fail.aio("no")

    asyncio.run(main())


def test_serve_forever_ends_on_sigint(system):
    server = Server(system)
    assert server.stop(signal.SIGINT) == 0


def test_publishing_rules(system):
    with tarnvel.Node("n", system) as node:
        node.method(lambda: 1, name="one")
        with pytest.raises(ValueError, match="already"):
            node.method(lambda: 2, name="one")
        with pytest.raises(ValueError, match="reserved"):
            node.method(name="sys.mine")(lambda: 3)

        async def coroutine():
            return "awaited"
        node.method(coroutine)
        with pytest.raises(tarnvel.TarnvelError, match="already has a node"):
            tarnvel.Node("again", system)
        assert node.call(node.info, "one") == 1
        assert node.call(node.info, "coroutine") == "awaited"
    with pytest.raises(tarnvel.NodeClosed):
        node.call(node.info, "one")
    tarnvel.Node("again", system).close()  # the system is free again


@pytest.mark.parametrize("packed", [b"", b"\x01\x00\x00", b"\x00\x00\x00\x00\x00", b"\x02\x00\x00\x00a",
                                    b"\x02\x00\x00\x00ab", b"\x01\x00\x00\x00\x00\x00", b"\xff\xff\xff\xffab\x00"])
def test_malformed_packed_strings_are_refused(packed):
    with pytest.raises(ValueError, match="malformed"):
        tarnvel.decode_packed(packed)


def test_a_crashed_server_is_out_of_the_way_of_its_restart(system, client):
    crashed = Server(system)
    assert client.peer("server").where() == crashed.pid
    crashed.stop(signal.SIGKILL)
    restarted = Server(system)
    try:
        assert client.peer("server", timeout=0).where() == restarted.pid
        assert [n.pid for n in client.nodes() if n.name == "server"] == [restarted.pid]
    finally:
        assert restarted.stop() == 0


def test_a_server_killed_mid_call_ends_the_call_with_peer_gone(system, client):
    doomed = Server(system)
    peer = client.peer("server", call_timeout=600)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        outcome = pool.submit(peer.slow, 600)
        doomed.stop(signal.SIGKILL)
        # Far short of the call's limit: only the death can end it in time.
        with pytest.raises(tarnvel.PeerGone):
            outcome.result(timeout=30)
