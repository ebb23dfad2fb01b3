import asyncio
import signal

import pytest

import tarnvel
from conftest import Server


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
            pass
        with pytest.raises(TypeError):
            node.method(coroutine)
        with pytest.raises(tarnvel.TarnvelError, match="already has a node"):
            tarnvel.Node("again", system)
        assert node.call(node.info, "one") == 1
    with pytest.raises(tarnvel.NodeClosed):
        node.call(node.info, "one")
    tarnvel.Node("again", system).close()  # the system is free again


@pytest.mark.parametrize("packed", [b"", b"\x01\x00\x00", b"\x00\x00\x00\x00\x00", b"\x02\x00\x00\x00a",
                                    b"\x02\x00\x00\x00ab", b"\x01\x00\x00\x00\x00\x00", b"\xff\xff\xff\xffab\x00"])
def test_malformed_packed_strings_are_refused(packed):
    with pytest.raises(ValueError, match="malformed"):
        tarnvel.decode_packed(packed)
