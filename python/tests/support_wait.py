"""Bounded waits on child processes."""

import threading
import time


def wait_for(predicate, timeout=10.0, interval=0.01):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


def sleeping(pid):
    """Whether the process's main thread sleeps (blocked in a wait, not running)."""
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "S"



def read_line(stream, timeout=30.0):
    """The next line of a child's output; fails the test instead of waiting for ever. (A reader
    thread, not select: a line may already wait in the stream's buffer.)"""
    line = []
    reader = threading.Thread(target=lambda: line.append(stream.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    assert line, f"no line within {timeout} s"
    return line[0]
