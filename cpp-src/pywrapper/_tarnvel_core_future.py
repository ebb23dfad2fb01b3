"""The Future class of tarnvel_core's calls, shipped beside the extension module.

The io thread that receives a call's answer may resolve the Future itself, as
long as nobody has attached a done-callback (callbacks never run on an io
thread); that spares the answer a trip through a resolver thread. Whoever
comes first decides, under a lock held only for that decision: the io thread,
which then resolves the Future, or a done-callback, after which the Future
goes to a resolver thread. A callback added while the io thread resolves is
kept aside and run by a resolver thread once the Future is done, so adding
one never waits.

result() and exception() wait on the call's signal rather than on the Future's
own condition: the io thread sets it only after letting go of the interpreter
lock, so the woken thread does not at once stall on that lock (waking it from
inside set_result, with the lock still held, made the two threads hand the
lock back and forth on every call). The signal waits in slices and runs the
signal handlers between them, so Ctrl-C reaches a thread blocked on a call.
"""

import concurrent.futures
import threading

# Who resolves the Future.
_UNDECIDED, _RESOLVER, _IO_THREAD, _IO_THREAD_DONE = range(4)


class CallFuture(concurrent.futures.Future):
    """The Future of one tarnvel call."""

    def __init__(self, signal):
        super().__init__()
        self._tarnvel_signal = signal
        self._tarnvel_lock = threading.Lock()
        self._tarnvel_resolver = _UNDECIDED
        self._tarnvel_late = []

    def add_done_callback(self, fn):
        with self._tarnvel_lock:
            if self._tarnvel_resolver == _UNDECIDED:
                self._tarnvel_resolver = _RESOLVER
            elif self._tarnvel_resolver == _IO_THREAD:
                self._tarnvel_late.append(fn)
                return
        # On an io thread (a handler adding one), where it could run at once,
        # a resolver thread adds it instead.
        if not self._tarnvel_signal.hand_off(self, [fn]):
            super().add_done_callback(fn)

    def _tarnvel_resolve_here(self, result):
        """On the io thread that got the answer: resolves the Future unless a
        done-callback came first (then None). Returns the callbacks added
        meanwhile, for a resolver thread to run."""
        with self._tarnvel_lock:
            if self._tarnvel_resolver != _UNDECIDED:
                return None
            self._tarnvel_resolver = _IO_THREAD
        try:
            concurrent.futures.Future.set_result(self, result)
        except concurrent.futures.InvalidStateError:
            pass  # resolved by Python code already: the outcome is dropped
        with self._tarnvel_lock:
            self._tarnvel_resolver = _IO_THREAD_DONE
            late, self._tarnvel_late = self._tarnvel_late, []
        return late

    def _tarnvel_add_late(self, callbacks):
        """On a resolver thread: adds callbacks that could not be added where they
        were given; those of a Future that is done run here and now."""
        for fn in callbacks:
            concurrent.futures.Future.add_done_callback(self, fn)

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
