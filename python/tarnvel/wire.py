"""What travels inside the bytes of a call: packed strings and the JSON convention.

The JSON convention, as every peer (in any language) can follow it:

- request: a JSON object ``{"args": [...], "kwargs": {...}}``; either member
  may be left out, and an empty request means no arguments at all. An
  optional ``"timeout_ms"`` (a number) is the caller's time limit: a method
  still running that long after the request arrived has no one to answer to,
  and an asynchronous one is cancelled. Other members are ignored;
- answer, always under the call status OK: ``{"result": VALUE}``, or
  ``{"error": {"type": NAME, "message": TEXT}}`` when the method raised.

Carrying a method's exception inside an OK answer keeps the byte protocol as
it is: a status of "failed" stays reserved for failures the peer's library
itself reports (no such method, a handler outside the convention that raised).
"""

import json
from collections.abc import Mapping, Sequence
from typing import Any

from .errors import RemoteError

_dumps = json.JSONEncoder(allow_nan=False, separators=(",", ":")).encode


def decode_packed(data: bytes) -> bytes:
    """The bytes inside one packed string: u32 little-endian length + 1, the bytes, a NUL.

    The answers of "sys.list_methods" and "sys.list_nodes" are one packed
    string each. A buffer shorter than 4 bytes, a length of 0, a length that
    does not match the buffer exactly or a missing NUL raises ValueError.
    """
    if len(data) < 4:
        raise ValueError(f"malformed packed string: {len(data)} bytes")
    length = int.from_bytes(data[:4], "little")
    if length == 0 or len(data) != length + 4 or data[-1] != 0:
        raise ValueError(f"malformed packed string: length field {length}, {len(data)} bytes")
    return bytes(data[4:length + 3])


def decode_listing(data: bytes) -> list[dict[str, Any]]:
    """The JSON array held by a "sys.list_methods" or "sys.list_nodes" answer."""
    try:
        listing = json.loads(decode_packed(data))
    except ValueError as e:
        raise ValueError(f"malformed listing: {e}") from None
    if not isinstance(listing, list) or not all(isinstance(item, dict) for item in listing):
        raise ValueError("malformed listing: not an array of objects")
    return listing


def encode_request(args: Sequence[Any], kwargs: Mapping[str, Any] | None = None,
                   timeout_ms: int | None = None) -> bytes:
    """The request bytes; a value JSON cannot carry raises TypeError or ValueError here, before sending."""
    # A string is a sequence too: "12" would go as the two arguments "1" and "2".
    if isinstance(args, (str, bytes, bytearray, memoryview)) or not isinstance(args, Sequence):
        hint = " (one string argument goes as [text])" if isinstance(args, str) else ""
        raise TypeError(f"args must be a sequence of arguments, such as a list or tuple, "
                        f"not {type(args).__name__}{hint}")
    if kwargs is not None and not isinstance(kwargs, Mapping):
        raise TypeError(f"kwargs must be a mapping of names to arguments, not {type(kwargs).__name__}")
    request: dict[str, Any] = {"args": list(args)}
    if kwargs:
        if not all(isinstance(key, str) for key in kwargs):
            raise TypeError("keyword argument names must be str")
        request["kwargs"] = dict(kwargs)
    if timeout_ms is not None:
        request["timeout_ms"] = timeout_ms
    try:
        return _dumps(request).encode()
    except RecursionError:
        raise ValueError("the arguments are nested too deeply for JSON") from None


def decode_request(data: bytes) -> tuple[list[Any], dict[str, Any]]:
    """The positional and keyword arguments of a request; a malformed one raises TypeError."""
    args, kwargs, _ = decode_call(data)
    return args, kwargs


def decode_call(data: bytes) -> tuple[list[Any], dict[str, Any], float | None]:
    """`decode_request` plus the caller's time limit in seconds (None: none given)."""
    if not data:
        return [], {}, None
    try:
        request = json.loads(data)
    except ValueError as e:  # UnicodeDecodeError included
        raise TypeError(f"the arguments are not JSON: {e}") from None
    if not isinstance(request, dict):
        raise TypeError('the arguments are not a JSON object {"args": [...], "kwargs": {...}}')
    args = request.get("args", [])
    kwargs = request.get("kwargs", {})
    if not isinstance(args, list) or not isinstance(kwargs, dict):
        raise TypeError('"args" must be a JSON array and "kwargs" a JSON object')
    limit = request.get("timeout_ms")
    if isinstance(limit, bool) or not isinstance(limit, (int, float)) or not limit >= 0:
        return args, kwargs, None  # a limit we cannot read limits nothing
    return args, kwargs, limit / 1000


def encode_result(value: Any) -> bytes:
    return _dumps({"result": value}).encode()


def exception_text(error: BaseException) -> str | None:
    """``str(error)``, or None when the exception's own ``__str__`` fails."""
    try:
        return str(error)
    except BaseException:  # whatever it raises, the failure still has to be reported
        return None


def encode_error(error: BaseException) -> bytes:
    text = exception_text(error)
    message = text if text is not None else "<exception str() failed>"
    return _dumps({"error": {"type": type(error).__name__, "message": message}}).encode()


def decode_answer(method: str, data: bytes) -> Any:
    """The result of a JSON call, or the RemoteError it carries."""
    try:
        answer = json.loads(data)
    except ValueError:
        answer = None
    if isinstance(answer, dict) and "result" in answer:
        return answer["result"]
    error = answer.get("error") if isinstance(answer, dict) else None
    if isinstance(error, dict) and isinstance(error.get("type"), str):
        raise RemoteError(method, error["type"], str(error.get("message", "")))
    raise RemoteError(method, None, f"the answer does not follow the JSON convention: {bytes(data[:60])!r}")
