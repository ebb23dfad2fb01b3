"""Where a system's shared objects live on this machine (Linux: files in the
user's runtime folder, or in /dev/shm).

Only this module knows the object file names; the rest of the package speaks
to systems through `tarnvel_core`. The rule: the folder is $XDG_RUNTIME_DIR
when that is an absolute path to a directory of this user's with mode 0700,
with the prefix P = ``tarnvel.``; otherwise /dev/shm, with
P = ``tarnvel.<uid>.``. The object of kind ``map``, ``mtx`` or ``evt`` named
N is the file ``P<kind>.<N encoded>``, where
the encoding keeps ``A-Z a-z 0-9 _ - .`` and writes any other byte as ``%XX``;
a file name longer than 255 bytes is cut to 238 bytes followed by ``~`` and
the FNV-1a 64-bit hash of the whole encoded name.
"""

import os
import re
import stat
from dataclasses import dataclass

def _place() -> tuple[str, str]:
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    uid = os.geteuid()
    try:
        st = os.stat(runtime) if runtime and runtime.startswith("/") else None
    except OSError:
        st = None
    if st is not None and stat.S_ISDIR(st.st_mode) and st.st_uid == uid and stat.S_IMODE(st.st_mode) == 0o700:
        return runtime, "tarnvel."
    return "/dev/shm", f"tarnvel.{uid}."


SHM_DIR, FILE_PREFIX = _place()
BOOK_SUFFIX = "_tarnvel_v_0_0_1"
_BOOK_SLOTS, _SLOT_BYTES = 167, 196
_KEPT = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-.")
_SYSTEM_NAME = re.compile(r"[A-Za-z0-9_]+")


@dataclass(frozen=True)
class SystemInfo:
    """A system whose book exists. ``name`` is None when the object's file
    name was cut (file names longer than 255 bytes): then only ``prefix``,
    the start of the name, is known."""

    name: str | None
    prefix: str
    file: str


def object_file(kind: str, name: bytes) -> str:
    """The file name, in SHM_DIR, of the object of that kind and name."""
    encoded = "".join(chr(b) if b in _KEPT else f"%{b:02X}" for b in name)
    full = f"{FILE_PREFIX}{kind}.{encoded}"
    if len(full) <= 255:
        return full
    h = 0xCBF29CE484222325
    for b in encoded.encode("ascii"):
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return f"{full[:238]}~{h:016X}"


def systems() -> list[SystemInfo]:
    """The systems whose book is present, sorted by name.

    A book outlives a killed system until the next node anywhere is
    constructed (which sweeps objects nobody holds), so a system listed here
    may have no live node.
    """
    found = []
    try:
        files = os.listdir(SHM_DIR)
    except OSError:
        return []
    for file in files:
        if not file.startswith(FILE_PREFIX + "map."):
            continue
        encoded = file[len(FILE_PREFIX + "map."):]
        if "~" in encoded:
            # A cut name. System names need no escapes and a mailbox name is too
            # short to be cut unless it has some, so one without '%' is a book.
            if "%" not in encoded:
                found.append(SystemInfo(None, encoded.split("~")[0], file))
            continue
        name = re.sub(r"%([0-9A-F]{2})", lambda m: chr(int(m[1], 16)), encoded)
        system = name.removesuffix(BOOK_SUFFIX)
        if system != name and _SYSTEM_NAME.fullmatch(system):
            found.append(SystemInfo(system, system, file))
    return sorted(found, key=lambda s: (s.prefix, s.name is None))


def _book_path(system: str) -> str:
    return os.path.join(SHM_DIR, object_file("map", (system + BOOK_SUFFIX).encode()))


def system_exists(system: str) -> bool:
    """Whether the system's book is present (exact, even where `systems` shows a cut name)."""
    return os.path.exists(_book_path(system))


def book_mailboxes(system: str) -> dict[int, str]:
    """The mailbox name of each process in the system's book (best effort, read without its mutex).

    Only for display: the node listing itself comes from `tarnvel_core`.
    """
    try:
        with open(_book_path(system), "rb") as f:
            book = f.read(_BOOK_SLOTS * _SLOT_BYTES)
    except OSError:
        return {}
    mailboxes = {}
    for offset in range(0, len(book) - _SLOT_BYTES + 1, _SLOT_BYTES):
        pid = int.from_bytes(book[offset:offset + 4], "little")
        if pid:
            mailbox = book[offset + 68:offset + 196].split(b"\0")[0]
            mailboxes[pid] = mailbox.decode("utf-8", "surrogateescape")
    return mailboxes
