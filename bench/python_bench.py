"""Round trips between two processes through tarnvel_core.call_raw, with baselines.

    PYTHONPATH=<dir holding tarnvel_core*.so> python3 bench/python_bench.py

For each transport: latency of sequential request/response pairs (p50, p99)
and the rate with 64 requests outstanding. Baselines, measured in the same
run: a multiprocessing.connection Pipe and ZeroMQ REQ/REP over ipc://
(skipped when pyzmq is missing). Prints numbers; asserts nothing.
"""

import collections
import multiprocessing
import os
import select
import subprocess
import sys
import tempfile
import time

SEQUENTIAL = 3000
WINDOW = 64
BURST_SECONDS = 3.0
PAYLOAD = b"x" * 64
TIMEOUT_MS = 5000


def percentiles(samples):
    samples = sorted(samples)
    pick = lambda q: samples[min(len(samples) - 1, int(q * len(samples)))] * 1e6  # noqa: E731
    return pick(0.50), pick(0.99)


def report(name, latencies, rate, note=""):
    p50, p99 = percentiles(latencies)
    rate_text = f"{rate:>10.0f} calls/s" if rate else f"{'n/a':>10} {note}"
    print(f"{name:<28} p50 {p50:>8.1f} us   p99 {p99:>8.1f} us   {WINDOW} outstanding: {rate_text}")


def sequential(round_trip):
    for _ in range(100):  # warm-up
        round_trip()
    latencies = []
    for _ in range(SEQUENTIAL):
        started = time.perf_counter()
        round_trip()
        latencies.append(time.perf_counter() - started)
    return latencies


# tarnvel ------------------------------------------------------------------

def tarnvel_server(system):
    import tarnvel_core

    with tarnvel_core.Tarnvel("bench_server", system, "bench_server", 1 << 20) as node:
        node.register({"name": "echo"}, lambda args: args)
        print("ready", node.pid, flush=True)
        select.select([sys.stdin], [], [], 120)


def bench_tarnvel():
    import tarnvel_core

    system = f"bench{os.getpid()}"
    server = subprocess.Popen([sys.executable, __file__, "--tarnvel-server", system],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        word, pid = server.stdout.readline().split()
        pid = int(pid)
        with tarnvel_core.Tarnvel("bench_client", system, "bench_client", 1 << 20) as node:
            def call():
                return node.call_raw("bench_server", pid, "echo", PAYLOAD, TIMEOUT_MS)

            def round_trip():
                assert call().result().status == tarnvel_core.STATUS_OK

            latencies = sequential(round_trip)
            in_flight = collections.deque(call() for _ in range(WINDOW))
            done = 0
            started = time.perf_counter()
            while time.perf_counter() - started < BURST_SECONDS:
                assert in_flight.popleft().result().status == tarnvel_core.STATUS_OK
                done += 1
                in_flight.append(call())
            rate = done / (time.perf_counter() - started)
            for future in in_flight:
                future.result()
        report("tarnvel call_raw", latencies, rate)
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


def bench_pipe(ctx):
    parent, child = ctx.Pipe()
    server = ctx.Process(target=pipe_server, args=(child,))
    server.start()
    child.close()

    def round_trip():
        parent.send_bytes(PAYLOAD)
        parent.recv_bytes()

    latencies = sequential(round_trip)
    for _ in range(WINDOW):
        parent.send_bytes(PAYLOAD)
    done = 0
    started = time.perf_counter()
    while time.perf_counter() - started < BURST_SECONDS:
        parent.recv_bytes()
        done += 1
        parent.send_bytes(PAYLOAD)
    rate = done / (time.perf_counter() - started)
    for _ in range(WINDOW):
        parent.recv_bytes()
    parent.close()
    server.join(30)
    report("multiprocessing Pipe", latencies, rate)


# ZeroMQ -------------------------------------------------------------------

def zmq_server(endpoint):
    import zmq

    with zmq.Context() as context, context.socket(zmq.REP) as socket:
        socket.bind(endpoint)
        while (message := socket.recv()) != b"":
            socket.send(message)
        socket.send(b"")


def bench_zmq(ctx):
    try:
        import zmq
    except ImportError:
        print(f"{'ZeroMQ REQ/REP ipc://':<28} skipped: pyzmq is not installed")
        return
    with tempfile.TemporaryDirectory() as folder:
        endpoint = f"ipc://{folder}/bench.sock"
        server = ctx.Process(target=zmq_server, args=(endpoint,))
        server.start()
        with zmq.Context() as context, context.socket(zmq.REQ) as socket:
            socket.connect(endpoint)

            def round_trip():
                socket.send(PAYLOAD)
                socket.recv()

            latencies = sequential(round_trip)
            socket.send(b"")
            socket.recv()
        server.join(30)
    report("ZeroMQ REQ/REP ipc://", latencies, None, "(REQ/REP allows one request at a time)")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--tarnvel-server"]:
        tarnvel_server(sys.argv[2])
        sys.exit(0)
    ctx = multiprocessing.get_context("spawn")
    print(f"{SEQUENTIAL} sequential round trips of {len(PAYLOAD)} bytes; "
          f"then {BURST_SECONDS:.0f} s with {WINDOW} outstanding")
    bench_tarnvel()
    bench_pipe(ctx)
    bench_zmq(ctx)
