"""Round trips between two processes through tarnvel_core.call_raw, with baselines.

    PYTHONPATH=<dir holding tarnvel_core*.so> python3 bench/python_bench.py [--json FILE]
    ... python3 bench/python_bench.py --round-trips tarnvel|pipe|zmq N

For each transport: latency of sequential request/response pairs (p50, p90,
p99) and the rate with 64 requests outstanding. Then echoes of 16 B, 4 KiB,
64 KiB and 1 MiB through tarnvel and through a Pipe (p50, p90, p99, and the
payload moved per second by one sequential caller). Baselines, measured in the
same run: a multiprocessing.connection Pipe and ZeroMQ REQ/REP over ipc://
(skipped when pyzmq is missing), each row in turns with tarnvel's. Then a call
through the gateway (remote client -> gateway process -> node) on loopback
beside a plain gRPC echo server on loopback that answers the same messages, in
turns (both skipped without gRPC). Then the package's server under work: a
fast call's p50 while another caller's 100 ms method runs beside the same on
an idle server; calls/s of a method blocking 1 ms with 32 outstanding, on 1
worker and on the default; and calls/s of an async method awaiting 10 ms with
256 outstanding. Prints numbers; asserts nothing. --json also writes every
latency sample and rate to FILE. --round-trips makes a warm-up and N
sequential round trips and nothing else, and --window-calls N calls with 64
outstanding, for counting their system calls.
"""

import argparse
import collections
import contextlib
import json
import multiprocessing
import os
import select
import subprocess
import sys
import tempfile
import time

SEQUENTIAL = 3000
WARM_UP = 100
# A warm-up lasts at least this long: after another transport's turn, the
# scheduler may keep both processes of the next one on one core for a few
# milliseconds, where the first hundred round trips alone would still be slow.
WARM_UP_SECONDS = 0.05
WINDOW = 64
BURST_SECONDS = 3.0
PAYLOAD = b"x" * 64
TIMEOUT_MS = 5000
# Large enough for a 1 MiB request or answer and its framing.
MAILBOX_BYTES = 4 << 20
PAYLOAD_SIZES = (16, 4096, 65536, 1 << 20)
# Each row is taken in this many shares, in turns with the same row of the
# transports it is compared with: see in_turns.
TURNS = 4


def payload_round_trips(size):
    """Fewer round trips for large payloads, so each row takes a second or two."""
    return 2000 if size <= 4096 else 500 if size <= 65536 else 100


def percentiles(samples):
    """p50, p90, p99 in microseconds."""
    samples = sorted(samples)
    pick = lambda q: samples[min(len(samples) - 1, int(q * len(samples)))] * 1e6  # noqa: E731
    return pick(0.50), pick(0.90), pick(0.99)


def sequential(round_trip, count, warm_up_seconds=WARM_UP_SECONDS):
    """Latencies in seconds, and the seconds the whole loop took."""
    warm_until = time.perf_counter() + warm_up_seconds
    for _ in range(WARM_UP):
        round_trip()
    while time.perf_counter() < warm_until:
        round_trip()
    latencies = []
    loop_started = time.perf_counter()
    for _ in range(count):
        started = time.perf_counter()
        round_trip()
        latencies.append(time.perf_counter() - started)
    return latencies, time.perf_counter() - loop_started


def burst(send, receive, calls=None, seconds=BURST_SECONDS):
    """Calls per second with WINDOW requests outstanding; answers come in order.
    For `seconds`, or until `calls` answers came."""
    for _ in range(WINDOW):
        send()
    done = 0
    started = time.perf_counter()
    while done < calls if calls is not None else time.perf_counter() - started < seconds:
        receive()
        done += 1
        send()
    rate = done / (time.perf_counter() - started)
    for _ in range(WINDOW):
        receive()
    return rate


# Each transport is a context manager that starts its server in a second
# process and yields (round_trip, windowed, echo), where windowed(seconds=)
# measures the rate with WINDOW outstanding, or is None when the transport
# cannot pipeline, and echo(data) is one round trip with `data` (None: PAYLOAD
# only).

# tarnvel ------------------------------------------------------------------

def tarnvel_server(system):
    import tarnvel_core

    with tarnvel_core.Tarnvel("bench_server", system, "bench_server", MAILBOX_BYTES) as node:
        node.register({"name": "echo"}, lambda args: args)
        print("ready", node.pid, flush=True)
        select.select([sys.stdin], [], [], 120)


@contextlib.contextmanager
def tarnvel_transport(ctx):
    import tarnvel_core

    system = f"bench{os.getpid()}"
    server = subprocess.Popen([sys.executable, __file__, "--tarnvel-server", system],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        word, pid = server.stdout.readline().split()
        pid = int(pid)
        with tarnvel_core.Tarnvel("bench_client", system, "bench_client", MAILBOX_BYTES) as node:
            def call(data=PAYLOAD):
                return node.call_raw("bench_server", pid, "echo", data, TIMEOUT_MS)

            def round_trip():
                assert call().result().status == tarnvel_core.STATUS_OK

            def echo(data):
                result = call(data).result()
                assert result.status == tarnvel_core.STATUS_OK and len(result.result) == len(data)

            in_flight = collections.deque()

            def receive():
                assert in_flight.popleft().result().status == tarnvel_core.STATUS_OK

            def windowed(calls=None, seconds=BURST_SECONDS):
                return burst(lambda: in_flight.append(call()), receive, calls, seconds)

            yield round_trip, windowed, echo
    finally:
        server.stdin.close()
        server.wait(timeout=30)


# multiprocessing Pipe -----------------------------------------------------

def pipe_server(conn):
    try:
        while True:
            conn.send_bytes(conn.recv_bytes())
    except EOFError:
        pass


@contextlib.contextmanager
def pipe_transport(ctx):
    parent, child = ctx.Pipe()
    server = ctx.Process(target=pipe_server, args=(child,))
    server.start()
    child.close()

    def round_trip():
        parent.send_bytes(PAYLOAD)
        parent.recv_bytes()

    def echo(data):
        parent.send_bytes(data)
        assert len(parent.recv_bytes()) == len(data)

    def windowed(calls=None, seconds=BURST_SECONDS):
        return burst(lambda: parent.send_bytes(PAYLOAD), parent.recv_bytes, calls, seconds)

    try:
        yield round_trip, windowed, echo
    finally:
        parent.close()
        server.join(30)


# ZeroMQ -------------------------------------------------------------------

def zmq_server(endpoint):
    import zmq

    with zmq.Context() as context, context.socket(zmq.REP) as socket:
        socket.bind(endpoint)
        while (message := socket.recv()) != b"":
            socket.send(message)
        socket.send(b"")


@contextlib.contextmanager
def zmq_transport(ctx):
    import zmq

    with tempfile.TemporaryDirectory() as folder:
        endpoint = f"ipc://{folder}/bench.sock"
        server = ctx.Process(target=zmq_server, args=(endpoint,))
        server.start()
        with zmq.Context() as context, context.socket(zmq.REQ) as socket:
            socket.connect(endpoint)

            def round_trip():
                socket.send(PAYLOAD)
                socket.recv()

            # REQ/REP allows one request at a time: no windowed rate.
            yield round_trip, None, None
            socket.send(b"")
            socket.recv()
        server.join(30)


# gRPC: the gateway, and a plain echo server as its baseline ---------------

def _package_path():
    """The tarnvel package's sources, beside the built module's folder on sys.path."""
    return os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")


def _grpc_modules():
    if _package_path() not in sys.path:
        sys.path.append(_package_path())
    import tarnvel.gateway
    return tarnvel.gateway.load()


def _child_env():
    import tarnvel_core
    path = [os.path.dirname(os.path.abspath(tarnvel_core.__file__)), _package_path()]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(path))


async def _await_grpc(call):
    # As the remote client does: a future of the synchronous channel, awaited.
    import asyncio
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    call.add_done_callback(lambda _: loop.call_soon_threadsafe(lambda: done.done() or done.set_result(None)))
    await done
    return call.result()


def async_burst(make_call, seconds=BURST_SECONDS):
    """Calls per second with WINDOW coroutines each keeping one call outstanding."""
    return outstanding_rate(make_call, WINDOW, seconds)


def grpc_echo_server():
    import asyncio
    grpc, pb, pb_grpc = _grpc_modules()

    class Echo(pb_grpc.GatewayServicer):
        async def Call(self, request, context):
            return pb.CallResponse(result=request.args, pid=request.pid)

    async def serve():
        server = grpc.aio.server()
        pb_grpc.add_GatewayServicer_to_server(Echo(), server)
        port = server.add_insecure_port("127.0.0.1:0")
        await server.start()
        print("ready", port, flush=True)
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)
        await server.stop(None)

    asyncio.run(serve())


@contextlib.contextmanager
def grpc_transport(ctx):
    grpc, pb, pb_grpc = _grpc_modules()
    server = subprocess.Popen([sys.executable, __file__, "--grpc-echo-server"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, env=_child_env())
    try:
        port = int(server.stdout.readline().split()[1])
        with grpc.insecure_channel(f"127.0.0.1:{port}") as channel:
            call = pb_grpc.GatewayStub(channel).Call
            request = pb.CallRequest(node="bench_server", pid=1, method="echo", args=PAYLOAD)

            def round_trip():
                assert call(request, timeout=TIMEOUT_MS / 1000).result == PAYLOAD

            async def one():
                assert (await _await_grpc(call.future(request, timeout=TIMEOUT_MS / 1000))).result == PAYLOAD

            yield round_trip, lambda seconds=BURST_SECONDS: async_burst(one, seconds), None
    finally:
        server.stdin.close()
        server.wait(timeout=30)
        server.stdout.close()


@contextlib.contextmanager
def gateway_transport(ctx):
    _grpc_modules()
    import tarnvel

    system = f"benchgw{os.getpid()}"
    env = _child_env()
    server = subprocess.Popen([sys.executable, __file__, "--tarnvel-server", system],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
    gateway = None
    try:
        pid = int(server.stdout.readline().split()[1])
        gateway = subprocess.Popen([sys.executable, "-m", "tarnvel", "gateway", system, "--listen", "127.0.0.1:0"],
                                   stdout=subprocess.PIPE, text=True, env=env)
        address = gateway.stdout.readline().split()[-1]
        with tarnvel.connect(address, call_timeout=TIMEOUT_MS / 1000) as remote:
            target = tarnvel.PeerInfo("bench_server", pid)

            def round_trip():
                assert remote.call_bytes(target, "echo", PAYLOAD) == PAYLOAD

            async def one():
                assert await remote.acall_bytes(target, "echo", PAYLOAD) == PAYLOAD

            yield round_trip, lambda seconds=BURST_SECONDS: async_burst(one, seconds), None
    finally:
        if gateway is not None:
            gateway.terminate()
            gateway.wait(timeout=30)
            gateway.stdout.close()
        server.stdin.close()
        server.wait(timeout=30)
        server.stdout.close()


# A server under work (the package) -----------------------------------------

SERVING_SEQUENTIAL = 500
SERVING_SECONDS = 2.0


def serving_server(system, workers):
    import asyncio
    import threading

    sys.path.append(_package_path())
    import tarnvel

    with tarnvel.Node("bench_serving", system, workers=int(workers)) as node:
        node.method(lambda: None, name="ping")
        node.method(lambda: time.sleep(0.1), name="slow")
        node.method(lambda: time.sleep(0.001), name="block")

        @node.method
        async def wait() -> None:
            await asyncio.sleep(0.01)

        def until_stdin_ends():
            sys.stdin.read()
            node.close()

        threading.Thread(target=until_stdin_ends, daemon=True).start()
        print("ready", node.pid, flush=True)
        node.serve_forever()


@contextlib.contextmanager
def serving_peer(workers):
    sys.path.append(_package_path())
    import tarnvel

    system = f"benchserve{os.getpid()}_{workers}"
    server = subprocess.Popen([sys.executable, __file__, "--serving-server", system, str(workers)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=_child_env())
    try:
        server.stdout.readline()
        with tarnvel.Node("bench_caller", system) as node:
            yield node, node.peer("bench_serving")
    finally:
        server.stdin.close()
        server.wait(timeout=30)
        server.stdout.close()


def outstanding_rate(make_call, outstanding, seconds=SERVING_SECONDS):
    """Calls per second with `outstanding` coroutines each keeping one call pending."""
    import asyncio

    async def run():
        done = 0
        started = time.perf_counter()
        stop_at = started + seconds

        async def worker():
            nonlocal done
            while time.perf_counter() < stop_at:
                await make_call()
                done += 1

        await asyncio.gather(*(worker() for _ in range(outstanding)))
        return done / (time.perf_counter() - started)

    return asyncio.run(run())


def measure_serving():
    import threading

    results = {}
    with serving_peer(8) as (node, peer):
        idle, _ = sequential(peer.ping, SERVING_SEQUENTIAL)
        stop = threading.Event()

        def other_caller():
            while not stop.is_set():
                peer.slow()

        beside = threading.Thread(target=other_caller)
        beside.start()
        try:
            busy, _ = sequential(peer.ping, SERVING_SEQUENTIAL)
        finally:
            stop.set()
            beside.join()
        results["fast_p50_idle_us"] = percentiles(idle)[0]
        results["fast_p50_beside_slow_us"] = percentiles(busy)[0]
        results["block_1ms_32_default_calls_per_s"] = outstanding_rate(peer.block.aio, 32)
        results["async_10ms_256_calls_per_s"] = outstanding_rate(peer.wait.aio, 256)
        results["default_workers"] = sys.modules["tarnvel.node"].DEFAULT_WORKERS
    with serving_peer(1) as (_, peer):
        results["block_1ms_32_one_worker_calls_per_s"] = outstanding_rate(peer.block.aio, 32)
    return results


TRANSPORTS = {
    "tarnvel": ("tarnvel call_raw", tarnvel_transport),
    "pipe": ("multiprocessing Pipe", pipe_transport),
    "zmq": ("ZeroMQ REQ/REP ipc://", zmq_transport),
    "gateway": ("tarnvel gateway (gRPC)", gateway_transport),
    "grpc": ("plain gRPC echo", grpc_transport),
}


def in_turns(names, run):
    """run(name) for each of `names`, TURNS times, in turns, which goes first
    alternating, so that all see the same spells of a shared host. Taken
    whole, one transport after the other, a ratio between them moved with
    whatever else the host ran in the half minute between. Each name's
    results, in a list."""
    got = {name: [] for name in names}
    for turn in range(TURNS):
        for name in names if turn % 2 == 0 else names[::-1]:
            got[name].append(run(name))
    return got


def joined_sequential(turns):
    """The latencies of `sequential` turns, and their calls per second."""
    latencies = [s for samples, _ in turns for s in samples]
    seconds = sum(elapsed for _, elapsed in turns)
    return latencies, len(latencies) / seconds if seconds else 0.0


def measure(names, ctx):
    """Every row of each of `names`, all their servers running, in turns."""
    with contextlib.ExitStack() as stack:
        opened = {name: stack.enter_context(TRANSPORTS[name][1](ctx)) for name in names}
        # Every server answering before anything is timed: one still starting
        # takes a core from the first turns of the others.
        for name in names:
            sequential(opened[name][0], 0)
        round_trips = in_turns(names, lambda name: sequential(opened[name][0], SEQUENTIAL // TURNS))
        rates = in_turns(names, lambda name: opened[name][1](seconds=BURST_SECONDS / TURNS)
                         if opened[name][1] else None)
        echoes = {}
        for size in PAYLOAD_SIZES:
            data = b"\xa5" * size
            with_echo = [name for name in names if opened[name][2]]
            echoes[size] = in_turns(with_echo, lambda name: sequential(lambda: opened[name][2](data),
                                                                       payload_round_trips(size) // TURNS))
    results = {}
    for name in names:
        latencies, sequential_rate = joined_sequential(round_trips[name])
        turn_rates = rates[name]
        rate = sum(turn_rates) / len(turn_rates) if turn_rates[0] is not None else None
        sizes = {}
        for size, turns in echoes.items():
            if name not in turns:
                continue
            samples, _ = joined_sequential(turns[name])
            p50, p90, p99 = percentiles(samples)
            sizes[str(size)] = {"p50_us": p50, "p90_us": p90, "p99_us": p99, "mb_per_s": size / p50,
                                "samples_us": [s * 1e6 for s in samples]}
        p50, p90, p99 = percentiles(latencies)
        results[name] = {"p50_us": p50, "p90_us": p90, "p99_us": p99, "sequential_calls_per_s": sequential_rate,
                         "window_calls_per_s": rate, "samples_us": [s * 1e6 for s in latencies], "payloads": sizes}
    return results


def zmq_missing():
    try:
        import zmq  # noqa: F401
    except ImportError:
        return True
    return False


def grpc_missing():
    try:
        _grpc_modules()
    except ImportError:
        return True
    return False


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", metavar="FILE")
    parser.add_argument("--round-trips", nargs=2, metavar=("TRANSPORT", "N"))
    parser.add_argument("--window-calls", nargs=2, metavar=("TRANSPORT", "N"))
    parser.add_argument("--tarnvel-server", metavar="SYSTEM", help=argparse.SUPPRESS)
    parser.add_argument("--grpc-echo-server", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--serving-server", nargs=2, metavar=("SYSTEM", "WORKERS"), help=argparse.SUPPRESS)
    parser.add_argument("--serving-only", action="store_true", help="measure only the server under work")
    args = parser.parse_args()
    if args.serving_server:
        serving_server(*args.serving_server)
        return
    if args.tarnvel_server:
        tarnvel_server(args.tarnvel_server)
        return
    if args.grpc_echo_server:
        grpc_echo_server()
        return
    ctx = multiprocessing.get_context("spawn")
    if args.round_trips:
        transport, count = args.round_trips[0], int(args.round_trips[1])
        # A warm-up of a fixed count: the system calls of two such runs are
        # told apart by their round trips alone.
        with TRANSPORTS[transport][1](ctx) as (round_trip, _, _):
            sequential(round_trip, count, 0)
        print(f"{TRANSPORTS[transport][0]}: {count} round trips")
        return
    if args.window_calls:
        transport, count = args.window_calls[0], int(args.window_calls[1])
        with TRANSPORTS[transport][1](ctx) as (round_trip, windowed, _):
            sequential(round_trip, 0, 0)
            if count:
                windowed(count)
        print(f"{TRANSPORTS[transport][0]}: {count} calls with {WINDOW} outstanding")
        return

    print(f"{SEQUENTIAL} sequential round trips of {len(PAYLOAD)} bytes; "
          f"then {BURST_SECONDS:.0f} s with {WINDOW} outstanding")
    results = {"payload_bytes": len(PAYLOAD), "window": WINDOW}
    # Each transport is measured beside those it is compared with.
    groups = [] if args.serving_only else [["tarnvel", "pipe", "zmq"], ["gateway", "grpc"]]
    for group in groups:
        names = []
        for transport in group:
            name = TRANSPORTS[transport][0]
            if transport == "zmq" and zmq_missing():
                print(f"{name:<28} skipped: pyzmq is not installed")
            elif transport in ("gateway", "grpc") and grpc_missing():
                print(f"{name:<28} skipped: gRPC or the gateway's generated code is missing")
            else:
                names.append(transport)
        if not names:
            continue
        results.update(measure(names, ctx))
        for transport in names:
            r = results[transport]
            name = TRANSPORTS[transport][0]
            rate = r["window_calls_per_s"]
            rate_text = f"{rate:>10.0f} calls/s" if rate else f"{'n/a':>10} (one request at a time)"
            print(f"{name:<28} p50 {r['p50_us']:>8.1f} us   p90 {r['p90_us']:>8.1f} us   "
                  f"p99 {r['p99_us']:>8.1f} us   {WINDOW} outstanding: {rate_text}")
            for size, row in r["payloads"].items():
                print(f"{'':<28} echo {int(size):>8} B: p50 {row['p50_us']:>8.1f} us   "
                      f"p90 {row['p90_us']:>8.1f} us   p99 {row['p99_us']:>8.1f} us   {row['mb_per_s']:>8.1f} MB/s")
    r = results["serving"] = measure_serving()
    print(f"{'server under work':<28} fast call p50 {r['fast_p50_idle_us']:.1f} us idle, "
          f"{r['fast_p50_beside_slow_us']:.1f} us beside a 100 ms method")
    print(f"{'':<28} 1 ms blocking method, 32 outstanding: {r['block_1ms_32_one_worker_calls_per_s']:.0f} "
          f"calls/s on 1 worker, {r['block_1ms_32_default_calls_per_s']:.0f} on {r['default_workers']}")
    print(f"{'':<28} async method awaiting 10 ms, 256 outstanding: "
          f"{r['async_10ms_256_calls_per_s']:.0f} calls/s")
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out)


if __name__ == "__main__":
    main()
