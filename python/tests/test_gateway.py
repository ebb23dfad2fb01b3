"""The gateway and the remote client, in real processes on 127.0.0.1."""

import asyncio
import importlib.util
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import tarnvel
import tarnvel.gateway
from conftest import FILE_PREFIX, OBJECT_DIR, Server, child_env, unique
from support_wait import read_line

try:
    grpc, pb, pb_grpc = tarnvel.gateway.load()
except ImportError as e:
    if importlib.util.find_spec("grpc") is not None:
        raise  # gRPC is here, so the build should have generated the gateway's code
    grpc = None
    why_not = str(e)
needs_grpc = pytest.mark.skipif(grpc is None, reason="gRPC or the generated code is missing")

_script = Path(tarnvel.__file__).parent.parent / "bin" / "tarnvel"
COMMAND = [str(_script)] if _script.exists() else [sys.executable, "-m", "tarnvel"]


def tarnvel_cli(*args, input=None):
    return subprocess.run(COMMAND + list(args), input=input, capture_output=True, env=child_env(), timeout=60)


class Gateway:
    """``tarnvel gateway SYSTEM`` in a process of its own, on a free port of 127.0.0.1."""

    def __init__(self, system, *options):
        self.proc = subprocess.Popen(COMMAND + ["gateway", system, "--listen", "127.0.0.1:0", *options],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env())
        line = read_line(self.proc.stdout)
        if not line.startswith("tarnvel gateway: serving"):
            self.proc.kill()
            pytest.fail(f"the gateway did not start: {line}{self.proc.communicate()[1]}")
        self.address = line.split()[-1]
        self.pid = self.proc.pid

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(15)
        finally:
            self.proc.kill()
            self.proc.communicate()


def shm_files(system):
    return [f for f in os.listdir(OBJECT_DIR) if system in f]


@pytest.fixture(scope="module")
def served():
    """A server and a gateway for its system; the gateway's own time limit is short."""
    if grpc is None:
        pytest.skip(why_not)
    system = unique("gw")
    server = Server(system)
    gateway = Gateway(system, "--timeout", "0.2")
    yield system, server, gateway
    assert gateway.stop() == 0
    assert server.stop() == 0
    # Both ended cleanly: nothing of the system is left behind.
    assert shm_files(system) == []


@pytest.fixture(scope="module")
def secured(tmp_path_factory):
    """A gateway with TLS (a certificate made here) and a token, for a system of its own."""
    if grpc is None:
        pytest.skip(why_not)
    if shutil.which("openssl") is None:
        pytest.skip("openssl is needed to make a certificate")
    folder = tmp_path_factory.mktemp("tls")
    cert, key, token = folder / "cert.pem", folder / "key.pem", folder / "token"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True, timeout=60)
    token.write_text("s3cret\n")
    system = unique("gwtls")
    gateway = Gateway(system, "--tls-cert", str(cert), "--tls-key", str(key), "--token-file", str(token))
    yield system, gateway, cert, token
    assert gateway.stop() == 0


@needs_grpc
def test_remote_calls_read_as_local_ones(served):
    system, server, gateway = served
    with tarnvel.connect(gateway.address) as remote:
        assert (remote.system, remote.gateway) == (system, ("tarnvel-gateway", gateway.pid))
        assert set(remote.nodes()) == {tarnvel.PeerInfo("server", server.pid), remote.gateway}
        peer = remote.peer("server")
        assert isinstance(peer, tarnvel.Peer) and peer.pid == server.pid
        assert peer.add(2, 40) == 42 and peer.add(2, b=40) == 42 and remote.call("server", "add", [1, 2]) == 3
        every_byte = bytes(range(256)) * 8
        assert peer.echo.raw(every_byte) == every_byte and peer.echo.raw(b"") == b""
        assert "add" in [d["name"] for d in peer.methods()]

        async def concurrently():
            return await asyncio.gather(*(peer.add.aio(i, 1) for i in range(20)), peer.echo.aio_raw(b"\0x"))

        assert asyncio.run(concurrently()) == [*range(1, 21), b"\0x"]


@needs_grpc
def test_a_pending_or_abandoned_call_holds_up_no_other(served):
    system, server, gateway = served
    with tarnvel.connect(gateway.address) as remote:
        peer = remote.peer("server", call_timeout=60)

        async def beside_a_pending_one():
            held = asyncio.ensure_future(peer.gate_wait.aio())
            await asyncio.sleep(0.1)  # the gateway has it in flight, alone
            quick = [await peer.add.aio(i, 1) for i in range(3)]
            pending = not held.done()
            await peer.gate_open.aio()
            return quick, pending, await held

        assert asyncio.run(beside_a_pending_one()) == ([1, 2, 3], True, True)
        # Lone calls after it are answered as before.
        assert [peer.add(i, 1) for i in range(3)] == [1, 2, 3]

        async def after_one_given_up():
            given_up = asyncio.ensure_future(peer.slow.aio(0.5))
            await asyncio.sleep(0.1)  # pending in the gateway, alone, when its caller gives up
            given_up.cancel()
            with pytest.raises(asyncio.CancelledError):
                await given_up
            return [await peer.add.aio(i, 1) for i in range(3)]

        assert asyncio.run(after_one_given_up()) == [1, 2, 3]
        assert [peer.add(i, 1) for i in range(3)] == [1, 2, 3]


@needs_grpc
def test_failures_raise_the_local_exceptions(served):
    system, server, gateway = served
    with tarnvel.connect(gateway.address) as remote:
        peer = remote.peer("server")
        with pytest.raises(tarnvel.RemoteError) as raised:
            peer.fail("boom")
        assert (raised.value.type_name, raised.value.message) == ("ValueError", "boom")
        with pytest.raises(tarnvel.RemoteError) as raised:
            peer.missing()
        assert raised.value.type_name is None and raised.value.method == "missing"
        with pytest.raises(tarnvel.DeliveryFailed):
            peer.echo.raw(bytes(tarnvel.DEFAULT_MAILBOX_BYTES))
        with pytest.raises(tarnvel.PeerNotFound, match="no node 'nobody'"):
            remote.peer("nobody", timeout=0)
        with pytest.raises(tarnvel.PeerGone):
            remote.call(tarnvel.PeerInfo("server", 1), "add", [1, 2])
    with pytest.raises(tarnvel.NodeClosed):
        peer.add(1, 2)


@needs_grpc
def test_time_limits_map_both_ways(served):
    system, server, gateway = served
    with tarnvel.connect(gateway.address) as remote:
        # The caller's limit ends the call inside the system ...
        with pytest.raises(tarnvel.CallTimeout, match=r"no answer to 'slow' on 'server' .* within 0.1 s"):
            remote.peer("server", call_timeout=0.1).slow(0.3)
        # ... and a longer one lifts the gateway's own (0.2 s), as no limit at all does.
        assert remote.peer("server", call_timeout=10).slow(0.3) == 0.3
        assert remote.peer("server", call_timeout=math.inf).slow(0.3) == 0.3
    # Without a deadline the gateway's limit applies, and its time-out comes back as DEADLINE_EXCEEDED.
    with grpc.insecure_channel(gateway.address) as channel:
        stub = pb_grpc.GatewayStub(channel)
        with pytest.raises(grpc.RpcError) as raised:
            stub.Call(pb.CallRequest(node="server", pid=server.pid, method="slow", args=b'{"args":[0.3]}'))
        assert raised.value.code() == grpc.StatusCode.DEADLINE_EXCEEDED
        assert ("tarnvel-error", "CallTimeout") in raised.value.trailing_metadata()
        # By name alone, and by a name nobody carries.
        answer = stub.Call(pb.CallRequest(node="server", method="add", args=b'{"args":[2,40]}'), timeout=10)
        assert (answer.result, answer.pid) == (b'{"result":42}', server.pid)
        with pytest.raises(grpc.RpcError) as raised:
            stub.Call(pb.CallRequest(node="nobody", method="add"), timeout=10)
        assert raised.value.code() == grpc.StatusCode.NOT_FOUND


@needs_grpc
def test_reflection_lists_the_service_to_a_client_with_nothing_but_the_address(served):
    from google.protobuf import descriptor_pool, message_factory
    from grpc_reflection.v1alpha.proto_reflection_descriptor_database import ProtoReflectionDescriptorDatabase

    system, server, gateway = served
    with grpc.insecure_channel(gateway.address) as channel:
        database = ProtoReflectionDescriptorDatabase(channel)
        assert "tarnvel.gateway.v1.Gateway" in database.get_services()
        pool = descriptor_pool.DescriptorPool(database)
        method = pool.FindServiceByName("tarnvel.gateway.v1.Gateway").methods_by_name["ListNodes"]
        if hasattr(message_factory, "GetMessageClass"):
            request_type, response_type = map(message_factory.GetMessageClass,
                                              (method.input_type, method.output_type))
        else:
            factory = message_factory.MessageFactory(pool)
            request_type, response_type = map(factory.GetPrototype, (method.input_type, method.output_type))
        list_nodes = channel.unary_unary("/tarnvel.gateway.v1.Gateway/ListNodes",
                                         request_serializer=request_type.SerializeToString,
                                         response_deserializer=response_type.FromString)
        answer = list_nodes(request_type(), timeout=10)
    assert answer.system == system and ("server", server.pid) in [(n.name, n.pid) for n in answer.nodes]


@needs_grpc
def test_command_with_remote_answers_as_the_local_one(served):
    system, server, gateway = served
    remote = ["--remote", gateway.address]
    nodes = json.loads(tarnvel_cli(*remote, "nodes", "--json").stdout)
    assert [(n["name"], n["pid"]) for n in nodes] == [("server", server.pid)]  # the gateway's own left out
    assert nodes[0]["mailbox"].endswith(f"_{server.pid}")
    for args in (["methods", "server"], ["call", "server", "fail", '"x"'], ["methods", "nobody"]):
        local, there = tarnvel_cli(*args[:1], system, *args[1:]), tarnvel_cli(*remote, *args)
        assert (there.returncode, there.stdout, there.stderr) == (local.returncode, local.stdout, local.stderr)
    assert tarnvel_cli(*remote, "call", "server", "echo", "--raw", input=b"\0\xff").stdout == b"\0\xff"
    assert tarnvel_cli(*remote, "call", "server", "add", "2", "b=40").stdout == b"42\n"
    unreachable = tarnvel_cli("--remote", "127.0.0.1:1", "nodes")
    assert unreachable.returncode == 7 and b"cannot reach the gateway at 127.0.0.1:1" in unreachable.stderr


@needs_grpc
def test_watch_through_the_gateway_sees_nodes_join_and_leave(served):
    system, server, gateway = served
    watch = subprocess.Popen(COMMAND + ["--remote", gateway.address, "watch", "--json"],
                             stdout=subprocess.PIPE, text=True, env=child_env())
    try:
        def event():
            e = json.loads(read_line(watch.stdout))
            return e["event"], e["name"], e["pid"]

        assert event() == ("joined", "server", server.pid)
        late = Server(system, "late")
        assert event() == ("joined", "late", late.pid)
        assert late.stop() == 0
        assert event() == ("left", "late", late.pid)
        watch.send_signal(signal.SIGINT)
        assert watch.wait(15) == 0
    finally:
        watch.kill()
        watch.communicate()


@needs_grpc
def test_tls_and_token(secured):
    system, gateway, cert, token = secured
    with pytest.raises(tarnvel.GatewayError) as raised:
        tarnvel.connect(gateway.address, token="s3cret")  # plain text to a TLS port
    assert raised.value.code == "UNAVAILABLE"
    for wrong in (None, "guess"):
        with pytest.raises(tarnvel.GatewayError, match="refused the call") as raised:
            tarnvel.connect(gateway.address, token=wrong, tls_ca=cert)
        assert raised.value.code == "UNAUTHENTICATED"
    with tarnvel.connect(gateway.address, token="s3cret", tls_ca=cert.read_bytes()) as remote:
        assert remote.system == system and remote.nodes() == [remote.gateway]
        assert remote.peer("tarnvel-gateway").methods()[0]["name"] == "sys.list_methods"
    # Reflection needs the token too.
    with grpc.secure_channel(gateway.address, grpc.ssl_channel_credentials(cert.read_bytes())) as channel:
        from grpc_reflection.v1alpha.proto_reflection_descriptor_database import \
            ProtoReflectionDescriptorDatabase
        with pytest.raises(grpc.RpcError) as raised:
            ProtoReflectionDescriptorDatabase(channel).get_services()
        assert raised.value.code() == grpc.StatusCode.UNAUTHENTICATED
    listed = tarnvel_cli("--remote", gateway.address, "--tls-ca", str(cert), "--token-file", str(token),
                         "nodes", "--json")
    assert (listed.returncode, json.loads(listed.stdout)) == (0, [])
    refused = tarnvel_cli("--remote", gateway.address, "--tls-ca", str(cert), "nodes")
    assert refused.returncode == 7 and b"refused the call" in refused.stderr


_HANGING = """
import sys, time, tarnvel
with tarnvel.Node("hanging", sys.argv[1]) as node:
    @node.method
    def hang():
        print("hanging", flush=True)
        time.sleep(60)
    print("ready", flush=True)
    node.serve_forever()
"""


@needs_grpc
def test_a_node_that_dies_mid_call_ends_the_call_at_once(secured):
    system, gateway, cert, token = secured
    proc = subprocess.Popen([sys.executable, "-c", _HANGING, system], stdout=subprocess.PIPE, text=True,
                            env=child_env())
    try:
        assert read_line(proc.stdout) == "ready\n"
        with tarnvel.connect(gateway.address, token="s3cret", tls_ca=cert) as remote:
            peer = remote.peer("hanging", call_timeout=30)
            outcome = []
            caller = threading.Thread(target=lambda: outcome.append(pytest.raises(tarnvel.PeerGone, peer.hang)))
            caller.start()
            assert read_line(proc.stdout) == "hanging\n"
            proc.kill()
            caller.join(30)
            assert outcome and "died while 'hang' was pending" in str(outcome[0].value)
            with pytest.raises(tarnvel.PeerGone):
                peer.hang()
        # The system has lost every node but the gateway's own; the gateway says so.
        with grpc.secure_channel(gateway.address, grpc.ssl_channel_credentials(cert.read_bytes())) as channel:
            with pytest.raises(grpc.RpcError) as raised:
                pb_grpc.GatewayStub(channel).Call(pb.CallRequest(node="hanging", method="hang"), timeout=10,
                                                  metadata=[("authorization", "Bearer s3cret")])
        assert raised.value.code() == grpc.StatusCode.NOT_FOUND
        assert "the gateway's own node is the only one left" in raised.value.details()
    finally:
        proc.kill()
        proc.communicate()
    with tarnvel.Node("sweeper", unique("sweep")):
        pass  # a new node removes the objects that the killed process left behind


def test_without_grpc_the_package_works_and_the_gateway_says_what_is_missing():
    code = ("import sys; sys.modules['grpc'] = None\n"
            "import tarnvel\n"
            "from tarnvel.cli import main\n"
            "try:\n"
            "    tarnvel.connect('127.0.0.1:1')\n"
            "except ImportError as e:\n"
            "    print(e)\n"
            "sys.exit(main(['gateway', 'anything']))\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_env(),
                          timeout=60)
    assert "pip install 'tarnvel[gateway]'" in done.stdout
    assert done.returncode == 7 and done.stderr.startswith("tarnvel: the tarnvel gateway needs gRPC")


@needs_grpc
def test_a_name_two_processes_carry_needs_a_pid(served):
    system, server, gateway = served
    twins = [Server(system, "twin"), Server(system, "twin")]
    try:
        pids = sorted(t.pid for t in twins)
        with tarnvel.connect(gateway.address) as remote:
            with pytest.raises(tarnvel.AmbiguousPeer) as raised:
                remote.peer("twin")
            assert sorted(raised.value.pids) == pids
            assert remote.peer("twin", pid=pids[1]).where() == pids[1]
        with grpc.insecure_channel(gateway.address) as channel:
            with pytest.raises(grpc.RpcError) as raised:
                pb_grpc.GatewayStub(channel).Call(pb.CallRequest(node="twin", method="where"), timeout=10)
        assert raised.value.code() == grpc.StatusCode.FAILED_PRECONDITION
        metadata = dict(raised.value.trailing_metadata())
        assert sorted(map(int, metadata["tarnvel-pids"].split(","))) == pids
    finally:
        assert [t.stop() for t in twins] == [0, 0]


@needs_grpc
def test_the_gateway_refuses_what_it_cannot_serve(served):
    system, server, gateway = served
    taken = tarnvel_cli("gateway", system, "--listen", gateway.address)
    assert taken.returncode == 7 and f"cannot listen on {gateway.address}".encode() in taken.stderr
    for args, message in ((["bad-name"], b"invalid system name"), ([system, "--tls-cert", "x"], b"go together"),
                          ([system, "--listen", "nowhere"], b"invalid listen address")):
        refused = tarnvel_cli("gateway", *args)
        assert refused.returncode == 2 and message in refused.stderr
