"""tarnvel: method calls between the processes of one machine.

    import tarnvel

    with tarnvel.Node("server", "demo") as node:
        @node.method
        def add(a: int, b: int) -> int:
            "Adds two integers."
            return a + b

        node.serve_forever()          # until Ctrl-C or SIGTERM

    # in another process
    with tarnvel.Node("client", "demo") as node:
        server = node.peer("server")  # waits for it to appear
        assert server.add(2, 40) == 42

``tarnvel.connect("host:port")`` reaches a system of another machine through
its gateway (``tarnvel gateway SYSTEM``, which needs gRPC) with the same API.

The low-level binding is the module `tarnvel_core`; this package builds on
its public interface only.
"""

from .errors import (AmbiguousPeer, CallTimeout, DeliveryFailed, NodeClosed, PeerGone, PeerNotFound,
                     RemoteError, TarnvelError)
from .node import (DEFAULT_CALL_TIMEOUT, DEFAULT_LOOKUP_TIMEOUT, DEFAULT_MAILBOX_BYTES, MAX_TIMEOUT, Node, Peer,
                   PeerInfo, RemoteMethod, SystemInfo, describe, systems)
from .gateway import GatewayError
from .remote import RemoteSystem, connect
from .wire import decode_listing, decode_packed

__all__ = [
    "AmbiguousPeer", "CallTimeout", "DeliveryFailed", "NodeClosed", "PeerGone", "PeerNotFound",
    "RemoteError", "TarnvelError",
    "DEFAULT_CALL_TIMEOUT", "DEFAULT_LOOKUP_TIMEOUT", "DEFAULT_MAILBOX_BYTES", "MAX_TIMEOUT",
    "Node", "Peer", "PeerInfo", "RemoteMethod", "describe",
    "SystemInfo", "systems", "decode_listing", "decode_packed",
    "GatewayError", "RemoteSystem", "connect",
]
