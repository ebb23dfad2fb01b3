"""Nodes, peers and calls: the package's face over `tarnvel_core`."""

import annotationlib
import asyncio
import concurrent.futures
import hashlib
import inspect
import logging
import math
import numbers
import operator
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Coroutine, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple, overload

import tarnvel_core as _core

from . import wire
from .errors import (AmbiguousPeer, CallTimeout, DeliveryFailed, NodeClosed, PeerGone, PeerNotFound,
                     RemoteError, TarnvelError)

DEFAULT_MAILBOX_BYTES = 1 << 20
DEFAULT_CALL_TIMEOUT = 5.0
DEFAULT_LOOKUP_TIMEOUT = 5.0
# How often a peer lookup reads the book again while it waits.
_LOOKUP_INTERVAL = 0.02
# A signal handler only sets a flag (taking a lock there could deadlock the
# thread it interrupted); serve_forever looks at the flag this often.
_SIGNAL_POLL = 0.1
# How long cancelled async methods get to end after the grace period.
_DRAIN_AFTER_CANCEL = 1.0
# The longest finite time-out (about 24.8 days); a longer wait is written inf.
_MAX_TIMEOUT_MS = 2**31 - 1
MAX_TIMEOUT = _MAX_TIMEOUT_MS / 1000
# The longest "_" and decimal pid the core appends to a mailbox name.
_MAILBOX_SUFFIX_BYTES = 11
# "No limit": the core saturates a deadline beyond its clock's end.
_NO_LIMIT_MS = 2**63 - 1
# Threads that run a node's plain methods unless it asks for another number.
DEFAULT_WORKERS = 16
# How long serve_forever and serve let running methods finish after a signal.
DEFAULT_GRACE = 5.0

# Failures of published methods go here: the caller only sees a type name and a message.
_log = logging.getLogger("tarnvel")

# Bumped in a forked child, where every node inherited from the parent is inert.
_fork_generation = 0


def _forked() -> None:
    global _fork_generation
    _fork_generation += 1


os.register_at_fork(after_in_child=_forked)


class _Limit(NamedTuple):
    """A call's time-out and the moment it ends (inf for no limit)."""

    seconds: float
    deadline: float


def _request_limit(limit: _Limit) -> int | None:
    # Told to the method so that an async one can stop once nobody waits; the whole
    # time-out, since the method cannot know how much of it went before sending.
    return None if limit.seconds == math.inf else math.ceil(limit.seconds * 1000)


def _check_bytes(data: bytes) -> None:
    if not isinstance(data, bytes):
        raise TypeError(f"the argument of a raw call must be bytes, not {type(data).__name__}")


@dataclass(frozen=True)
class SystemInfo:
    """A system whose book exists. ``name`` is None when the book's object
    name was cut (system names too long for a file name): then only
    ``prefix``, the start of the name, is known. ``file`` is the book's own
    name on this platform (Linux: its file in /dev/shm), ``location`` where it
    can be looked at."""

    name: str | None
    prefix: str
    file: str
    location: str = field(default="", compare=False)


def systems() -> list[SystemInfo]:
    """The systems whose book is present, sorted by their object prefix.

    A book outlives a killed system until the next node anywhere is
    constructed (which sweeps objects nobody holds), so a system listed here
    may have no live node.
    """
    return [SystemInfo(s.name, s.prefix, s.object_name, s.location) for s in _core.systems()]


class PeerInfo(NamedTuple):
    """One node of a system: its name and the process it runs in."""

    name: str
    pid: int


type Target = str | PeerInfo | Peer


def _wire_name(name: str) -> bytes:
    # Names listed by the core decode non-UTF-8 bytes as surrogates; give the bytes back.
    return name.encode("utf-8", "surrogateescape")


def _default_mailbox(name: str, system: str) -> bytes:
    # The system is part of the name because mailbox names are machine-wide:
    # one process may run nodes of the same name in several systems.
    mailbox = _wire_name(name) + b"." + system.encode()
    if len(mailbox) > _core.MAX_MAILBOX_NAME_BYTES - _MAILBOX_SUFFIX_BYTES:
        mailbox = _wire_name(name) + b"." + hashlib.blake2s(system.encode(), digest_size=8).hexdigest().encode()
    return mailbox


def _core_error(error: RuntimeError) -> Exception:
    return NodeClosed("the node is closed") if isinstance(error, _core.ClosedError) else error


def _check_seconds(seconds: float, what: str = "a time-out") -> float:
    if isinstance(seconds, bool) or not isinstance(seconds, numbers.Real):
        raise TypeError(f"{what} must be a number of seconds, not {type(seconds).__name__}")
    if not seconds >= 0:  # NaN as well
        raise ValueError(f"{what} must be zero or more seconds, not {seconds!r}")
    return seconds


def _timeout_ms(seconds: float) -> int:
    """The core's time-out for ``seconds``: inf is no limit; a finite one above MAX_TIMEOUT is refused."""
    _check_seconds(seconds)
    if seconds == math.inf:
        return _NO_LIMIT_MS
    if seconds > MAX_TIMEOUT:
        raise ValueError(f"a time-out must be at most {MAX_TIMEOUT} s (about 24.8 days), "
                         f"or inf for no limit, not {seconds!r}")
    return min(math.ceil(seconds * 1000), _MAX_TIMEOUT_MS)  # min: the rounding at the very top


def describe(fn: Callable[..., Any], name: str, *, raw: bool = False, doc: str | None = None) -> dict[str, Any]:
    """The descriptor published for a method: name, parameters, documentation.

    It has the shape of the built-in ones ("type", "name", "params" and
    "return" with one type object per value: "json" for a JSON method, one
    "bytes" each way for a raw one) plus "encoding" ("json" or "raw"), the
    Python "signature" and the docstring as "doc" when there is one.
    """
    try:
        sig = inspect.signature(fn, annotation_format=annotationlib.Format.STRING)
    except (TypeError, ValueError):
        sig = None
    if raw:
        params, result = [{"type": "bytes"}], [{"type": "bytes"}]
    else:
        named = [p for p in sig.parameters.values()
                 if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)] if sig else []
        params, result = [{"type": "json"} for _ in named], [{"type": "json"}]
    descriptor: dict[str, Any] = {"type": "method", "name": name, "params": params, "return": result,
                                  "encoding": "raw" if raw else "json"}
    if sig is not None:
        descriptor["signature"] = sig.format(quote_annotation_strings=False)
    text = doc if doc is not None else inspect.getdoc(fn)
    if text:
        descriptor["doc"] = text
    return descriptor


class _MethodFailed(Exception):
    """Raised to the core for a raw method that failed: the caller gets the failed status."""


def _json_failure(name: str, e: BaseException) -> bytes:
    # The caller gets it as a RemoteError with this type and message.
    if isinstance(e, Exception) and wire.exception_text(e) is not None:
        # An ordinary answer of the method's: the caller is told, the log only on demand.
        _log.debug("method %r raised %s", name, type(e).__name__, exc_info=True)
    else:
        _log.error("method %r raised %s", name, type(e).__name__, exc_info=True)
    return wire.encode_error(e)


def _json_result(name: str, result: Any) -> bytes:
    try:
        return wire.encode_result(result)
    except (TypeError, ValueError, RecursionError) as e:
        _log.error("method %r returned a value JSON cannot carry: %s", name, e)
        return wire.encode_error(e)


def _raw_result(name: str, result: Any) -> bytes | None:
    if not isinstance(result, bytes):
        _log.error("raw method %r returned %s, not bytes", name,
                   "None" if result is None else type(result).__name__)
        return None
    return result


def _json_handler(fn: Callable[..., Any], name: str) -> Callable[[bytes], bytes]:
    # Whatever the method does, the caller gets an answer in the JSON convention.
    def handler(data: bytes) -> bytes:
        try:
            args, kwargs = wire.decode_request(data)
        except TypeError as e:  # the caller's mistake, told to the caller
            return wire.encode_error(e)
        try:
            result = fn(*args, **kwargs)
        except BaseException as e:
            return _json_failure(name, e)
        return _json_result(name, result)
    return handler


def _raw_handler(fn: Callable[[bytes], bytes], name: str) -> Callable[[bytes], bytes]:
    # A raw answer has no room for an error: the caller gets the failed status, the log says why.
    def handler(data: bytes) -> bytes:
        try:
            result = fn(data)
        except BaseException as e:
            _log.error("raw method %r raised %s", name, type(e).__name__, exc_info=True)
            raise _MethodFailed(name) from None
        if (answer := _raw_result(name, result)) is None:
            raise _MethodFailed(name)
        return answer
    return handler


# An async method's handler: the answer's bytes, or None for the failed status.
type _AsyncHandler = Callable[[bytes], Coroutine[Any, Any, bytes | None]]


def _async_json_handler(fn: Callable[..., Any], name: str) -> _AsyncHandler:
    async def handler(data: bytes) -> bytes | None:
        try:
            args, kwargs, limit = wire.decode_call(data)
        except TypeError as e:
            return wire.encode_error(e)
        # Past the caller's time limit nobody waits for the answer: the method is cancelled.
        timer = asyncio.timeout(limit)
        try:
            async with timer:
                result = await fn(*args, **kwargs)
        except asyncio.CancelledError:
            raise
        except BaseException as e:
            if timer.expired():
                _log.debug("method %r cancelled: its caller's time limit of %g s has passed", name, limit)
                return None
            return _json_failure(name, e)
        return _json_result(name, result)
    return handler


def _async_raw_handler(fn: Callable[[bytes], Any], name: str) -> _AsyncHandler:
    async def handler(data: bytes) -> bytes | None:
        try:
            result = await fn(data)
        except asyncio.CancelledError:
            raise
        except BaseException as e:
            _log.error("raw method %r raised %s", name, type(e).__name__, exc_info=True)
            return None
        return _raw_result(name, result)
    return handler


class _Serving:
    """What a node's methods run under: the count of those running, whether new
    calls are taken, and the event loops of async methods. Holds no reference
    to the node, so that a node nobody closes can still be collected."""

    def __init__(self) -> None:
        self.accepting = True
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)
        self._running = 0
        self._tasks: set[asyncio.Task[None]] = set()
        self.serve_loop: asyncio.AbstractEventLoop | None = None
        self._own_loop: asyncio.AbstractEventLoop | None = None

    @property
    def running(self) -> int:
        return self._running

    def enter(self) -> bool:
        with self._lock:
            if not self.accepting:
                return False
            self._running += 1
            return True

    def leave(self) -> None:
        with self._lock:
            self._running -= 1
            if self._running == 0:
                self._idle.notify_all()

    def wait_idle(self, timeout: float) -> bool:
        with self._idle:
            return self._idle.wait_for(lambda: self._running == 0, timeout)

    @staticmethod
    def _refuse(reply: Any, refusal: bytes | None) -> None:
        if refusal is None:
            reply.fail()
        else:
            reply.complete(refusal)

    def tracked(self, handler: Callable[[bytes], bytes], refusal: bytes | None) -> Callable[[bytes, Any], None]:
        # On a worker. The method counts as running until its answer is handed
        # over: a close that waited for it must not drop that answer.
        def run(data: bytes, reply: Any) -> None:
            if not self.enter():
                self._refuse(reply, refusal)
                return
            try:
                try:
                    answer = handler(data)
                except _MethodFailed:
                    reply.fail()
                else:
                    reply.complete(answer)
            finally:
                self.leave()
        return run

    def deferred(self, handler: _AsyncHandler, refusal: bytes | None) -> Callable[[bytes, Any], None]:
        # On a worker: hands the call to an event loop and returns; the task answers.
        def start(data: bytes, reply: Any) -> None:
            if not self.enter():
                self._refuse(reply, refusal)
                return
            try:
                self._event_loop().call_soon_threadsafe(self._start_task, handler, data, reply)
            except RuntimeError:  # the loop closed meanwhile
                self.leave()
                reply.fail()
        return start

    def _event_loop(self) -> asyncio.AbstractEventLoop:
        with self._lock:
            if self.serve_loop is not None and not self.serve_loop.is_closed():
                return self.serve_loop
            if self._own_loop is None:
                loop = asyncio.new_event_loop()
                # A daemon: a method that never ends does not keep the process alive.
                threading.Thread(target=self._run_own_loop, args=(loop,), name="tarnvel-async",
                                 daemon=True).start()
                self._own_loop = loop
            return self._own_loop

    @staticmethod
    def _run_own_loop(loop: asyncio.AbstractEventLoop) -> None:
        asyncio.set_event_loop(loop)
        try:
            loop.run_forever()
            pending = asyncio.all_tasks(loop)
            for task in pending:
                task.cancel()
            if pending:
                loop.run_until_complete(asyncio.wait(pending, timeout=1.0))
        finally:
            loop.close()

    def _start_task(self, handler: _AsyncHandler, data: bytes, reply: Any) -> None:
        task = asyncio.get_running_loop().create_task(self._answer(handler, data, reply))
        with self._lock:
            self._tasks.add(task)
        task.add_done_callback(self._task_done)

    def _task_done(self, task: asyncio.Task[None]) -> None:
        with self._lock:
            self._tasks.discard(task)
        self.leave()

    @staticmethod
    async def _answer(handler: _AsyncHandler, data: bytes, reply: Any) -> None:
        try:
            answer = await handler(data)
        except BaseException:
            reply.fail()  # cancelled at shut-down
            raise
        if answer is None:
            reply.fail()
        else:
            reply.complete(answer)

    def cancel_tasks(self) -> None:
        with self._lock:
            tasks = list(self._tasks)
        for task in tasks:
            try:
                task.get_loop().call_soon_threadsafe(task.cancel)
            except RuntimeError:
                pass  # its loop is closed: the task is over

    def stop(self) -> None:
        """Refuses new calls, cancels the async methods and ends the node's own loop."""
        with self._lock:
            self.accepting = False
            loop, self._own_loop = self._own_loop, None
        self.cancel_tasks()
        if loop is not None:
            try:
                loop.call_soon_threadsafe(loop.stop)
            except RuntimeError:
                pass


class Node:
    """One node of a system: publishes methods and calls those of its peers.

    ``Node("server", "demo")`` joins system "demo" (created when it is the
    first node) under the name "server". The mailbox name defaults to one
    derived from the node and system names; ``mailbox_bytes`` bounds the
    largest request or answer the node can receive. ``call_timeout`` (seconds)
    is the time limit of calls that do not give their own: inf for no limit,
    at most MAX_TIMEOUT otherwise. ``workers`` threads of the node's own run
    its plain methods (1 serves one call at a time, in arrival order).

    A process runs at most one Node per system. Use it as a context manager,
    or call `close`; both end every call still pending.
    """

    def __init__(self, name: str, system: str, *, mailbox: str | None = None,
                 mailbox_bytes: int = DEFAULT_MAILBOX_BYTES,
                 call_timeout: float = DEFAULT_CALL_TIMEOUT, workers: int = DEFAULT_WORKERS) -> None:
        if not isinstance(name, str) or not isinstance(system, str):
            raise TypeError("the node and system names must be str")
        _timeout_ms(call_timeout)
        if isinstance(workers, bool) or not isinstance(workers, int):
            raise TypeError(f"workers must be an int, not {type(workers).__name__}")
        if not 1 <= workers <= _core.MAX_WORKERS:
            raise ValueError(f"workers must be from 1 to {_core.MAX_WORKERS}, not {workers}")
        try:
            size = operator.index(mailbox_bytes)
        except TypeError:
            raise TypeError(f"mailbox_bytes must be an int, not {type(mailbox_bytes).__name__}") from None
        if not 0 <= size < 2**64:  # beyond what the binding converts; the core judges the rest
            reason = "recv shm too small" if size < 0 else "recv shm too large"
            raise ValueError(f"cannot start node {name!r} in system {system!r}: {reason}")
        try:
            self._core = _core.Tarnvel(_wire_name(name), system,
                                       mailbox if mailbox is not None else _default_mailbox(name, system),
                                       size, workers=workers)
        except RuntimeError as e:
            kind = ValueError if isinstance(e, _core.InvalidArgumentError) else TarnvelError
            raise kind(f"cannot start node {name!r} in system {system!r}: {e}") from None
        self._name = name
        self._system = system
        self._call_timeout = call_timeout
        self._mailbox_bytes = size
        self._closing = threading.Event()
        self._generation = _fork_generation
        self._methods: set[str] = set()
        self._serving = _Serving()

    @property
    def name(self) -> str:
        return self._name

    @property
    def system(self) -> str:
        return self._system

    @property
    def pid(self) -> int:
        return self._core.pid

    @property
    def info(self) -> PeerInfo:
        return PeerInfo(self._name, self._core.pid)

    @property
    def closed(self) -> bool:
        """True once the node is closed, and in a forked child, where an inherited node is inert."""
        return self._closing.is_set() or self._generation != _fork_generation

    def close(self) -> None:
        """Leave the system. Every call still pending ends (with NodeClosed) before this returns."""
        self._closing.set()  # first, so that calls ended by the close report it as such
        self._serving.stop()
        self._core.close()

    def __enter__(self) -> Node:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = " closed" if self.closed else ""
        return f"<tarnvel.Node {self._name!r} system={self._system!r} pid={self.pid}{state}>"

    # Publishing

    @overload
    def method[F: Callable[..., Any]](self, fn: F, /) -> F: ...
    @overload
    def method[F: Callable[..., Any]](self, *, name: str | None = None, raw: bool = False,
                                      doc: str | None = None) -> Callable[[F], F]: ...

    def method(self, fn: Callable[..., Any] | None = None, /, *, name: str | None = None,
               raw: bool = False, doc: str | None = None) -> Any:
        """Publish a function, as ``@node.method`` or ``@node.method(name=..., raw=True)``.

        A JSON method (the default) takes and returns JSON values; an exception
        it raises reaches the caller as a RemoteError with its type name and
        message. A raw method takes the argument bytes and must return bytes;
        when it raises or does not, the caller learns that it failed and the
        "tarnvel" logger why.
        The descriptor comes from the function (see `describe`). A plain
        function runs on one of the node's worker threads; an ``async def``
        one on an event loop (that of `serve`, or one the node runs on a
        thread of its own), many calls at once, and is cancelled once its
        caller's time limit has passed. Either may call other nodes, this one
        included. The function is returned unchanged.
        """
        def register(f: Callable[..., Any]) -> Callable[..., Any]:
            self.register(f, name=name, raw=raw, doc=doc)
            return f
        return register if fn is None else register(fn)

    def register(self, fn: Callable[..., Any], *, name: str | None = None, raw: bool = False,
                 doc: str | None = None) -> None:
        """Publish ``fn`` (the non-decorator form of `method`)."""
        if not callable(fn):
            raise TypeError(f"{fn!r} is not callable")
        method_name = name if name is not None else getattr(fn, "__name__", "")
        if not isinstance(method_name, str) or not method_name:
            raise ValueError("a method needs a non-empty name")
        if method_name.startswith("sys."):
            raise ValueError(f"method names starting with 'sys.' are reserved: {method_name!r}")
        if method_name in self._methods:
            raise ValueError(f"a method named {method_name!r} is already published")
        descriptor = describe(fn, method_name, raw=raw, doc=doc)
        # A node that is shutting down answers at once instead of starting the method.
        refusal = None if raw else wire.encode_error(NodeClosed("the node is shutting down"))
        try:
            if inspect.iscoroutinefunction(fn):
                run = _async_raw_handler(fn, method_name) if raw else _async_json_handler(fn, method_name)
                registered = self._core.register_deferred(descriptor, self._serving.deferred(run, refusal))
            else:
                handler = _raw_handler(fn, method_name) if raw else _json_handler(fn, method_name)
                registered = self._core.register_deferred(descriptor, self._serving.tracked(handler, refusal))
        except RuntimeError as e:
            raise _core_error(e) from None
        if not registered:  # registered on the core node directly, or a descriptor JSON refuses
            raise ValueError(f"the node refused the method {method_name!r}")
        self._methods.add(method_name)

    def serve_forever(self, *, grace: float = DEFAULT_GRACE) -> None:
        """Serve until SIGINT or SIGTERM arrives or the node is closed, then close it.

        Called from the main thread, it handles SIGINT and SIGTERM itself while
        it runs (restoring the previous handlers on return), so a server script
        ends cleanly with status 0 on Ctrl-C or `kill`. Python lets only the
        main thread install signal handlers: called from another thread it
        returns when some other thread closes the node.

        On the signal the node stops taking calls and gives the methods still
        running ``grace`` seconds to finish. Async methods left then are
        cancelled; a plain method left cannot be, so the process ends (status
        0) rather than wait for it.
        """
        _check_seconds(grace, "a grace period")
        signalled = False

        def on_signal(signum: int, frame: object) -> None:
            nonlocal signalled
            signalled = True

        previous = {}
        if threading.current_thread() is threading.main_thread():
            for sig in (signal.SIGINT, signal.SIGTERM):
                previous[sig] = signal.signal(sig, on_signal)
        try:
            while not signalled and not self.closed and not self._closing.wait(_SIGNAL_POLL):
                pass
            self._drain(grace)
        finally:
            for sig, handler in previous.items():
                signal.signal(sig, handler)
            self.close()

    async def serve(self, *, grace: float = DEFAULT_GRACE) -> None:
        """`serve_forever` for asyncio: async methods run on the running loop meanwhile.

        SIGINT and SIGTERM end it as they end serve_forever, where the loop
        runs in the main thread.
        """
        _check_seconds(grace, "a grace period")
        loop = asyncio.get_running_loop()
        serving = self._serving
        if serving.serve_loop is not None:
            raise RuntimeError("the node is served already")
        stop = asyncio.Event()
        previous = {}
        if threading.current_thread() is threading.main_thread():
            for sig in (signal.SIGINT, signal.SIGTERM):
                try:
                    handler = signal.getsignal(sig)
                    loop.add_signal_handler(sig, stop.set)
                except (NotImplementedError, RuntimeError, ValueError):
                    continue
                previous[sig] = handler
        serving.serve_loop = loop
        try:
            while not stop.is_set() and not self.closed:
                try:
                    await asyncio.wait_for(stop.wait(), _SIGNAL_POLL)
                except TimeoutError:
                    pass
            await asyncio.to_thread(self._drain, grace)
        finally:
            for sig, handler in previous.items():
                loop.remove_signal_handler(sig)
                signal.signal(sig, handler)
            # The async methods of this loop end with it; later ones get a loop of the node's own.
            await asyncio.to_thread(self.close)
            serving.serve_loop = None

    def _drain(self, grace: float) -> None:
        """Stops taking calls and waits up to ``grace`` seconds for running methods."""
        serving = self._serving
        serving.accepting = False
        if serving.wait_idle(grace):
            return
        serving.cancel_tasks()
        if serving.wait_idle(_DRAIN_AFTER_CANCEL):
            return
        # Only a plain method can be left, on a worker the close would wait for.
        _log.warning("%d method(s) of node %r still running %g s after the signal: ending the process",
                     serving.running, self._name, grace)
        logging.shutdown()
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError, AttributeError):
                pass
        os._exit(0)

    # Finding peers

    def nodes(self) -> list[PeerInfo]:
        """The nodes of the system, this one included, in book order."""
        try:
            return [PeerInfo(n.node_name, n.pid) for n in self._core.list_nodes()]
        except RuntimeError as e:
            raise _core_error(e) from None

    def _match(self, name: str, pid: int | None) -> PeerInfo | None:
        found = [n for n in self.nodes() if n.name == name and (pid is None or n.pid == pid)]
        if len(found) > 1:
            raise AmbiguousPeer(name, [n.pid for n in found])
        return found[0] if found else None

    def _not_found(self, name: str, pid: int | None, timeout: float) -> PeerNotFound:
        which = f"{name!r}" if pid is None else f"{name!r} with pid {pid}"
        waited = f" after {timeout:g} s" if timeout > 0 else ""
        return PeerNotFound(f"no node {which} in system {self._system!r}{waited}")

    def peer(self, name: str, *, pid: int | None = None, timeout: float = DEFAULT_LOOKUP_TIMEOUT,
             call_timeout: float | None = None) -> Peer:
        """A proxy for the node called ``name``, waiting up to ``timeout`` seconds for it to appear.

        Raises PeerNotFound when it does not appear, and AmbiguousPeer at once
        when several processes carry the name and ``pid`` does not choose one.
        Calls through the proxy use ``call_timeout`` (default: the node's).
        A node is listed from its construction on, which can be before it has
        published its methods. A ``timeout`` of inf waits for as long as it takes.
        """
        deadline = self._lookup_deadline(timeout, call_timeout)
        while (found := self._match(name, pid)) is None:
            if time.monotonic() >= deadline:
                raise self._not_found(name, pid, timeout)
            time.sleep(_LOOKUP_INTERVAL)
        return Peer(self, found, call_timeout)

    async def apeer(self, name: str, *, pid: int | None = None, timeout: float = DEFAULT_LOOKUP_TIMEOUT,
                    call_timeout: float | None = None) -> Peer:
        """`peer` for asyncio: waits without blocking the event loop."""
        deadline = self._lookup_deadline(timeout, call_timeout)
        while (found := self._match(name, pid)) is None:
            if time.monotonic() >= deadline:
                raise self._not_found(name, pid, timeout)
            await asyncio.sleep(_LOOKUP_INTERVAL)
        return Peer(self, found, call_timeout)

    @staticmethod
    def _lookup_deadline(timeout: float, call_timeout: float | None) -> float:
        _check_seconds(timeout)
        if call_timeout is not None:
            _timeout_ms(call_timeout)
        return time.monotonic() + timeout

    def _target(self, peer: Target, limit: _Limit) -> PeerInfo:
        if isinstance(peer, Peer):
            return peer.info
        if isinstance(peer, PeerInfo):
            return peer
        if not isinstance(peer, str):
            raise TypeError(f"a peer is a node name, a PeerInfo or a Peer, not {type(peer).__name__}")
        return self.peer(peer, timeout=limit.seconds).info  # the call's time-out bounds the lookup too

    async def _atarget(self, peer: Target, limit: _Limit) -> PeerInfo:
        if isinstance(peer, str):
            return (await self.apeer(peer, timeout=limit.seconds)).info
        return self._target(peer, limit)

    # Calling

    def _limit(self, timeout: float | None) -> _Limit:
        seconds = self._call_timeout if timeout is None else timeout
        _timeout_ms(seconds)  # a bad one is refused before anything happens
        return _Limit(seconds, time.monotonic() + seconds)

    def _start(self, target: PeerInfo, method: str, data: bytes, limit: _Limit) -> concurrent.futures.Future[Any]:
        if self.closed:
            raise NodeClosed("the node is closed")
        remaining = limit.deadline - time.monotonic()
        if limit.seconds == 0 or remaining <= 0:
            # Nothing is sent: no answer could come in time, and the method would run unseen.
            raise CallTimeout(f"no answer to {method!r} on {target.name!r} (pid {target.pid}) within "
                              f"{limit.seconds:g} s: no time was left to send it")
        try:
            return self._core.call_raw(_wire_name(target.name), target.pid, method, data, _timeout_ms(remaining))
        except RuntimeError as e:
            raise _core_error(e) from None

    def _outcome(self, target: PeerInfo, method: str, result: Any, seconds: float) -> bytes | None:
        """The answer's bytes; None when the peer could not run the method (`_not_run` tells why)."""
        status = result.status
        if status == _core.STATUS_OK:
            return result.result
        where = f"{method!r} on {target.name!r} (pid {target.pid})"
        if status == _core.STATUS_TIMEOUT:
            raise CallTimeout(f"no answer to {where} within {seconds:g} s")
        if status == _core.STATUS_DELIVER_FAILED:
            unfit = result.unfit_answer_bytes
            if unfit:
                raise DeliveryFailed(f"{where} ran, but its answer of {unfit} bytes was too large for this "
                                     f"node's mailbox ({self._mailbox_bytes} bytes; a larger mailbox_bytes "
                                     f"would take it)")
            # A peer written from the formats alone answers a bare status when
            # its answer cannot fit, so this may still be either side.
            raise DeliveryFailed(f"could not deliver {where}: the request is too large for the peer's mailbox, "
                                 f"or the answer was too large for this node's mailbox "
                                 f"({self._mailbox_bytes} bytes; a larger mailbox_bytes may help)")
        # A failed execution has three causes; the book and our own state tell them apart.
        if self.closed:
            raise NodeClosed(f"the node closed while {where} was pending")
        if target not in self.nodes():
            raise PeerGone(f"{target.name!r} (pid {target.pid}) is no longer in system {self._system!r}")
        return None

    def _explain(self, target: PeerInfo, method: str, limit: _Limit) -> concurrent.futures.Future[Any] | None:
        # The failed status does not say whether the method exists; the peer's listing does,
        # asked within what is left of the call's time.
        if method == "sys.list_methods":
            return None
        try:
            return self._start(target, "sys.list_methods", b"", limit)
        except (TarnvelError, RuntimeError):
            return None

    @staticmethod
    def _not_run(target: PeerInfo, method: str, listing: Any) -> RemoteError:
        who = f"{target.name!r} (pid {target.pid})"
        described = None
        if listing is not None and listing.status == _core.STATUS_OK:
            try:
                described = {d.get("name"): d for d in wire.decode_listing(listing.result)}
            except ValueError:
                pass
        if described is None:
            why = "no such method, or the method failed without an answer"
        elif method not in described:
            return RemoteError(method, None, f"{who} has no method {method!r}")
        elif described[method].get("encoding") == "raw":
            why = "the raw method raised or did not return bytes (the node's log says which)"
        else:
            why = "the method failed without an answer"
        return RemoteError(method, None, f"{who} could not run it: {why}")

    def _finish(self, target: PeerInfo, method: str, future: concurrent.futures.Future[Any],
                limit: _Limit) -> bytes:
        answer = self._outcome(target, method, future.result(), limit.seconds)
        if answer is None:
            listing = self._explain(target, method, limit)
            raise self._not_run(target, method, listing.result() if listing else None)
        return answer

    async def _afinish(self, target: PeerInfo, method: str, future: concurrent.futures.Future[Any],
                       limit: _Limit) -> bytes:
        # A Future that is done already (a caller that waited for it) needs no
        # round through the event loop's wake-up pipe.
        result = future.result() if future.done() else await asyncio.wrap_future(future)
        answer = self._outcome(target, method, result, limit.seconds)
        if answer is None:
            listing = self._explain(target, method, limit)
            raise self._not_run(target, method, await asyncio.wrap_future(listing) if listing else None)
        return answer

    def call(self, peer: Target, method: str, args: Sequence[Any] = (),
             kwargs: Mapping[str, Any] | None = None, *, timeout: float | None = None) -> Any:
        """Call a JSON method and return its result (the explicit form of ``peer.method(*args, **kwargs)``).

        ``peer`` is a name (looked up as by `peer`, within the call's time-out),
        a PeerInfo or a Peer; ``args`` a list or tuple of the arguments.
        Raises CallTimeout, PeerNotFound, PeerGone, DeliveryFailed, RemoteError or NodeClosed.
        """
        limit = self._limit(timeout)
        data = wire.encode_request(args, kwargs, _request_limit(limit))
        target = self._target(peer, limit)
        return wire.decode_answer(method, self._finish(target, method, self._start(target, method, data, limit),
                                                       limit))

    def call_bytes(self, peer: Target, method: str, data: bytes, *, timeout: float | None = None) -> bytes:
        """Call a raw method: the argument bytes go as they are, the answer's bytes come back."""
        _check_bytes(data)
        limit = self._limit(timeout)
        target = self._target(peer, limit)
        return self._finish(target, method, self._start(target, method, data, limit), limit)

    async def _await(self, peer: Target, method: str, data: bytes, limit: _Limit) -> bytes:
        target = await self._atarget(peer, limit)
        return await self._afinish(target, method, self._start(target, method, data, limit), limit)

    async def acall(self, peer: Target, method: str, args: Sequence[Any] = (),
                    kwargs: Mapping[str, Any] | None = None, *, timeout: float | None = None) -> Any:
        """`call` for asyncio: the event loop runs on while the call is pending."""
        limit = self._limit(timeout)
        data = wire.encode_request(args, kwargs, _request_limit(limit))
        return wire.decode_answer(method, await self._await(peer, method, data, limit))

    async def acall_bytes(self, peer: Target, method: str, data: bytes, *, timeout: float | None = None) -> bytes:
        """`call_bytes` for asyncio."""
        _check_bytes(data)
        return await self._await(peer, method, data, self._limit(timeout))

    def list_methods(self, peer: Target, *, timeout: float | None = None) -> list[dict[str, Any]]:
        """The descriptors of the peer's methods (its answer to "sys.list_methods"), in name order."""
        try:
            return wire.decode_listing(self.call_bytes(peer, "sys.list_methods", b"", timeout=timeout))
        except ValueError as e:
            raise RemoteError("sys.list_methods", None, str(e)) from None


class Peer:
    """A proxy for one peer node: ``peer.add(2, 40)`` calls its JSON method "add".

    Attribute access gives a RemoteMethod for any name that is not one of the
    proxy's own (``name``, ``pid``, ``info``, ``methods``); ``peer["x.y"]``
    reaches any method name at all.
    """

    def __init__(self, node: Node, info: PeerInfo, call_timeout: float | None = None) -> None:
        self._node = node
        self._info = info
        self._timeout = call_timeout

    @property
    def name(self) -> str:
        return self._info.name

    @property
    def pid(self) -> int:
        return self._info.pid

    @property
    def info(self) -> PeerInfo:
        return self._info

    def methods(self) -> list[dict[str, Any]]:
        """The peer's method descriptors (see `Node.list_methods`)."""
        return self._node.list_methods(self._info, timeout=self._timeout)

    def __getattr__(self, method: str) -> RemoteMethod:
        if method.startswith("_"):  # keep copy, pickle and friends from probing the peer
            raise AttributeError(method)
        return RemoteMethod(self._node, self._info, method, self._timeout)

    def __getitem__(self, method: str) -> RemoteMethod:
        return RemoteMethod(self._node, self._info, method, self._timeout)

    def __repr__(self) -> str:
        return f"<tarnvel.Peer {self._info.name!r} pid={self._info.pid}>"


class RemoteMethod:
    """One method of a peer: call it, await ``.aio(...)``, or send bytes with ``.raw(...)``."""

    __slots__ = ("_node", "_info", "_method", "_timeout")

    def __init__(self, node: Node, info: PeerInfo, method: str, timeout: float | None) -> None:
        self._node = node
        self._info = info
        self._method = method
        self._timeout = timeout

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self._node.call(self._info, self._method, args, kwargs, timeout=self._timeout)

    async def aio(self, *args: Any, **kwargs: Any) -> Any:
        return await self._node.acall(self._info, self._method, args, kwargs, timeout=self._timeout)

    def raw(self, data: bytes) -> bytes:
        return self._node.call_bytes(self._info, self._method, data, timeout=self._timeout)

    async def aio_raw(self, data: bytes) -> bytes:
        return await self._node.acall_bytes(self._info, self._method, data, timeout=self._timeout)

    def __repr__(self) -> str:
        return f"<tarnvel.RemoteMethod {self._method!r} of {self._info.name!r} pid={self._info.pid}>"
