"""The Future class of tarnvel_core's calls, shipped beside the extension module.

The thread that receives a call's answer (the node's io thread, or a caller
reading its node's mailbox before it waits) never waits for the interpreter
lock. For a Future without done-callbacks it keeps the outcome aside and sets
the call's signal; the next thread of the process that holds the lock anyway
resolves it: the caller woken in result(), the next call_raw (so a caller with
many calls in flight resolves their Futures in batches), done() or
add_done_callback(), or else a watcher thread within about a millisecond.
Callbacks never run on an io thread. Whoever resolves it first decides, under
a lock held only for that decision: the thread resolving the kept outcome, or
a done-callback, after which the Future goes to a resolver thread. A callback
added while the outcome is being resolved is kept aside and run by a resolver
thread once the Future is done, so adding one never waits.

result() and exception() wait on the call's signal rather than on the Future's
own condition: it is set without the interpreter lock, so the woken thread
does not at once stall on that lock. Waiting for the only call in flight, the
caller reads its node's mailbox itself, so the answer wakes it directly rather
than through the io thread; whatever sets the signal wakes it there too. The signal waits in slices and runs the
signal handlers between them, so Ctrl-C reaches a thread blocked on a call.
"""

import concurrent.futures
import threading
from concurrent.futures._base import FINISHED as _FINISHED, RUNNING as _RUNNING

# Who resolves the Future.
_UNDECIDED, _RESOLVER, _IO_THREAD, _IO_THREAD_DONE = range(4)

# A call's Future makes the condition of a plain Future only once something
# asks for it (a wait, a callback, Python code resolving it): most are
# resolved before anyone looks, and then need none. That relies on what a
# plain Future's __init__ makes; where it makes anything else, the Futures
# make their condition at once, as a plain one does.
_LAZY_CONDITION = set(vars(concurrent.futures.Future())) == {
    "_condition", "_state", "_result", "_exception", "_waiters", "_done_callbacks"}


class CallFuture(concurrent.futures.Future):
    """The Future of one tarnvel call."""

    def __init__(self, signal, node):
        self._tarnvel_lock = threading.Lock()
        if _LAZY_CONDITION:
            self._result = None
            self._exception = None
            self._waiters = []
            self._done_callbacks = []
        else:
            super().__init__()
        # Running from the start: a call cannot be cancelled once made, and
        # nobody else holds the Future yet to be told.
        self._state = _RUNNING
        self._tarnvel_signal = signal
        self._tarnvel_node = node
        self._tarnvel_resolver = _UNDECIDED
        self._tarnvel_late = []

    def __getattr__(self, name):
        # Called only for attributes not made yet: the condition, on first
        # use. Put in place under the lock that _tarnvel_resolve_here decides
        # under, so that a Future resolved without one was resolved before
        # anyone could wait on it. Made before the lock is taken: making it
        # runs Python code, where a signal handler or a finaliser touching
        # this Future would otherwise wait for a lock its own thread holds.
        if name != "_condition" or not _LAZY_CONDITION:
            raise AttributeError(f"'{type(self).__name__}' object has no attribute '{name}'")
        made = threading.Condition()
        with self._tarnvel_lock:
            return self.__dict__.setdefault("_condition", made)

    def add_done_callback(self, fn):
        self._tarnvel_signal.before_callback()
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
        """With a kept outcome: resolves the Future unless a done-callback came
        first (then None). Returns the callbacks added meanwhile, for a
        resolver thread to run."""
        with self._tarnvel_lock:
            if self._tarnvel_resolver != _UNDECIDED:
                return None
            if "_condition" not in self.__dict__:
                # Nobody waits on it or has added a callback: it is done at
                # once, and whoever looks later sees that.
                self._result = result
                self._state = _FINISHED
                self._tarnvel_resolver = _IO_THREAD_DONE
                return self._tarnvel_late
            self._tarnvel_resolver = _IO_THREAD
        try:
            concurrent.futures.Future.set_result(self, result)
        except concurrent.futures.InvalidStateError:
            pass  # resolved by Python code already: the outcome is dropped
        with self._tarnvel_lock:
            self._tarnvel_resolver = _IO_THREAD_DONE
        # The list itself, not a swap: should a signal handler's exception cut
        # this short now, _tarnvel_resolve_late still finds the callbacks.
        return self._tarnvel_late

    def _tarnvel_resolve_late(self, result):
        """On a resolver thread, for an outcome that a done-callback claimed, or
        whose _tarnvel_resolve_here a signal handler's exception cut short (on
        the main thread, at any point): resolves the Future unless that has
        happened, and adds the callbacks kept meanwhile."""
        try:
            concurrent.futures.Future.set_result(self, result)
        except concurrent.futures.InvalidStateError:
            pass  # resolved already, before the cut or by Python code
        with self._tarnvel_lock:
            cut_short = self._tarnvel_resolver in (_IO_THREAD, _IO_THREAD_DONE)
            if cut_short:
                self._tarnvel_resolver = _IO_THREAD_DONE
        self._tarnvel_signal.set()
        if cut_short:
            self._tarnvel_add_late(self._tarnvel_late)

    def _tarnvel_add_late(self, callbacks):
        """On a resolver thread: adds callbacks that could not be added where they
        were given; those of a Future that is done run here and now."""
        for fn in callbacks:
            concurrent.futures.Future.add_done_callback(self, fn)
        if callbacks is self._tarnvel_late:
            self._tarnvel_late = []

    def set_result(self, result):
        super().set_result(result)
        self._tarnvel_signal.set()

    def set_exception(self, exception):
        super().set_exception(exception)
        self._tarnvel_signal.set()

    # The state is read without the condition, which would otherwise be made
    # for every Future asked before it is done: a call's Future is running
    # from the start and can only become finished, which never changes again.
    def done(self):
        if self._state == _FINISHED:
            return True
        self._tarnvel_signal.resolve_ready()
        return self._state == _FINISHED

    # Done first: a done-callback asks for the result before the signal is set.
    # Once the signal is set, the Future is done as soon as the thread that
    # took its outcome has resolved it.
    def result(self, timeout=None):
        # A finished Future never changes again: its result needs no lock.
        if self._state == _FINISHED and self._exception is None:
            return self._result
        if not self.done() and not self._tarnvel_signal.wait(timeout, self._tarnvel_node):
            return super().result(0)
        if self._state == _FINISHED and self._exception is None:
            return self._result
        return super().result(timeout)

    def exception(self, timeout=None):
        if not self.done() and not self._tarnvel_signal.wait(timeout, self._tarnvel_node):
            return super().exception(0)
        return super().exception(timeout)
