"""A server in a process of its own: ``served.py SYSTEM NAME`` prints "ready PID", serves until a signal, prints "bye"."""

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
    node.serve_forever()
print("bye", flush=True)
