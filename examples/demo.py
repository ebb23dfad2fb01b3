"""Two processes, one system: a server publishes methods, a client finds and calls them.

    PYTHONPATH=<dir holding tarnvel_core*.so> python3 examples/demo.py

The script starts itself a second time as the server, then acts as the client:
it looks the server up with list_nodes, asks it for its methods through
"sys.list_methods", calls each one and prints the answers with their round-trip
times. Closing the server's stdin ends it.
"""

import json
import os
import select
import statistics
import subprocess
import sys
import time

import tarnvel_core

MAILBOX_BYTES = 1 << 16
TIMEOUT_MS = 2000


def method(name, doc):
    return {"type": "method", "name": name, "doc": doc,
            "params": [{"type": "char*"}], "return": [{"type": "char*"}]}


def add(args):
    a, b = (int(x) for x in args.split())
    return str(a + b).encode()


def serve(system):
    with tarnvel_core.Tarnvel("server", system, "demo_server", MAILBOX_BYTES) as node:
        node.register(method("echo", "returns its argument"), lambda args: args)
        node.register(method("upper", "upper-cases ASCII text"), lambda args: args.upper())
        node.register(method("add", "adds two decimal integers: '2 40'"), add)
        print("ready", flush=True)
        # Serve until the client closes our stdin (or, as a safeguard, 30 s).
        select.select([sys.stdin], [], [], 30)


def unpack(packed):
    """The text of a packed string: u32 length-plus-one, the bytes, a NUL."""
    length = int.from_bytes(packed[:4], "little")
    return packed[4:3 + length].decode()


def timed_call(node, target, method_name, args):
    started = time.perf_counter()
    result = node.call_raw(target.node_name, target.pid, method_name, args, TIMEOUT_MS).result()
    return result, (time.perf_counter() - started) * 1e6


def find_server(node, deadline):
    while time.monotonic() < deadline:
        for info in node.list_nodes():
            if info.node_name == "server":
                return info
        time.sleep(0.01)
    raise SystemExit("the server did not show up")


def client(system):
    server = subprocess.Popen([sys.executable, __file__, "--serve", system],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert server.stdout.readline().strip() == "ready"
        with tarnvel_core.Tarnvel("client", system, "demo_client", MAILBOX_BYTES) as node:
            target = find_server(node, time.monotonic() + 10)
            print(f"found node {target.node_name!r} in process {target.pid}")

            listing, micros = timed_call(node, target, "sys.list_methods", b"")
            print(f"sys.list_methods ({micros:.0f} us):")
            for descriptor in json.loads(unpack(listing.result)):
                print(f"  {descriptor['name']:<17} {descriptor.get('doc', '(built in)')}")

            for name, args in [("echo", b"hello, tarnvel"), ("upper", b"shout"), ("add", b"2 40")]:
                result, micros = timed_call(node, target, name, args)
                assert result.status == tarnvel_core.STATUS_OK, result.status
                print(f"{name}({args!r}) -> {result.result!r}  [{micros:.0f} us]")

            result, _ = timed_call(node, target, "add", b"not numbers")
            print(f"add(b'not numbers') -> status {result.status} (STATUS_EXEC_FAILED)")

            samples = sorted(timed_call(node, target, "echo", b"x" * 64)[1] for _ in range(200))
            print(f"echo round trip over 200 calls: median {statistics.median(samples):.0f} us, "
                  f"best {samples[0]:.0f} us")
    finally:
        server.stdin.close()
        status = server.wait(timeout=30)
    if status != 0:
        raise SystemExit(f"server ended with status {status}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--serve"]:
        serve(sys.argv[2])
    else:
        client(f"demo{os.getpid()}")
