"""A node named "server" in the system "demo": publishes three methods and
serves them until Ctrl-C or SIGTERM."""
import time

import tarnvel

with tarnvel.Node("server", "demo") as node:

    @node.method
    def add(a: int, b: int = 0) -> int:
        """Adds two integers."""
        return a + b

    @node.method
    def slow(seconds: float) -> str:
        """Takes its time, then answers."""
        time.sleep(seconds)
        return f"slept {seconds} s"

    @node.method(raw=True)
    def echo(data: bytes) -> bytes:
        """Answers its argument's bytes."""
        return data

    print("serving: node server in system demo (Ctrl-C stops it)", flush=True)
    node.serve_forever()
