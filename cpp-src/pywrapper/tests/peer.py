"""A node in a process of its own, for tests that need a real peer.

Run as a script (``peer.py SYSTEM NODE``) it serves "echo", "slow" (sleeps
for the number of seconds given as argument, then echoes it) and "block"
(returns its argument once released, or once stdin is at its end, so that it
never answers while the peer is in use but does not hold up its stop), prints
``ready PID`` and then executes lines from stdin until EOF:
``call NODE PID METHOD HEXARGS TIMEOUT_MS`` answers ``STATUS HEXRESULT``
(``-`` stands for no bytes); ``release`` lets "block" answer. Imported, it
offers `Peer` to drive one.
"""

import os
import selectors
import subprocess
import sys
import threading
import time


def _hex(data):
    return data.hex() or "-"


def _unhex(text):
    return b"" if text == "-" else bytes.fromhex(text)


class Peer:
    def __init__(self, system, name, timeout=15):
        from support import module_env

        self.name = name  # str, or bytes for a name that is not UTF-8
        self.proc = subprocess.Popen(
            [sys.executable, __file__, system, name],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=module_env())
        word, pid = self.read_line(timeout).split()
        assert word == "ready"
        self.pid = int(pid)

    def read_line(self, timeout=15):
        with selectors.DefaultSelector() as sel:
            sel.register(self.proc.stdout, selectors.EVENT_READ)
            if not sel.select(timeout):
                raise TimeoutError("peer did not answer")
        line = self.proc.stdout.readline()
        if not line:
            raise EOFError("peer ended")
        return line

    def send_call(self, node, pid, method, args=b"", timeout_ms=5000):
        self.proc.stdin.write(f"call {node} {pid} {method} {_hex(args)} {timeout_ms}\n")
        self.proc.stdin.flush()

    def read_result(self, timeout=15):
        status, result = self.read_line(timeout).split()
        return int(status), _unhex(result)

    def call(self, node, pid, method, args=b"", timeout_ms=5000):
        self.send_call(node, pid, method, args, timeout_ms)
        return self.read_result(timeout_ms / 1000 + 10)

    def release(self):
        """Lets "block" answer while the peer goes on (an answer given as the
        peer stops may be dropped by its close)."""
        self.proc.stdin.write("release\n")
        self.proc.stdin.flush()

    def stop(self, timeout=15):
        if self.proc.stdin and not self.proc.stdin.closed:
            self.proc.stdin.close()
        try:
            return self.proc.wait(timeout)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            self.proc.stdout.close()


def serve(system, name):
    import tarnvel_core

    released = threading.Event()

    def slow(args):
        time.sleep(float(args or b"0"))
        return args

    def block(args):
        released.wait(60)
        return args

    name = os.fsencode(name)  # the bytes the test gave
    with tarnvel_core.Tarnvel(name, system, name + b"rx", 1 << 16) as node:
        node.register({"name": "echo"}, lambda args: args)
        node.register({"name": "slow"}, slow)
        node.register({"name": "block"}, block)
        print("ready", node.pid, flush=True)
        for line in sys.stdin:
            if line.strip() == "release":
                released.set()
                continue
            _, target, pid, method, args, timeout_ms = line.split()
            future = node.call_raw(target, int(pid), method, _unhex(args), int(timeout_ms))
            result = future.result(timeout=int(timeout_ms) / 1000 + 10)
            print(result.status, _hex(result.result), flush=True)
        released.set()


if __name__ == "__main__":
    serve(sys.argv[1], sys.argv[2])
