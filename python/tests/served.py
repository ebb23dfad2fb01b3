"""A server in a process of its own: ``served.py SYSTEM NAME [GRACE]`` prints "ready PID", serves until a
signal, prints "bye". Methods that take their time print "busy" once they run."""

import asyncio
import os
import signal
import sys
import threading
import time

import tarnvel

with tarnvel.Node(sys.argv[2], sys.argv[1]) as node:
    @node.method
    def add(a: int, b: int = 0) -> int:
        """Adds two integers."""
        return a + b

    @node.method
    def fail(message: str) -> None:
        raise ValueError(message)

    @node.method
    def unserialisable() -> set[int]:
        return {1}

    @node.method
    def slow(seconds: float) -> float:
        time.sleep(seconds)
        return seconds

    @node.method
    def where() -> int:
        return os.getpid()

    @node.method(raw=True)
    def echo(data: bytes) -> bytes:
        return data

    gate = threading.Event()

    @node.method
    def gate_wait() -> bool:
        return gate.wait(30)

    @node.method
    def gate_open() -> None:
        gate.set()

    @node.method
    def busy(seconds: float) -> float:
        print("busy", flush=True)
        time.sleep(seconds)
        return seconds

    @node.method
    def relay(target: str, method: str, args: list) -> object:
        return node.call(target, method, args)

    @node.method
    async def arelay(target: str, method: str, args: list) -> object:
        return await node.acall(target, method, args)

    arrived = 0
    everyone = None

    @node.method
    async def rendezvous(n: int) -> int:
        """Returns once n calls of it are running at the same time."""
        global arrived, everyone
        if everyone is None:
            everyone = asyncio.Event()
        arrived += 1
        if arrived >= n:
            everyone.set()
        await asyncio.wait_for(everyone.wait(), 30)
        return arrived

    cancelled = 0

    @node.method
    async def forever() -> None:
        global cancelled
        try:
            await asyncio.sleep(60)
        except asyncio.CancelledError:
            cancelled += 1
            raise

    @node.method
    def cancellations() -> int:
        return cancelled

    @node.method
    async def araises(message: str) -> None:
        raise KeyError(message)

    calls = 0

    @node.method
    def count() -> int:
        """How many times it ran."""
        global calls
        calls += 1
        return calls

    class Unprintable(Exception):
        def __str__(self) -> str:
            raise RuntimeError("no text")

    def raising(error: BaseException):
        def method() -> None:
            raise error
        return method

    # What a method may raise or return beyond the ordinary exceptions.
    for name, error in [("interrupt", KeyboardInterrupt()), ("exits", SystemExit(3)),
                        ("base", BaseException("bare")), ("unprintable", Unprintable())]:
        node.method(raising(error), name=name)
    node.method(lambda data: "text", name="text", raw=True)
    node.method(lambda data: None, name="nothing", raw=True)

    def announce():
        # Only once serve_forever handles the signals, so that a test's signal ends it cleanly.
        while signal.getsignal(signal.SIGTERM) is signal.SIG_DFL:
            time.sleep(0.01)
        print("ready", node.pid, flush=True)

    threading.Thread(target=announce).start()
    node.serve_forever(grace=float(sys.argv[3]) if len(sys.argv) > 3 else 5.0)
print("bye", flush=True)
