"""Remote clients: a system served by a gateway (``tarnvel gateway``), with the calling API of a Node.

    with tarnvel.connect("lab-host:50051", token=..., tls_ca="ca.pem") as system:
        server = system.peer("server")
        server.add(2, 40)                 # 42, as through a local Node

Peers, methods, ``.aio``, ``.raw`` and the exceptions are those of a local
node, so code moves between local and remote by changing the line that makes
the node. What only the gateway can fail at (it cannot be reached, it refused
the token) raises GatewayError, a TarnvelError.
"""

import asyncio
import json
import math
import os
import time
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

from . import wire
from .errors import (AmbiguousPeer, CallTimeout, DeliveryFailed, NodeClosed, PeerGone, PeerNotFound,
                     RemoteError, TarnvelError)
from .gateway import ERROR_KEY, PIDS_KEY, TOKEN_KEY, GatewayError, load
from .node import DEFAULT_CALL_TIMEOUT, DEFAULT_LOOKUP_TIMEOUT, Peer, PeerInfo

# How often a peer lookup asks the gateway again while it waits.
_LOOKUP_INTERVAL = 0.05
# The first request, which checks the address and the token.
CONNECT_TIMEOUT = 5.0

type Target = str | PeerInfo | Peer

_KINDS: dict[str, type[TarnvelError]] = {cls.__name__: cls for cls in (PeerNotFound, PeerGone, DeliveryFailed)}


def connect(address: str, *, token: str | None = None, tls_ca: str | os.PathLike[str] | bytes | None = None,
            call_timeout: float = DEFAULT_CALL_TIMEOUT) -> RemoteSystem:
    """The system served by the gateway at ``address`` ("host:port").

    ``token`` is sent with every call when the gateway asks for one;
    ``tls_ca`` (a PEM file, or its bytes) makes the connection TLS, checked
    against that certificate authority. Raises GatewayError when the gateway
    cannot be reached or refuses the token, and ImportError (saying what to
    install) without gRPC.
    """
    return RemoteSystem(address, token=token, tls_ca=tls_ca, call_timeout=call_timeout)


def _check_timeout(seconds: float) -> float:
    if not (isinstance(seconds, (int, float)) and seconds >= 0):  # NaN as well
        raise ValueError(f"a time-out must be zero or more seconds, not {seconds!r}")
    return seconds


async def _await_rpc(call: Any) -> Any:
    """The result of a gRPC future, awaited without blocking the event loop."""
    loop = asyncio.get_running_loop()
    done = loop.create_future()

    def settle() -> None:
        if not done.done():
            done.set_result(None)

    def on_done(_: Any) -> None:
        if not loop.is_closed():
            loop.call_soon_threadsafe(settle)

    call.add_done_callback(on_done)
    try:
        await done
    except asyncio.CancelledError:
        call.cancel()
        raise
    return call.result()


class RemoteSystem:
    """A system reached through its gateway: ``nodes``, ``peer``, ``call`` and the rest as on a Node.

    Not a node itself: it publishes nothing. Use it as a context manager, or
    call `close`.
    """

    def __init__(self, address: str, *, token: str | None = None,
                 tls_ca: str | os.PathLike[str] | bytes | None = None,
                 call_timeout: float = DEFAULT_CALL_TIMEOUT) -> None:
        self._grpc, self._pb, pb_grpc = load()
        grpc = self._grpc
        if not isinstance(address, str) or not address:
            raise ValueError(f"a gateway address is HOST:PORT, not {address!r}")
        if token is not None and (not isinstance(token, str) or not token or any(c in token for c in "\r\n")):
            raise ValueError("a token is a non-empty string on one line")
        self._call_timeout = _check_timeout(call_timeout)
        self._address = address
        self._metadata = ((TOKEN_KEY, f"Bearer {token}"),) if token is not None else ()
        self._closed = False
        if tls_ca is not None:
            if not isinstance(tls_ca, bytes):
                with open(tls_ca, "rb") as f:
                    tls_ca = f.read()
            self._channel = grpc.secure_channel(address, grpc.ssl_channel_credentials(root_certificates=tls_ca))
        else:
            self._channel = grpc.insecure_channel(address)
        try:
            self._stub = pb_grpc.GatewayStub(self._channel)
            # A connection refused in passing (a gateway that has just started
            # listening, a loaded machine) is tried again a few times, briefly.
            for pause in (0.05, 0.1, 0.2, None):
                try:
                    listing = self._rpc(self._stub.ListNodes, self._pb.ListNodesRequest(), CONNECT_TIMEOUT)
                    break
                except GatewayError as e:
                    if pause is None or e.code != "UNAVAILABLE":
                        raise
                    time.sleep(pause)
        except BaseException:
            self._channel.close()
            raise
        self._system = listing.system
        self._gateway = PeerInfo(listing.gateway.name, listing.gateway.pid)

    @property
    def address(self) -> str:
        return self._address

    @property
    def system(self) -> str:
        """The name of the system the gateway serves."""
        return self._system

    @property
    def gateway(self) -> PeerInfo:
        """The gateway's own node (it is one of the system's nodes)."""
        return self._gateway

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Close the connection; calls still pending end with NodeClosed."""
        self._closed = True
        self._channel.close()

    def __enter__(self) -> RemoteSystem:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = " closed" if self._closed else ""
        return f"<tarnvel.RemoteSystem {self._system!r} at {self._address}{state}>"

    # Errors

    def _error(self, error: Any, seconds: float, method: str | None = None,
               target: PeerInfo | None = None) -> Exception:
        """The exception a local node would raise for the failed RPC ``error``."""
        code = error.code()
        details = error.details() or ""
        trailer = dict(error.trailing_metadata() or ())
        kind = trailer.get(ERROR_KEY)
        codes = self._grpc.StatusCode
        what = f"{method!r} on {target.name!r} (pid {target.pid})" if method and target else "the request"
        if self._closed:
            return NodeClosed(f"the connection to the gateway at {self._address} closed while {what} was pending")
        if kind == "CallTimeout" or (kind is None and code == codes.DEADLINE_EXCEEDED):
            return CallTimeout(f"no answer to {what} within {seconds:g} s")
        if kind == "RemoteError":
            return RemoteError(method or "", None, details)
        if kind == "AmbiguousPeer":
            pids = [int(p) for p in str(trailer.get(PIDS_KEY, "")).split(",") if p.isdigit()]
            return AmbiguousPeer(target.name if target else "", pids)
        if kind in _KINDS:
            return _KINDS[kind](details)
        if kind == "NodeClosed":
            return GatewayError(f"the gateway at {self._address} is shutting down", code.name)
        if code == codes.RESOURCE_EXHAUSTED:  # gRPC's own limit on message sizes
            return DeliveryFailed(f"could not deliver {what}: {details}")
        if code == codes.UNAUTHENTICATED:
            return GatewayError(f"the gateway at {self._address} refused the call: {details}", code.name)
        if code == codes.UNAVAILABLE:
            return GatewayError(f"cannot reach the gateway at {self._address}: {details}", code.name)
        return GatewayError(f"the gateway at {self._address} failed: {code.name}: {details}", code.name)

    def _check_open(self) -> None:
        if self._closed:
            raise NodeClosed(f"the connection to the gateway at {self._address} is closed")

    def _rpc(self, rpc: Any, request: Any, seconds: float, method: str | None = None,
             target: PeerInfo | None = None) -> Any:
        self._check_open()
        try:
            return rpc(request, timeout=_grpc_timeout(seconds), metadata=self._metadata)
        except self._grpc.RpcError as e:
            raise self._error(e, seconds, method, target) from None

    async def _arpc(self, rpc: Any, request: Any, seconds: float, method: str | None = None,
                    target: PeerInfo | None = None) -> Any:
        self._check_open()
        try:
            return await _await_rpc(rpc.future(request, timeout=_grpc_timeout(seconds), metadata=self._metadata))
        except self._grpc.RpcError as e:
            raise self._error(e, seconds, method, target) from None

    # Finding peers

    def nodes(self) -> list[PeerInfo]:
        """The nodes of the system, the gateway's own included, in book order."""
        return self._listed(self._rpc(self._stub.ListNodes, self._pb.ListNodesRequest(), CONNECT_TIMEOUT))

    def nodes_with_mailboxes(self) -> list[tuple[PeerInfo, str]]:
        """`nodes`, each with the name of its mailbox ("" when the gateway could not tell)."""
        listing = self._rpc(self._stub.ListNodes, self._pb.ListNodesRequest(), CONNECT_TIMEOUT)
        return [(PeerInfo(n.name, n.pid), n.mailbox) for n in listing.nodes]

    @staticmethod
    def _listed(response: Any) -> list[PeerInfo]:
        return [PeerInfo(n.name, n.pid) for n in response.nodes]

    def _match(self, nodes: list[PeerInfo], name: str, pid: int | None) -> PeerInfo | None:
        found = [n for n in nodes if n.name == name and (pid is None or n.pid == pid)]
        if len(found) > 1:
            raise AmbiguousPeer(name, [n.pid for n in found])
        return found[0] if found else None

    def _not_found(self, name: str, pid: int | None, timeout: float) -> PeerNotFound:
        which = f"{name!r}" if pid is None else f"{name!r} with pid {pid}"
        waited = f" after {timeout:g} s" if timeout > 0 else ""
        return PeerNotFound(f"no node {which} in system {self._system!r}{waited}")

    def peer(self, name: str, *, pid: int | None = None, timeout: float = DEFAULT_LOOKUP_TIMEOUT,
             call_timeout: float | None = None) -> Peer:
        """A proxy for the node ``name``, waiting up to ``timeout`` seconds for it to appear (as `Node.peer`)."""
        deadline = time.monotonic() + _check_timeout(timeout)
        while (found := self._match(self.nodes(), name, pid)) is None:
            if time.monotonic() >= deadline:
                raise self._not_found(name, pid, timeout)
            time.sleep(_LOOKUP_INTERVAL)
        return Peer(self, found, call_timeout)  # type: ignore[arg-type]  # the proxy needs only the calls

    async def apeer(self, name: str, *, pid: int | None = None, timeout: float = DEFAULT_LOOKUP_TIMEOUT,
                    call_timeout: float | None = None) -> Peer:
        """`peer` for asyncio."""
        deadline = time.monotonic() + _check_timeout(timeout)
        while True:
            listing = await self._arpc(self._stub.ListNodes, self._pb.ListNodesRequest(), CONNECT_TIMEOUT)
            if (found := self._match(self._listed(listing), name, pid)) is not None:
                return Peer(self, found, call_timeout)  # type: ignore[arg-type]
            if time.monotonic() >= deadline:
                raise self._not_found(name, pid, timeout)
            await asyncio.sleep(_LOOKUP_INTERVAL)

    def _target(self, peer: Target) -> PeerInfo:
        if isinstance(peer, Peer):
            return peer.info
        if isinstance(peer, PeerInfo):
            return peer
        return self.peer(peer).info

    async def _atarget(self, peer: Target) -> PeerInfo:
        return (await self.apeer(peer)).info if isinstance(peer, str) else self._target(peer)

    # Calling

    def _request(self, target: PeerInfo, method: str, data: bytes, timeout: float | None) -> tuple[Any, float]:
        if not isinstance(method, str) or not method:
            raise ValueError("a method needs a non-empty name")
        seconds = self._call_timeout if timeout is None else _check_timeout(timeout)
        return self._pb.CallRequest(node=target.name, pid=target.pid, method=method, args=bytes(data)), seconds

    def call(self, peer: Target, method: str, args: Sequence[Any] = (),
             kwargs: Mapping[str, Any] | None = None, *, timeout: float | None = None) -> Any:
        """Call a JSON method and return its result (as `Node.call`)."""
        data = wire.encode_request(args, kwargs or {})
        return wire.decode_answer(method, self.call_bytes(peer, method, data, timeout=timeout))

    def call_bytes(self, peer: Target, method: str, data: bytes, *, timeout: float | None = None) -> bytes:
        """Call a raw method: the argument bytes go as they are, the answer's bytes come back."""
        target = self._target(peer)
        request, seconds = self._request(target, method, data, timeout)
        return bytes(self._rpc(self._stub.Call, request, seconds, method, target).result)

    async def acall(self, peer: Target, method: str, args: Sequence[Any] = (),
                    kwargs: Mapping[str, Any] | None = None, *, timeout: float | None = None) -> Any:
        """`call` for asyncio: the event loop runs on while the call is pending."""
        data = wire.encode_request(args, kwargs or {})
        return wire.decode_answer(method, await self.acall_bytes(peer, method, data, timeout=timeout))

    async def acall_bytes(self, peer: Target, method: str, data: bytes, *, timeout: float | None = None) -> bytes:
        """`call_bytes` for asyncio."""
        target = await self._atarget(peer)
        request, seconds = self._request(target, method, data, timeout)
        return bytes((await self._arpc(self._stub.Call, request, seconds, method, target)).result)

    def list_methods(self, peer: Target, *, timeout: float | None = None) -> list[dict[str, Any]]:
        """The descriptors of the peer's methods, in name order."""
        target = self._target(peer)
        seconds = self._call_timeout if timeout is None else _check_timeout(timeout)
        request = self._pb.ListMethodsRequest(node=target.name, pid=target.pid)
        answer = self._rpc(self._stub.ListMethods, request, seconds, "sys.list_methods", target)
        try:
            listing = json.loads(answer.descriptors_json)
        except ValueError:
            listing = None
        if not isinstance(listing, list) or not all(isinstance(d, dict) for d in listing):
            raise RemoteError("sys.list_methods", None, "malformed listing from the gateway")
        return listing

    def watch(self) -> Iterator[tuple[str, PeerInfo]]:
        """("joined" or "left", node) for the nodes present now, then for every change, until closed."""
        self._check_open()
        stream = self._stub.Watch(self._pb.WatchRequest(), metadata=self._metadata)
        try:
            for event in stream:
                yield ("joined" if event.kind == self._pb.NodeEvent.JOINED else "left",
                       PeerInfo(event.node.name, event.node.pid))
        except self._grpc.RpcError as e:
            if e.code() != self._grpc.StatusCode.CANCELLED or not self._closed:
                raise self._error(e, math.inf) from None
        finally:
            stream.cancel()


def _grpc_timeout(seconds: float) -> float:
    # gRPC takes no deadline beyond its own range; a tarnvel call is bounded well below it anyway.
    return min(seconds, 2**31 / 1000)
