"""The ``tarnvel`` command: look into the systems of this machine and call their methods.

    tarnvel systems
    tarnvel nodes SYSTEM
    tarnvel methods SYSTEM NODE
    tarnvel call SYSTEM NODE METHOD [ARG...]
    tarnvel watch SYSTEM
    tarnvel gateway SYSTEM [--listen HOST:PORT]
    tarnvel --remote HOST:PORT nodes|methods|call|watch ...   (the same, through a gateway)

``systems``, ``nodes`` and ``watch`` look at the systems from outside; ``methods``
and ``call`` join the system for their run as a node named "tarnvel-cli".
Exit codes: see EXIT_* below.
"""

import argparse
import io
import json
import math
import os
import re
import select
import signal
import sys
import time
from collections.abc import Sequence
from typing import Any, NoReturn

import tarnvel_core as _core

from . import wire
from .errors import CallTimeout, DeliveryFailed, PeerGone, PeerNotFound, RemoteError, TarnvelError
from .node import Node, PeerInfo, _timeout_ms, systems

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
# How much of a bad argument an error message shows.
_SHOWN = 60


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
                      help="wait this long for the node to appear (and, for call, to list the method; "
                           "default: 0; inf: until it does)")
    peer.add_argument("--timeout", type=float, default=5.0, metavar="SECONDS",
                      help="time limit of the call (default: 5; inf: no limit; 0: nothing is sent)")

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
    _add_gateway_options(parser, sub)
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


class _NotANumber(ValueError):
    pass


def _refuse_constant(name: str) -> Any:
    raise _NotANumber(f"{name} is not a JSON number")


def _finite_float(text: str) -> float:
    value = float(text)
    if math.isinf(value):
        raise _NotANumber(f"{text} is beyond the range of a float")
    return value


def _shown(text: str) -> str:
    return repr(text if len(text) <= _SHOWN else text[:_SHOWN] + "...")


def _json_arguments(texts: Sequence[str]) -> tuple[list[Any], dict[str, Any]]:
    args: list[Any] = []
    kwargs: dict[str, Any] = {}
    for i, text in enumerate(texts, 1):
        keyword = _KEYWORD_ARG.fullmatch(text)
        try:
            # Python's JSON reads NaN and Infinity, and 1e400 as infinity; JSON has neither.
            value = json.loads(keyword[2] if keyword else text, parse_constant=_refuse_constant,
                               parse_float=_finite_float)
        except _NotANumber as e:
            raise Failure(EXIT_USAGE, f"argument {i}: {e}") from None
        except json.JSONDecodeError:
            quoted = _shown(f'"{text}"')
            raise Failure(EXIT_USAGE, f"argument {i} is not JSON: {_shown(text)} (a string needs quotes: "
                          f"{quoted}; --raw sends bytes)") from None
        except ValueError:  # the only other refusal: Python's limit on the digits of an integer
            limit = sys.get_int_max_str_digits()
            raise Failure(EXIT_USAGE, f"argument {i} holds an integer of more than {limit} digits, the most "
                          f"Python reads: {_shown(text)}") from None
        except RecursionError:
            raise Failure(EXIT_USAGE, f"argument {i} is nested too deeply: {_shown(text)}") from None
        if keyword:
            kwargs[keyword[1]] = value
        else:
            args.append(value)
    return args, kwargs


def _cmd_call(args: argparse.Namespace) -> None:
    request = _call_request(args)
    with _join(args.system) as node:
        _call_and_show(node, args, request)


# How often `call --wait` asks a node that has no such method yet for its methods again.
_METHOD_POLL_SECONDS = 0.02


def _call_request(args: argparse.Namespace) -> tuple[bytes, list[Any], dict[str, Any]]:
    """What the command line asks to send: the bytes of --raw, or the JSON arguments."""
    if not args.method:
        raise Failure(EXIT_USAGE, "the method name is empty")
    if args.raw:
        if len(args.args) > 1:
            raise Failure(EXIT_USAGE, "--raw takes one ARG (or stdin)")
        text = args.args[0] if args.args else "-"
        return sys.stdin.buffer.read() if text == "-" else os.fsencode(text), [], {}
    call_args, call_kwargs = _json_arguments(args.args)
    return b"", call_args, call_kwargs


def _listed(caller: Any, target: PeerInfo, args: argparse.Namespace) -> dict[str, dict[str, Any]]:
    """The node's method descriptors by name; a descriptor whose name is not a string (a peer may
    publish any JSON) is left out."""
    return {d["name"]: d for d in caller.list_methods(target, timeout=args.timeout)
            if isinstance(d.get("name"), str)}


def _await_method(caller: Any, target: PeerInfo, args: argparse.Namespace, deadline: float) -> None:
    """With --wait: a node is listed from its construction on, which can be before it has published its
    methods; so the command also waits, within the same time, for the node to list the method."""
    while True:
        try:
            listed = _listed(caller, target, args)
        except TarnvelError:
            return  # the call itself tells what is wrong
        if args.method in listed or time.monotonic() >= deadline:
            return
        time.sleep(_METHOD_POLL_SECONDS)


def _call_and_show(caller: Any, args: argparse.Namespace, request: tuple[bytes, list[Any], dict[str, Any]]) -> None:
    """Calls through a local node or a gateway's remote system (the same calling methods) and prints the answer."""
    data, call_args, call_kwargs = request
    deadline = time.monotonic() + args.wait
    target = _find(caller, args)
    if args.wait > 0:
        _await_method(caller, target, args, deadline)
    try:
        if args.raw:
            answer = caller.call_bytes(target, args.method, data, timeout=args.timeout)
            _raise_json_error(caller, target, args, answer)
        else:
            result = caller.call(target, args.method, call_args, call_kwargs, timeout=args.timeout)
    except RemoteError as e:
        if e.type_name is not None:
            raise
        # The byte protocol does not tell a missing method from a failed one; the listing does.
        listed = _listed(caller, target, args)
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


def _raise_json_error(caller: Any, target: PeerInfo, args: argparse.Namespace, answer: bytes) -> None:
    """The RemoteError of a JSON method's error answer that --raw received; nothing for any other answer."""
    try:
        wire.decode_answer(args.method, answer)
    except RemoteError as e:
        if e.type_name is None:
            return
        # A raw method may answer bytes that only look like an error; its descriptor decides.
        listed = _listed(caller, target, args)
        if listed.get(args.method, {}).get("encoding") != "raw":
            raise


def _closed_output(seconds: float) -> bool:
    """Waits ``seconds``; True as soon as stdout's reader has gone (| head, say)."""
    deadline = time.monotonic() + seconds
    try:
        poller = select.poll()
        poller.register(sys.stdout.fileno(), 0)  # only the error and hang-up events, always reported
    except (AttributeError, OSError, ValueError):
        poller = None
    while (left := deadline - time.monotonic()) > 0:
        chunk = min(left, 3600.0)  # within what poll and sleep take
        if poller is None:
            time.sleep(chunk)
        elif poller.poll(math.ceil(chunk * 1000)):
            return True
    return False


def _cmd_watch(args: argparse.Namespace) -> None:
    if not 0 < args.interval < math.inf:
        raise Failure(EXIT_USAGE, "--interval must be a finite number of seconds more than 0")

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
            if _closed_output(args.interval):
                raise BrokenPipeError("the output was closed")
    except KeyboardInterrupt:
        pass


_COMMANDS = {"systems": _cmd_systems, "nodes": _cmd_nodes, "methods": _cmd_methods,
             "call": _cmd_call, "watch": _cmd_watch, "gateway": lambda args: _cmd_gateway(args)}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; returns its exit code."""
    if isinstance(sys.stdout, io.TextIOWrapper):
        # A name that is not UTF-8 shows as escapes instead of failing the command.
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        if _wants_remote(argv):
            _run_remote(argv)
            return EXIT_OK
        args = _parser().parse_args(argv)
        for option in ("wait", "timeout"):
            value = getattr(args, option, 0.0)
            if not value >= 0:
                raise Failure(EXIT_USAGE, f"--{option} must be 0 or more seconds")
        if hasattr(args, "timeout"):
            try:
                _timeout_ms(args.timeout)
            except ValueError as e:
                raise Failure(EXIT_USAGE, f"--timeout: {e}") from None
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


# The gateway, and the commands through one (--remote). ---------------------

def _add_gateway_options(parser: argparse.ArgumentParser, sub: Any) -> None:
    # Only for the help: a command line with --remote goes to _run_remote.
    parser.add_argument("--remote", metavar="HOST:PORT",
                        help="run nodes, methods, call or watch through the gateway at HOST:PORT, "
                        "without the SYSTEM argument (a gateway serves one system); with --tls-ca FILE "
                        "for TLS and --token-file FILE for the gateway's token")
    p = sub.add_parser("gateway", help="serve a system to other machines over gRPC until interrupted",
                       description="Joins SYSTEM as the node 'tarnvel-gateway' and serves its nodes' methods "
                       "over gRPC (service tarnvel.gateway.v1.Gateway, with server reflection). Prints "
                       "the address it listens on, then serves until SIGINT or SIGTERM.")
    p.add_argument("system")
    p.add_argument("--listen", default="127.0.0.1:50051", metavar="HOST:PORT",
                   help="where to listen (default: 127.0.0.1:50051; port 0 picks a free one)")
    p.add_argument("--tls-cert", metavar="FILE", help="serve TLS with this certificate (PEM; needs --tls-key)")
    p.add_argument("--tls-key", metavar="FILE", help="the certificate's private key (PEM)")
    p.add_argument("--token-file", metavar="FILE", help="refuse every call that does not carry the token in FILE")
    p.add_argument("--timeout", type=float, default=5.0, metavar="SECONDS",
                   help="time limit of calls whose caller sets no deadline (default: 5)")


def _read_file(path: str, what: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise Failure(EXIT_USAGE, f"cannot read the {what} {path!r}: {e.strerror}") from None


def _token(path: str | None) -> str | None:
    if path is None:
        return None
    token = _read_file(path, "token file").decode("utf-8", "replace").strip()
    if not token or "\n" in token:
        raise Failure(EXIT_USAGE, f"the token file {path!r} must hold one non-empty line")
    return token


def _gateway_modules() -> Any:
    """The gateway's server module, or a Failure saying what to install."""
    try:
        from .gateway import server
    except ImportError as e:
        raise Failure(EXIT_FAILURE, str(e)) from None
    return server


def _cmd_gateway(args: argparse.Namespace) -> None:
    import asyncio

    _check_system(args.system)
    if (args.tls_cert is None) != (args.tls_key is None):
        raise Failure(EXIT_USAGE, "--tls-cert and --tls-key go together")
    if not args.timeout >= 0:
        raise Failure(EXIT_USAGE, "--timeout must be 0 or more seconds")
    cert = _read_file(args.tls_cert, "certificate") if args.tls_cert else None
    key = _read_file(args.tls_key, "key") if args.tls_key else None
    token = _token(args.token_file)
    server = _gateway_modules()

    def announce(address: str) -> None:
        print(f"tarnvel gateway: serving system {args.system!r} on {address}", flush=True)

    try:
        asyncio.run(server.run(args.system, args.listen, tls_cert=cert, tls_key=key, token=token,
                               call_timeout=args.timeout, announce=announce))
    except ValueError as e:
        raise Failure(EXIT_USAGE, str(e)) from None


def _wants_remote(argv: Sequence[str] | None) -> bool:
    words = sys.argv[1:] if argv is None else argv
    return any(w == "--remote" or w.startswith("--remote=") for w in words)


def _remote_parser() -> argparse.ArgumentParser:
    connection = argparse.ArgumentParser(add_help=False)
    # Accepted before and after the command; SUPPRESS keeps a subcommand from resetting a value given before it.
    connection.add_argument("--remote", metavar="HOST:PORT", default=argparse.SUPPRESS,
                            help="the gateway's address")
    connection.add_argument("--tls-ca", metavar="FILE", default=argparse.SUPPRESS,
                            help="use TLS, trusting this certificate authority (PEM)")
    connection.add_argument("--token-file", metavar="FILE", default=argparse.SUPPRESS,
                            help="send the token in FILE with every call")
    common = argparse.ArgumentParser(add_help=False, parents=[connection])
    common.add_argument("--json", action="store_true", help="print JSON for scripts instead of text")
    peer = argparse.ArgumentParser(add_help=False)
    peer.add_argument("--pid", type=int, help="the process of the node, when several carry its name")
    peer.add_argument("--wait", type=float, default=0.0, metavar="SECONDS",
                      help="wait this long for the node to appear (and, for call, to list the method; "
                           "default: 0)")
    peer.add_argument("--timeout", type=float, default=5.0, metavar="SECONDS",
                      help="time limit of the call (default: 5)")

    parser = _Parser(prog="tarnvel --remote HOST:PORT", parents=[connection],
                     description="The commands nodes, methods, call and watch, through a gateway.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    sub.add_parser("nodes", parents=[common], help="list the system's nodes (name, pid, mailbox)")
    p = sub.add_parser("methods", parents=[common, peer], help="list a node's methods with their documentation")
    p.add_argument("node")
    p = sub.add_parser("call", parents=[common, peer], help="call a method and print its answer",
                       description="As the local call: each ARG is JSON or NAME=JSON; --raw sends bytes.")
    p.add_argument("node")
    p.add_argument("method")
    p.add_argument("args", nargs="*", metavar="ARG")
    p.add_argument("--raw", action="store_true", help="send bytes and print the answer's bytes")
    p = sub.add_parser("watch", parents=[common], help="show nodes arriving and leaving until interrupted")
    p.add_argument("--interval", type=float, default=0.5, help=argparse.SUPPRESS)  # the gateway's own pace
    return parser


def _run_remote(argv: Sequence[str] | None) -> None:
    args = _remote_parser().parse_args(argv)
    for option in ("wait", "timeout"):
        if not getattr(args, option, 0.0) >= 0:
            raise Failure(EXIT_USAGE, f"--{option} must be 0 or more seconds")
    token = _token(getattr(args, "token_file", None))
    try:
        from .remote import connect
        tls_ca = _read_file(args.tls_ca, "CA certificate") if getattr(args, "tls_ca", None) else None
        system = connect(args.remote, token=token, tls_ca=tls_ca)
    except ImportError as e:
        raise Failure(EXIT_FAILURE, str(e)) from None
    except ValueError as e:
        raise Failure(EXIT_USAGE, str(e)) from None
    with system:
        {"nodes": _remote_nodes, "methods": _remote_methods, "call": _remote_call,
         "watch": _remote_watch}[args.command](system, args)


def _remote_nodes(system: Any, args: argparse.Namespace) -> None:
    rows = [{"name": n.name, "pid": n.pid, "mailbox": mailbox or None}
            for n, mailbox in system.nodes_with_mailboxes() if n != system.gateway]
    if args.json:
        _print_json(rows)
        return
    table = [("NAME", "PID", "MAILBOX")] + [(r["name"], str(r["pid"]), r["mailbox"] or "?") for r in rows]
    widths = [max(len(row[i]) for row in table) for i in range(2)]
    for name, pid, mailbox in table:
        print(f"{name:<{widths[0]}}  {pid:>{widths[1]}}  {mailbox}")


def _remote_methods(system: Any, args: argparse.Namespace) -> None:
    descriptors = system.list_methods(_find(system, args), timeout=args.timeout)
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


def _remote_call(system: Any, args: argparse.Namespace) -> None:
    _call_and_show(system, args, _call_request(args))


def _remote_watch(system: Any, args: argparse.Namespace) -> None:
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, signal.default_int_handler)
    try:
        for event, info in system.watch():
            if info == system.gateway:
                continue
            now = time.strftime("%H:%M:%S")
            if args.json:
                _print_json({"event": event, "name": info.name, "pid": info.pid, "time": now})
            else:
                print(f"{now} {'+' if event == 'joined' else '-'} {info.name} (pid {info.pid})")
            sys.stdout.flush()
    except KeyboardInterrupt:
        pass
