"""The ``tarnvel`` command: look into the systems of this machine and call their methods.

    tarnvel systems
    tarnvel nodes SYSTEM
    tarnvel methods SYSTEM NODE
    tarnvel call SYSTEM NODE METHOD [ARG...]
    tarnvel watch SYSTEM

``systems``, ``nodes`` and ``watch`` look at the systems from outside; ``methods``
and ``call`` join the system for their run as a node named "tarnvel-cli".
Exit codes: see EXIT_* below.
"""

import argparse
import io
import json
import os
import re
import signal
import sys
import time
from collections.abc import Sequence
from typing import Any, NoReturn

import tarnvel_core as _core

from .errors import CallTimeout, DeliveryFailed, PeerGone, PeerNotFound, RemoteError, TarnvelError
from .node import Node, PeerInfo, systems

EXIT_OK = 0
EXIT_REMOTE = 1       # the peer could not run the method, or the method raised
EXIT_USAGE = 2        # a bad command line: unknown option, bad name, an argument that is not JSON
EXIT_NO_SYSTEM = 3    # no system of that name on this machine
EXIT_NO_PEER = 4      # no such node (or several of that name), or it left before answering
EXIT_TIMEOUT = 5      # no answer within --timeout
EXIT_DELIVERY = 6     # the request did not fit into the peer's mailbox
EXIT_FAILURE = 7      # anything else: the command's own node could not start, say
EXIT_INTERRUPTED = 130

CLI_NODE = "tarnvel-cli"
_KEYWORD_ARG = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)=(.*)", re.DOTALL)


class Failure(Exception):
    """Ends the command with one line on stderr and the given exit code."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise Failure(EXIT_USAGE, f"{message} (see {self.prog} --help)")


def _parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true", help="print JSON for scripts instead of text")
    peer = argparse.ArgumentParser(add_help=False)
    peer.add_argument("--pid", type=int, help="the process of the node, when several carry its name")
    peer.add_argument("--wait", type=float, default=0.0, metavar="SECONDS",
                      help="wait this long for the node to appear (default: 0)")
    peer.add_argument("--timeout", type=float, default=5.0, metavar="SECONDS",
                      help="time limit of the call (default: 5)")

    parser = _Parser(prog="tarnvel", description="Look into the tarnvel systems of this machine and call "
                     "their methods.", epilog="exit codes: 0 done, 1 remote failure, 2 bad command line, "
                     "3 no such system, 4 no such node (or it left), 5 time-out, 6 delivery failed, "
                     "7 other failure, 130 interrupted")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    sub.add_parser("systems", parents=[common], help="list the systems present on this machine")
    p = sub.add_parser("nodes", parents=[common], help="list a system's nodes (name, pid, mailbox)")
    p.add_argument("system")
    p = sub.add_parser("methods", parents=[common, peer], help="list a node's methods with their documentation")
    p.add_argument("system")
    p.add_argument("node")
    p = sub.add_parser("call", parents=[common, peer], help="call a method and print its answer",
                       description="Each ARG is a JSON value (a string needs its quotes: '\"text\"'), "
                       "or NAME=JSON for a keyword argument. With --raw the method gets the bytes of "
                       "the one ARG, or of stdin when there is none or it is '-', and its answer's "
                       "bytes are written to stdout as they are.")
    p.add_argument("system")
    p.add_argument("node")
    p.add_argument("method")
    p.add_argument("args", nargs="*", metavar="ARG")
    p.add_argument("--raw", action="store_true", help="send bytes and print the answer's bytes")
    p = sub.add_parser("watch", parents=[common], help="show nodes arriving and leaving until interrupted")
    p.add_argument("system")
    p.add_argument("--interval", type=float, default=0.5, metavar="SECONDS",
                   help="how often to read the book (default: 0.5)")
    return parser


def _one_line(text: str) -> str:
    return text.replace("\n", "\\n")


def _print_json(value: Any) -> None:
    # Escaped, so that names that are not UTF-8 still make valid JSON.
    print(json.dumps(value))


def _check_system(system: str) -> None:
    if not _core.is_valid_system_name(system):
        raise Failure(EXIT_USAGE, f"invalid system name {system!r}: 1 to {_core.MAX_SYSTEM_NAME_BYTES} "
                      "of A-Z a-z 0-9 _")


def _no_system(system: str) -> Failure:
    return Failure(EXIT_NO_SYSTEM, f"no system named {system!r} on this machine")


def _join(system: str) -> Node:
    """The command's own node in an existing system."""
    _check_system(system)
    if not _core.system_exists(system):
        raise _no_system(system)
    node = Node(CLI_NODE, system)
    # Alone in the book: the system ended between the look and the join, and
    # joining made it anew. Leaving ends it again.
    if all(n.pid == node.pid for n in node.nodes()):
        node.close()
        raise _no_system(system)
    return node


def _book(system: str) -> list[Any]:
    """The system's nodes (tarnvel_core.NodeInfo), read from outside: the command takes no
    slot and makes nothing."""
    listed = _core.system_nodes(system)
    if listed is None:
        raise _no_system(system)
    return listed


def _find(node: Node, args: argparse.Namespace) -> PeerInfo:
    if not _core.is_valid_node_name(os.fsencode(args.node)):
        raise Failure(EXIT_USAGE, f"invalid node name {args.node!r}: 1 to {_core.MAX_NODE_NAME_BYTES} bytes")
    return node.peer(args.node, pid=args.pid, timeout=args.wait).info


def _cmd_systems(args: argparse.Namespace) -> None:
    found = systems()
    if args.json:
        _print_json([{"name": s.name, "prefix": s.prefix, "file": s.file} for s in found])
        return
    for s in found:
        print(s.name if s.name is not None else f"{s.prefix}... (name cut in {s.location})")


def _cmd_nodes(args: argparse.Namespace) -> None:
    _check_system(args.system)
    rows = [{"name": n.node_name, "pid": n.pid, "mailbox": n.mailbox_name} for n in _book(args.system)]
    if args.json:
        _print_json(rows)
        return
    table = [("NAME", "PID", "MAILBOX")] + [(r["name"], str(r["pid"]), r["mailbox"] or "?") for r in rows]
    widths = [max(len(row[i]) for row in table) for i in range(2)]
    for name, pid, mailbox in table:
        print(f"{name:<{widths[0]}}  {pid:>{widths[1]}}  {mailbox}")


def _signature(d: dict[str, Any]) -> str:
    name = str(d.get("name"))
    if isinstance(d.get("signature"), str):
        return name + d["signature"]
    types = [[t.get("type", "?") if isinstance(t, dict) else "?" for t in d.get(key) or []]
             for key in ("params", "return")]
    return f"{name}({', '.join(types[0])}) -> {', '.join(types[1]) or 'nothing'}"


def _cmd_methods(args: argparse.Namespace) -> None:
    with _join(args.system) as node:
        descriptors = node.list_methods(_find(node, args), timeout=args.timeout)
    if args.json:
        _print_json(descriptors)
        return
    for d in descriptors:
        tags = ["built in"] if str(d.get("name")).startswith("sys.") else []
        if d.get("encoding") == "raw":
            tags.append("raw")
        print(_signature(d) + (f"  [{', '.join(tags)}]" if tags else ""))
        if isinstance(d.get("doc"), str):
            for line in d["doc"].splitlines():
                print(f"    {line}".rstrip())


def _json_arguments(texts: Sequence[str]) -> tuple[list[Any], dict[str, Any]]:
    args: list[Any] = []
    kwargs: dict[str, Any] = {}
    for i, text in enumerate(texts, 1):
        keyword = _KEYWORD_ARG.fullmatch(text)
        try:
            value = json.loads(keyword[2] if keyword else text)
        except ValueError:
            raise Failure(EXIT_USAGE, f"argument {i} is not JSON: {text!r} (a string needs quotes: "
                          f"'\"{text}\"'; --raw sends bytes)") from None
        if keyword:
            kwargs[keyword[1]] = value
        else:
            args.append(value)
    return args, kwargs


def _cmd_call(args: argparse.Namespace) -> None:
    if not args.method:
        raise Failure(EXIT_USAGE, "the method name is empty")
    if args.raw:
        if len(args.args) > 1:
            raise Failure(EXIT_USAGE, "--raw takes one ARG (or stdin)")
        text = args.args[0] if args.args else "-"
        data = sys.stdin.buffer.read() if text == "-" else os.fsencode(text)
    else:
        call_args, call_kwargs = _json_arguments(args.args)
    with _join(args.system) as node:
        target = _find(node, args)
        try:
            if args.raw:
                answer = node.call_bytes(target, args.method, data, timeout=args.timeout)
            else:
                result = node.call(target, args.method, call_args, call_kwargs, timeout=args.timeout)
        except RemoteError as e:
            if e.type_name is not None:
                raise
            # The byte protocol does not tell a missing method from a failed one; the listing does.
            listed = {d.get("name"): d for d in node.list_methods(target, timeout=args.timeout)}
            if args.method not in listed:
                raise Failure(EXIT_REMOTE, f"{target.name!r} (pid {target.pid}) has no method "
                              f"{args.method!r}") from None
            if not args.raw and listed[args.method].get("encoding") == "raw":
                raise Failure(EXIT_USAGE, f"{args.method!r} is a raw method: call it with --raw") from None
            raise
    if args.raw and args.json:
        _print_json({"hex": answer.hex()})
    elif args.raw:
        sys.stdout.buffer.write(answer)
        sys.stdout.flush()
    elif args.json:
        _print_json(result)
    else:
        print(json.dumps(result, ensure_ascii=False, indent=2))


def _cmd_watch(args: argparse.Namespace) -> None:
    if not args.interval > 0:
        raise Failure(EXIT_USAGE, "--interval must be more than 0")

    def show(event: str, info: PeerInfo) -> None:
        now = time.strftime("%H:%M:%S")
        if args.json:
            _print_json({"event": event, "name": info.name, "pid": info.pid, "time": now})
        else:
            print(f"{now} {'+' if event == 'joined' else '-'} {info.name} (pid {info.pid})")
        sys.stdout.flush()

    _check_system(args.system)
    _book(args.system)
    # Both end the watch, even where SIGINT was inherited as ignored (a background job).
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, signal.default_int_handler)
    seen: list[PeerInfo] = []
    try:
        while True:
            # A system whose last node has gone has nobody left in it.
            now = [PeerInfo(n.node_name, n.pid) for n in _core.system_nodes(args.system) or []]
            for info in now:
                if info not in seen:
                    show("joined", info)
            for info in seen:
                if info not in now:
                    show("left", info)
            seen = now
            time.sleep(args.interval)
    except KeyboardInterrupt:
        pass


_COMMANDS = {"systems": _cmd_systems, "nodes": _cmd_nodes, "methods": _cmd_methods,
             "call": _cmd_call, "watch": _cmd_watch}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; returns its exit code."""
    if isinstance(sys.stdout, io.TextIOWrapper):
        # A name that is not UTF-8 shows as escapes instead of failing the command.
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        args = _parser().parse_args(argv)
        for option in ("wait", "timeout"):
            value = getattr(args, option, 0.0)
            if not value >= 0:
                raise Failure(EXIT_USAGE, f"--{option} must be 0 or more seconds")
        _COMMANDS[args.command](args)
        return EXIT_OK
    except Failure as e:
        code, message = e.code, str(e)
    except RemoteError as e:
        code, message = EXIT_REMOTE, f"{e.method} failed: " + (f"{e.type_name}: " if e.type_name else "") + e.message
    except (PeerNotFound, PeerGone) as e:
        code, message = EXIT_NO_PEER, str(e)
    except CallTimeout as e:
        code, message = EXIT_TIMEOUT, str(e)
    except DeliveryFailed as e:
        code, message = EXIT_DELIVERY, str(e)
    except (TarnvelError, RuntimeError) as e:
        code, message = EXIT_FAILURE, str(e)
    except KeyboardInterrupt:
        code, message = EXIT_INTERRUPTED, "interrupted"
    except BrokenPipeError:
        # The reader went away (| head): nothing more to say to anyone.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
    print(f"tarnvel: {_one_line(message)}", file=sys.stderr)
    return code
