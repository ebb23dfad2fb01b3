"""Two processes, one system: a server publishes methods, a client finds and calls them.

    PYTHONPATH=<dir holding tarnvel_core*.so>:<repo>/python python3 examples/demo.py

The script starts itself a second time as the server, then acts as the client:
it finds the server by name, lists its methods, calls them as plain Python
calls (and with asyncio), shows how a failure in the server reaches it, looks
at the system with the `tarnvel` command, and finally stops the server with
SIGTERM, which its serve_forever() turns into a clean exit.
"""

import asyncio
import os
import signal
import statistics
import subprocess
import sys
import time

import tarnvel


def serve(system):
    with tarnvel.Node("server", system) as node:
        @node.method
        def add(a: int, b: int) -> int:
            """Adds two integers."""
            return a + b

        @node.method
        def divide(a: float, b: float) -> float:
            """Divides a by b."""
            return a / b

        @node.method
        def upper(text: str) -> str:
            """Upper-cases text."""
            return text.upper()

        @node.method(raw=True)
        def echo(data: bytes) -> bytes:
            """Returns its argument's bytes."""
            return data

        print("ready", flush=True)
        node.serve_forever()


def client(system):
    server_process = subprocess.Popen([sys.executable, __file__, "--serve", system], stdout=subprocess.PIPE, text=True)
    try:
        assert server_process.stdout.readline().strip() == "ready"
        with tarnvel.Node("client", system) as node:
            server = node.peer("server", timeout=10)
            print(f"found node {server.name!r} in process {server.pid}")

            print("its methods:")
            for d in server.methods():
                print(f"  {d['name'] + d.get('signature', ''):<40} {d.get('doc', '(built in)')}")

            print(f"add(2, 40) -> {server.add(2, 40)!r}")
            print(f"upper('shout') -> {server.upper('shout')!r}")
            print(f"echo.raw(b'hello, tarnvel') -> {server.echo.raw(b'hello, tarnvel')!r}")
            try:
                server.divide(1, 0)
            except tarnvel.RemoteError as e:
                print(f"divide(1, 0) raised RemoteError: {e.type_name}: {e.message}")

            async def concurrently():
                return await asyncio.gather(*(server.add.aio(i, i) for i in range(5)))
            print(f"five add calls awaited together -> {asyncio.run(concurrently())}")

            samples = []
            for _ in range(200):
                started = time.perf_counter()
                server.echo.raw(b"x" * 64)
                samples.append((time.perf_counter() - started) * 1e6)
            samples.sort()
            print(f"echo round trip over 200 calls: median {statistics.median(samples):.0f} us, "
                  f"best {samples[0]:.0f} us")

            for command in (["nodes", system], ["call", system, "server", "add", "2", "b=40"]):
                print("$ tarnvel " + " ".join(command))
                done = subprocess.run([sys.executable, "-m", "tarnvel", *command], capture_output=True, text=True)
                print(done.stdout + done.stderr, end="")
                if done.returncode != 0:
                    raise SystemExit(f"the tarnvel command ended with status {done.returncode}")
    finally:
        server_process.send_signal(signal.SIGTERM)
        status = server_process.wait(timeout=30)
    if status != 0:
        raise SystemExit(f"server ended with status {status}")
    print("the server stopped cleanly on SIGTERM")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--serve"]:
        serve(sys.argv[2])
    else:
        client(f"demo{os.getpid()}")
