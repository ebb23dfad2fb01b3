"""The exceptions of the package: one base class and one subclass per way a call can fail."""


class TarnvelError(Exception):
    """Base of every error this package raises on its own."""


class NodeClosed(TarnvelError, RuntimeError):
    """The local node is closed (before the call, or while it was pending)."""


class PeerNotFound(TarnvelError, LookupError):
    """No node of that name (and process id, when one was given) appeared in time."""


class AmbiguousPeer(PeerNotFound):
    """Several processes carry the name; pass ``pid=`` to choose one."""

    def __init__(self, name: str, pids: list[int]) -> None:
        self.name = name
        self.pids = pids
        listed = ", ".join(str(p) for p in pids)
        super().__init__(f"several nodes are named {name!r} (pids {listed}); choose one with its pid")


class PeerGone(TarnvelError):
    """The peer left the system, or its process died, before it answered."""


class CallTimeout(TarnvelError, TimeoutError):
    """The peer did not answer within the call's time limit."""


class DeliveryFailed(TarnvelError):
    """A message of the call can never fit: the request into the peer's mailbox, or the answer into ours."""


class RemoteError(TarnvelError):
    """The peer could not run the method, or the method raised.

    For a method published by this package, ``type_name`` and ``message`` are
    those of the exception the method raised. For any other failure on the
    peer's side (no such method, a raw handler that raised, an answer that does
    not follow the JSON convention) ``type_name`` is None.
    """

    def __init__(self, method: str, type_name: str | None, message: str) -> None:
        self.method = method
        self.type_name = type_name
        self.message = message
        described = f"{type_name}: {message}" if type_name and message else type_name or message
        super().__init__(f"{method}: {described}")
