"""The gateway's server: a node of one system that serves the other nodes' methods over gRPC.

    tarnvel gateway SYSTEM [--listen 127.0.0.1:50051] [--tls-cert F --tls-key F] [--token-file F]

It runs on asyncio (grpc.aio), so any number of calls are in flight at once;
each one is a call of the gateway's own node, and the caller's gRPC deadline
is its time limit. Server reflection is on. See gateway.proto for the service
and for how failures map onto gRPC statuses.
"""

import asyncio
import hmac
import json
import math
import os
import select
import signal
import sys
import time
from collections.abc import AsyncIterator, Callable
from typing import Any

import tarnvel_core as _core

from .. import wire
from ..errors import AmbiguousPeer, NodeClosed, PeerGone, PeerNotFound, RemoteError, TarnvelError
from ..node import DEFAULT_CALL_TIMEOUT, DEFAULT_MAILBOX_BYTES, MAX_TIMEOUT, Node, PeerInfo
from . import DEFAULT_LISTEN, ERROR_KEY, PIDS_KEY, SERVICE, STATUS_OF, TOKEN_KEY, load

GATEWAY_NODE = "tarnvel-gateway"
# Answers to many calls in flight share the gateway's mailbox.
DEFAULT_GATEWAY_MAILBOX_BYTES = 4 * DEFAULT_MAILBOX_BYTES
# How often the book is read while someone watches it.
WATCH_INTERVAL = 0.1
# How long calls in flight may go on after SIGINT or SIGTERM.
STOP_GRACE = 1.0
# The answer to the only call in flight usually comes within a wake-up of
# the target, within a tenth of a millisecond or so. The event loop watches for
# it that long, letting any other thread have the processor meanwhile:
# awaited, the answer would go through a resolver thread and the loop's
# wake-up pipe, and the loop would sleep in between, each wake-up on a busy
# or virtual machine costing as much as the call itself. Only while the loop
# has nothing else to run: calls that came in behind it (gRPC has them ready
# on the loop) are sent at once instead of one watch after another.
LONE_WATCH = 0.0002
# After this many watches in a row ran out (slow methods), only one call in
# LONE_RETRY_EVERY is watched, to notice when answers come quickly again.
LONE_MISSES = 4
LONE_RETRY_EVERY = 16

grpc, pb, pb_grpc = load()


class _Deaths:
    """Ends the calls to a process the moment it exits, instead of at their time limit.

    One pidfd per target process, watched by the event loop; a pidfd cannot
    be fooled by a reused pid. Where there are no pidfds, calls to a dead
    process end at their time limit as they would locally.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = loop
        self._calls: dict[int, tuple[int, set[asyncio.Future[Any]]]] = {}
        self.killed: set[asyncio.Future[Any]] = set()

    def watched(self, pid: int) -> set[asyncio.Future[Any]] | None:
        """The calls to cancel when process ``pid`` exits; None when it cannot be watched.

        Its pidfd is opened once, with the first call to it, before that call
        is made: a process that was gone already is then told apart from one
        that died while the call was pending.
        """
        entry = self._calls.get(pid)
        if entry is None:
            try:
                fd = os.pidfd_open(pid)
            except (OSError, AttributeError):  # already gone (the call will say so), or no pidfds here
                return None
            entry = self._calls[pid] = (fd, set())
            self._loop.add_reader(fd, self._exited, pid)
        return entry[1]

    def exited(self, pid: int) -> bool:
        """Whether process ``pid``, whose calls are watched, has exited (before the loop heard it)."""
        entry = self._calls.get(pid)
        if entry is None:
            return False
        poller = select.poll()  # not select(), which takes no descriptor past 1023
        poller.register(entry[0], select.POLLIN)
        return bool(poller.poll(0))

    def _exited(self, pid: int) -> None:
        fd, calls = self._calls.pop(pid)
        self._loop.remove_reader(fd)
        os.close(fd)
        for call in calls:
            # Also those the node ended itself on the death, a moment earlier.
            self.killed.add(call)
            if not call.done():
                call.cancel()

    def close(self) -> None:
        for fd, _ in self._calls.values():
            self._loop.remove_reader(fd)
            os.close(fd)
        self._calls.clear()


class _Book:
    """The system's nodes as seen by watchers: read every WATCH_INTERVAL while anyone watches."""

    def __init__(self, node: Node) -> None:
        self._node = node
        self._seen: list[PeerInfo] = []
        self._watchers: set[asyncio.Queue[tuple[str, PeerInfo] | None]] = set()
        self._poller: asyncio.Task[None] | None = None

    def subscribe(self) -> tuple[list[PeerInfo], asyncio.Queue[tuple[str, PeerInfo] | None]]:
        """The nodes now, and a queue of the arrivals and departures from then on."""
        if self._poller is None:
            self._seen = self._node.nodes()
            self._poller = asyncio.create_task(self._poll())
        queue: asyncio.Queue[tuple[str, PeerInfo] | None] = asyncio.Queue()
        self._watchers.add(queue)
        return list(self._seen), queue

    def unsubscribe(self, queue: asyncio.Queue[tuple[str, PeerInfo] | None]) -> None:
        self._watchers.discard(queue)

    async def _poll(self) -> None:
        try:
            while self._watchers:
                await asyncio.sleep(WATCH_INTERVAL)
                try:
                    now = self._node.nodes()
                except NodeClosed:
                    break
                events = [("left", n) for n in self._seen if n not in now] + \
                         [("joined", n) for n in now if n not in self._seen]
                self._seen = now
                for queue in self._watchers:
                    for event in events:
                        queue.put_nowait(event)
        finally:
            self._poller = None
            for queue in self._watchers:
                queue.put_nowait(None)


def _status(error: TarnvelError) -> Any:
    for cls, name in STATUS_OF:
        if isinstance(error, cls):
            return getattr(grpc.StatusCode, name)
    return grpc.StatusCode.UNKNOWN


class Gateway(pb_grpc.GatewayServicer):
    """The service: ListNodes, ListMethods, Call and Watch on the gateway's node."""

    def __init__(self, node: Node, *, call_timeout: float = DEFAULT_CALL_TIMEOUT) -> None:
        self._node = node
        self._call_timeout = call_timeout
        self._deaths = _Deaths(asyncio.get_running_loop())
        self._book = _Book(node)
        self._in_flight = 0
        # The callbacks ready to run on the loop. The loop's own deque, where
        # there is one (asyncio's); elsewhere the watch cannot see them.
        self._loop_ready = getattr(asyncio.get_running_loop(), "_ready", ())
        # Watches of lone calls in a row that ran out (see LONE_MISSES).
        self._lone_misses = 0
        self._lone_skipped = 0

    def close(self) -> None:
        self._deaths.close()

    def _pb_node(self, info: PeerInfo, mailboxes: dict[int, str] | None = None) -> Any:
        # A name that is not UTF-8 (a peer outside this package) shows with its bytes escaped.
        name = info.name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
        return pb.Node(name=name, pid=info.pid, mailbox=(mailboxes or {}).get(info.pid, ""))

    async def _fail(self, context: Any, error: TarnvelError) -> None:
        metadata = [(ERROR_KEY, type(error).__name__)]
        if isinstance(error, AmbiguousPeer):
            metadata.append((PIDS_KEY, ",".join(map(str, error.pids))))
        details = error.message if isinstance(error, RemoteError) else str(error)
        await context.abort(_status(error), details, trailing_metadata=tuple(metadata))

    def _not_found(self, name: str) -> PeerNotFound:
        alone = "" if any(n.pid != self._node.pid for n in self._node.nodes()) else \
            "; the gateway's own node is the only one left in it"
        return PeerNotFound(f"no node {name!r} in system {self._node.system!r}{alone}")

    def _target(self, name: str, pid: int) -> PeerInfo:
        if pid:
            # Not looked up: a node that left ends the call as PeerGone.
            return PeerInfo(name, pid)
        found = [n for n in self._node.nodes() if n.name == name]
        if len(found) > 1:
            raise AmbiguousPeer(name, [n.pid for n in found])
        if not found:
            raise self._not_found(name)
        return found[0]

    def _time_limit(self, context: Any) -> float:
        remaining = context.time_remaining()
        if remaining is None:
            return self._call_timeout
        # A caller without a limit sends gRPC's longest deadline, which gRPC
        # rounds up past the longest finite time-out a node takes.
        return math.inf if remaining > MAX_TIMEOUT else max(remaining, 0.0)

    def _watch_alone(self, future: Any) -> None:
        """Watches for the answer of the only call in flight, for up to LONE_WATCH."""
        if self._in_flight != 1 or self._loop_ready:
            return
        if self._lone_misses >= LONE_MISSES:
            self._lone_skipped += 1
            if self._lone_skipped % LONE_RETRY_EVERY:
                return
        # done() also takes the answer over from the node's io thread, which
        # leaves a Future without done-callbacks to whoever asks next.
        until = time.monotonic() + LONE_WATCH
        while not future.done():
            if self._loop_ready:
                return  # other work came in: awaited as any call, and no miss
            if time.monotonic() >= until:
                self._lone_misses += 1
                return
            os.sched_yield()
        self._lone_misses = 0

    async def _forward(self, target: PeerInfo, method: str, data: bytes, context: Any) -> bytes:
        node = self._node
        limit = node._limit(self._time_limit(context))
        calls = self._deaths.watched(target.pid)
        died = False
        self._in_flight += 1
        try:
            future = node._start(target, method, data, limit)
            self._watch_alone(future)
            if not future.done():
                # Awaited as it is, without a task of its own: the death watch cancels it.
                pending = asyncio.wrap_future(future)
                if calls is not None:
                    calls.add(pending)
                try:
                    await pending
                except asyncio.CancelledError:
                    if pending in self._deaths.killed and not asyncio.current_task().cancelling():
                        raise PeerGone(self._died(target, method)) from None
                    raise
                finally:
                    died = pending in self._deaths.killed
                    self._deaths.killed.discard(pending)
                    if calls is not None:
                        calls.discard(pending)
        finally:
            self._in_flight -= 1
        try:
            return await node._afinish(target, method, future, limit)
        except PeerGone:
            # The node watches its peers too and may end the call first; the
            # watch here tells a death from a node that closed.
            if died or self._deaths.exited(target.pid):
                raise PeerGone(self._died(target, method)) from None
            raise

    @staticmethod
    def _died(target: PeerInfo, method: str) -> str:
        return f"{target.name!r} (pid {target.pid}) died while {method!r} was pending"

    async def _invalid(self, context: Any, message: str) -> None:
        await context.abort(grpc.StatusCode.INVALID_ARGUMENT, message)

    async def ListNodes(self, request: Any, context: Any) -> Any:
        try:
            nodes = self._node.nodes()
        except TarnvelError as e:
            await self._fail(context, e)
        mailboxes = {n.pid: n.mailbox_name for n in _core.system_nodes(self._node.system) or []}
        return pb.ListNodesResponse(system=self._node.system, nodes=[self._pb_node(n, mailboxes) for n in nodes],
                                    gateway=self._pb_node(self._node.info, mailboxes))

    async def ListMethods(self, request: Any, context: Any) -> Any:
        if not request.node:
            await self._invalid(context, "the request names no node")
        try:
            target = self._target(request.node, request.pid)
            answer = await self._forward(target, "sys.list_methods", b"", context)
            try:
                listing = wire.decode_listing(answer)
            except ValueError as e:
                raise RemoteError("sys.list_methods", None, str(e)) from None
        except TarnvelError as e:
            await self._fail(context, e)
        return pb.ListMethodsResponse(descriptors_json=json.dumps(listing))

    async def Call(self, request: Any, context: Any) -> Any:
        if not request.node or not request.method:
            await self._invalid(context, "the request needs a node and a method")
        try:
            target = self._target(request.node, request.pid)
            result = await self._forward(target, request.method, request.args, context)
        except TarnvelError as e:
            await self._fail(context, e)
        return pb.CallResponse(result=result, pid=target.pid)

    async def Watch(self, request: Any, context: Any) -> AsyncIterator[Any]:
        try:
            present, queue = self._book.subscribe()
        except TarnvelError as e:
            await self._fail(context, e)
            return
        try:
            for info in present:
                yield pb.NodeEvent(kind=pb.NodeEvent.JOINED, node=self._pb_node(info))
            while (event := await queue.get()) is not None:
                kind = pb.NodeEvent.JOINED if event[0] == "joined" else pb.NodeEvent.LEFT
                yield pb.NodeEvent(kind=kind, node=self._pb_node(event[1]))
        finally:
            self._book.unsubscribe(queue)


class _TokenCheck(grpc.aio.ServerInterceptor):
    """Refuses every call (reflection included) that does not carry the token."""

    def __init__(self, token: str) -> None:
        self._expected = f"Bearer {token}".encode()

    async def intercept_service(self, continuation: Any, details: Any) -> Any:
        handler = await continuation(details)
        for key, value in details.invocation_metadata or ():
            given = value.encode() if isinstance(value, str) else bytes(value)
            if key == TOKEN_KEY and hmac.compare_digest(given, self._expected):
                return handler
        if handler is None:
            return None

        async def refuse(request: Any, context: Any) -> None:
            await context.abort(grpc.StatusCode.UNAUTHENTICATED, "a missing or wrong token")

        make = {(False, False): grpc.unary_unary_rpc_method_handler,
                (False, True): grpc.unary_stream_rpc_method_handler,
                (True, False): grpc.stream_unary_rpc_method_handler,
                (True, True): grpc.stream_stream_rpc_method_handler}
        return make[handler.request_streaming, handler.response_streaming](refuse)


def _is_loopback(host: str) -> bool:
    return host.strip("[]") in ("127.0.0.1", "::1", "localhost") or host.startswith("127.")


async def run(system: str, listen: str = DEFAULT_LISTEN, *, tls_cert: bytes | None = None,
              tls_key: bytes | None = None, token: str | None = None,
              call_timeout: float = DEFAULT_CALL_TIMEOUT, mailbox_bytes: int = DEFAULT_GATEWAY_MAILBOX_BYTES,
              announce: Callable[[str], None] | None = None, stop: asyncio.Event | None = None) -> None:
    """Serve ``system`` on ``listen`` until ``stop`` is set (or SIGINT or SIGTERM arrives).

    ``announce`` is called with the address actually bound (a port of 0
    picks a free one) once the server accepts calls.
    """
    from grpc_reflection.v1alpha import reflection

    if (tls_cert is None) != (tls_key is None):
        raise ValueError("TLS needs both a certificate and its key")
    host, sep, port_text = listen.rpartition(":")
    if not sep or not host or not port_text.isdigit():
        raise ValueError(f"invalid listen address {listen!r}: HOST:PORT")
    loop = asyncio.get_running_loop()
    stop = stop or asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        try:
            loop.add_signal_handler(sig, stop.set)
        except (RuntimeError, ValueError, NotImplementedError):  # not the main thread: the caller stops us
            pass
    with Node(GATEWAY_NODE, system, mailbox_bytes=mailbox_bytes, call_timeout=call_timeout) as node:
        service = Gateway(node, call_timeout=call_timeout)
        # gRPC shares ports by default (SO_REUSEPORT): a second server on a port
        # in use would quietly take over part of its connections instead of failing.
        server = grpc.aio.server(interceptors=[_TokenCheck(token)] if token is not None else None,
                                 options=[("grpc.so_reuseport", 0)])
        try:
            pb_grpc.add_GatewayServicer_to_server(service, server)
            reflection.enable_server_reflection((SERVICE, reflection.SERVICE_NAME), server)
            port, reason = 0, ""
            try:
                if tls_cert is not None:
                    port = server.add_secure_port(listen, grpc.ssl_server_credentials([(tls_key, tls_cert)]))
                else:
                    port = server.add_insecure_port(listen)
            except RuntimeError as e:  # gRPC reports a failed bind either way, depending on its version
                reason = f": {e}"
            if not port:
                raise TarnvelError(f"cannot listen on {listen}{reason}")
            await server.start()
            if token is not None and tls_cert is None and not _is_loopback(host):
                print(f"tarnvel gateway: warning: the token travels unencrypted to {host}: use --tls-cert",
                      file=sys.stderr, flush=True)
            if announce is not None:
                announce(f"{host}:{port}")
            await stop.wait()
        finally:
            await server.stop(STOP_GRACE)
            service.close()
