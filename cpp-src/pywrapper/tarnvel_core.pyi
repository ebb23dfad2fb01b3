"""Python bindings for tarnvel"""

import collections.abc
import typing

STATUS_OK: int
STATUS_TIMEOUT: int
STATUS_EXEC_FAILED: int
STATUS_DELIVER_FAILED: int

class CallResult:
    def __init__(
        self, arg0: typing.SupportsInt | typing.SupportsIndex, arg1: bytes, /
    ) -> None: ...
    @property
    def status(self) -> int: ...
    @status.setter
    def status(self, arg0: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...
    @property
    def result(self) -> bytes: ...
    @result.setter
    def result(self, arg0: bytes, /) -> None: ...

class NodeInfo:
    def __init__(
        self, arg0: str, arg1: typing.SupportsInt | typing.SupportsIndex, /
    ) -> None: ...
    @property
    def node_name(self) -> str: ...
    @node_name.setter
    def node_name(self, arg0: str, /) -> None: ...
    @property
    def pid(self) -> int: ...
    @pid.setter
    def pid(self, arg0: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...

class Tarnvel:
    def __init__(
        self,
        node_name: str,
        system_name: str,
        recv_shm_name: str,
        recv_shm_bytes: typing.SupportsInt | typing.SupportsIndex,
    ) -> None: ...
    @property
    def pid(self) -> int: ...
    def close(self) -> None: ...
    def __enter__(self) -> Tarnvel: ...
    def __exit__(self, arg0: object, arg1: object, arg2: object, /) -> None: ...
    def register(
        self, arg0: dict, arg1: collections.abc.Callable, /
    ) -> bool: ...
    def call_raw(
        self,
        node_name: str,
        pid: typing.SupportsInt | typing.SupportsIndex,
        method: str,
        args: bytes,
        timeout_ms: typing.SupportsInt | typing.SupportsIndex,
    ) -> object: ...
    def list_nodes(self) -> list[NodeInfo]: ...
