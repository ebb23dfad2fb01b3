"""The gateway: one system of this machine served over gRPC, for remote clients and other languages.

The server is `tarnvel.gateway.server` (the command ``tarnvel gateway``), the
client `tarnvel.connect`. Both need gRPC for Python (grpcio,
grpcio-reflection, protobuf): ``pip install 'tarnvel[gateway]'``. This module
itself imports none of it.
"""

import warnings
from types import ModuleType

from ..errors import (AmbiguousPeer, CallTimeout, DeliveryFailed, NodeClosed, PeerGone, PeerNotFound,
                      RemoteError, TarnvelError)

SERVICE = "tarnvel.gateway.v1.Gateway"
DEFAULT_LISTEN = "127.0.0.1:50051"
# Trailing metadata of a failed call: the name of the exception class that
# stands for the failure, and for AmbiguousPeer the pids that carry the name.
ERROR_KEY = "tarnvel-error"
PIDS_KEY = "tarnvel-pids"
TOKEN_KEY = "authorization"

# The gRPC status of each failure, most specific class first.
STATUS_OF: list[tuple[type[TarnvelError], str]] = [
    (CallTimeout, "DEADLINE_EXCEEDED"),
    (AmbiguousPeer, "FAILED_PRECONDITION"),
    (PeerNotFound, "NOT_FOUND"),
    (PeerGone, "UNAVAILABLE"),
    (DeliveryFailed, "RESOURCE_EXHAUSTED"),
    (RemoteError, "UNKNOWN"),
    (NodeClosed, "UNAVAILABLE"),
]

_MISSING = ("the tarnvel gateway needs gRPC for Python (grpcio, grpcio-reflection, protobuf): "
            "pip install 'tarnvel[gateway]'")


class GatewayError(TarnvelError):
    """The gateway could not be reached, refused the call (a missing or wrong token), or failed.

    ``code`` is the name of the gRPC status ("UNAVAILABLE", "UNAUTHENTICATED",
    ...), or None when there was none.
    """

    def __init__(self, message: str, code: str | None = None) -> None:
        super().__init__(message)
        self.code = code


def load() -> tuple[ModuleType, ModuleType, ModuleType]:
    """(grpc, gateway_pb2, gateway_pb2_grpc), or ImportError saying what is missing."""
    # protobuf 4.21 warns about its own use of a deprecated datetime call while
    # it is imported; that is none of our users' business.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=DeprecationWarning, module=r"google\.protobuf\.")
        try:
            import grpc
            import google.protobuf  # noqa: F401
        except ImportError as e:
            raise ImportError(_MISSING) from e
        try:
            from .v1 import gateway_pb2, gateway_pb2_grpc
        except ImportError as e:
            raise ImportError("the gateway's code generated from gateway.proto is missing: build or install "
                              "tarnvel where protoc and gRPC's Python plugin (or grpcio-tools) are present") from e
        except Exception as e:  # protobuf refuses code generated for a newer runtime than the one installed
            raise ImportError(f"the gateway's generated code does not suit the installed protobuf: {e}") from e
    return grpc, gateway_pb2, gateway_pb2_grpc
