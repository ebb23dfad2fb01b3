"""The Future class of tarnvel_core's calls, shipped beside the extension module.

The io thread that receives a call's answer may resolve the Future itself, as
long as nobody has attached a done-callback (callbacks never run on an io
thread); that spares the answer a trip through a resolver thread. One
non-blocking claim decides who got there first: the io thread, which then
resolves the Future, or a done-callback, after which the Future goes to a
resolver thread.

result() and exception() wait on the call's signal rather than on the Future's
own condition: the io thread sets it only after letting go of the interpreter
lock, so the woken thread does not at once stall on that lock (waking it from
inside set_result, with the lock still held, made the two threads hand the
lock back and forth on every call).
"""

import concurrent.futures
import threading


class CallFuture(concurrent.futures.Future):
    """The Future of one tarnvel call."""

    def __init__(self, signal):
        super().__init__()
        self._tarnvel_claim = threading.Lock()
        self._tarnvel_signal = signal

    def add_done_callback(self, fn):
        if not self._tarnvel_claim.acquire(blocking=False):
            # The io thread is resolving it: once it has, fn runs here.
            self.exception()
        super().add_done_callback(fn)

    def set_result(self, result):
        super().set_result(result)
        self._tarnvel_signal.set()

    def set_exception(self, exception):
        super().set_exception(exception)
        self._tarnvel_signal.set()

    # Done first: a done-callback asks for the result before the signal is set.
    def result(self, timeout=None):
        if not self.done():
            self._tarnvel_signal.wait(timeout)
        return super().result(0)

    def exception(self, timeout=None):
        if not self.done():
            self._tarnvel_signal.wait(timeout)
        return super().exception(0)
