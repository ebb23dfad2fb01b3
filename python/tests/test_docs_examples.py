"""The examples of the README and the guide run as written.

The Markdown marks what is checked, in comments a reader does not see:

- ``<!-- include: PATH -->`` before a code block: the block is the file PATH of
  the repository, verbatim.
- ``<!-- file: NAME -->`` before a code block: the block is the file NAME of
  the session; a ``.cpp`` file becomes the program ``./STEM``.
- ``<!-- run -->`` before a console block: each ``$ COMMAND`` runs to its end,
  and its output must be the lines below it.
- ``<!-- run: background -->`` before a console block: its one command keeps
  running (a server in a terminal of its own), and its first line of output
  must be the one below it. At the session's end it gets Ctrl-C (SIGINT), or
  for ``./X`` the end of its input (Enter), and must exit with 0.
- ``<!-- session: NAME -->`` starts a session: the blocks up to the next one
  run together. Each session has its own folder for the named objects
  (XDG_RUNTIME_DIR), so its system "demo" meets nobody else's.

``python3 X`` runs examples/python/X, ``tarnvel`` the command, ``./X`` a
program built from the session's X.cpp against the library of the build tree.
"""

import os
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

import pytest

import tarnvel
import tarnvel_core
from conftest import child_env

REPO = Path(__file__).resolve().parents[2]
DOCS = [REPO / "README.md", REPO / "docs" / "guide.md"]
PYTHON_EXAMPLES = REPO / "examples" / "python"
# The console script where pip installed one beside the package, else `python -m tarnvel`.
_script = Path(tarnvel.__file__).parent.parent / "bin" / "tarnvel"
COMMAND = [str(_script)] if _script.exists() else [sys.executable, "-m", "tarnvel"]
# The static library beside the module in a build tree (absent from an installed package).
LIBRARY = Path(tarnvel_core.__file__).resolve().parent.parent / "tarnvel" / "libtarnvel.a"
HEADERS = REPO / "cpp-src" / "tarnvel" / "include"
COMPILER = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")

# Bounds: a hang fails the test instead of stalling the run.
COMMAND_LIMIT = 30
START_LIMIT = 20
STOP_LIMIT = 15
BUILD_LIMIT = 300

_MARK = re.compile(r"<!--\s*(include|file|run|session)\s*(?::\s*(.*?))?\s*-->")
_FENCE = re.compile(r"^(```+)(\S*)\s*$")


@dataclass
class Block:
    kind: str        # include, file or run
    arg: str
    language: str
    text: str
    line: int        # of the block's first line in the document


@dataclass
class Session:
    doc: Path
    name: str
    blocks: list[Block] = field(default_factory=list)

    @property
    def needs_cpp(self) -> bool:
        return any(b.kind == "file" and b.arg.endswith(".cpp") for b in self.blocks)


def parse(doc: Path) -> list[Session]:
    """The sessions of a document, each with its marked blocks in order."""
    lines = doc.read_text().splitlines()
    sessions = [Session(doc, "main")]
    i = 0
    while i < len(lines):
        mark = _MARK.fullmatch(lines[i].strip())
        i += 1
        if mark is None:
            continue
        kind, arg = mark.group(1), mark.group(2) or ""
        if kind == "session":
            sessions.append(Session(doc, arg))
            continue
        fence = _FENCE.match(lines[i]) if i < len(lines) else None
        assert fence, f"{doc.name}:{i}: a <!-- {kind} --> mark must stand right above a code block"
        start = i + 1
        end = start
        while end < len(lines) and lines[end].rstrip() != fence.group(1):
            end += 1
        assert end < len(lines), f"{doc.name}:{start}: the code block does not end"
        sessions[-1].blocks.append(Block(kind, arg, fence.group(2), "\n".join(lines[start:end]) + "\n", start + 1))
        i = end + 1
    return [s for s in sessions if s.blocks]


def commands(block: Block) -> list[tuple[str, list[str]]]:
    """A console block's commands, each with the output lines written under it."""
    found: list[tuple[str, list[str]]] = []
    for line in block.text.splitlines():
        if line.startswith("$ "):
            found.append((line[2:], []))
        else:
            assert found, f"line {block.line}: a console block starts with a command"
            found[-1][1].append(line)
    return found


class Runner:
    """Runs one session's blocks: files, commands, servers in the background."""

    def __init__(self, session: Session, workdir: Path) -> None:
        self.session = session
        self.workdir = workdir
        runtime = workdir / "runtime"
        runtime.mkdir(mode=0o700)
        self.env = dict(child_env(), XDG_RUNTIME_DIR=str(runtime), PYTHONUNBUFFERED="1")
        self.background: list[tuple[str, subprocess.Popen[str]]] = []
        self.built = False

    def argv(self, command: str) -> tuple[list[str], Path]:
        words = shlex.split(command)
        if words[0] == "python3":
            return [sys.executable, *words[1:]], PYTHON_EXAMPLES
        if words[0] == "tarnvel":
            return COMMAND + words[1:], self.workdir
        if words[0].startswith("./"):
            self.build()
            return [str(self.workdir / words[0][2:]), *words[1:]], self.workdir
        raise AssertionError(f"{self.session.doc.name}: no way to run {command!r}")

    def build(self) -> None:
        """Compiles every .cpp file of the session at once, each into a program of its stem."""
        if self.built:
            return
        self.built = True
        builds = []
        for source in self.workdir.glob("*.cpp"):
            builds.append((source, subprocess.Popen(
                [COMPILER, "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", "-I", str(HEADERS), str(source),
                 str(LIBRARY), "-lboost_json", "-pthread", "-o", str(source.with_suffix(""))],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)))
        for source, build in builds:
            try:
                out, _ = build.communicate(timeout=BUILD_LIMIT)
            finally:
                build.kill()
            assert build.returncode == 0, f"{source.name} does not build:\n{out}"

    def run(self, block: Block) -> None:
        where = f"{self.session.doc.name}:{block.line}"
        if block.kind == "include":
            assert (REPO / block.arg).read_text() == block.text, f"{where}: the block is not {block.arg} as it is"
        elif block.kind == "file":
            (self.workdir / block.arg).write_text(block.text)
        elif block.arg == "background":
            self.start(block, where)
        else:
            for command, expected in commands(block):
                argv, cwd = self.argv(command)
                done = subprocess.run(argv, cwd=cwd, env=self.env, capture_output=True, text=True,
                                      timeout=COMMAND_LIMIT)
                assert done.returncode == 0, f"{where}: {command!r} ended with {done.returncode}:\n{done.stderr}"
                assert done.stdout.splitlines() == expected, f"{where}: {command!r}\n{done.stderr}"

    def start(self, block: Block, where: str) -> None:
        [(command, expected)] = commands(block)
        argv, cwd = self.argv(command)
        process = subprocess.Popen(argv, cwd=cwd, env=self.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   text=True)
        self.background.append((command, process))
        ready, _, _ = select.select([process.stdout], [], [], START_LIMIT)
        first = process.stdout.readline().rstrip("\n") if ready else f"nothing within {START_LIMIT} s"
        assert [first] == expected[:1], f"{where}: {command!r} began with {first!r}"

    def stop(self) -> list[str]:
        """Ends every background command as its reader would: a program of ours by the end of its
        input (Enter), anything else by Ctrl-C (SIGINT). Lists those that did not end with 0."""
        failures = []
        for command, process in self.background:
            try:
                if not command.startswith("./"):
                    process.send_signal(signal.SIGINT)
                process.stdin.close()
                status = process.wait(STOP_LIMIT)
            except subprocess.TimeoutExpired:
                status = "still running"
            finally:
                process.kill()
                process.wait()
                process.stdout.close()
            if status != 0:
                failures.append(f"{command!r} ended with {status}")
        return failures


def _sessions() -> list[Session]:
    return [s for doc in DOCS for s in parse(doc)]


@pytest.mark.parametrize("session", _sessions(), ids=lambda s: f"{s.doc.name}-{s.name}")
def test_example_session(session: Session) -> None:
    if session.needs_cpp and not (LIBRARY.exists() and COMPILER):
        pytest.skip("the C++ examples build with a C++ compiler against the library of a build tree")
    with tempfile.TemporaryDirectory(prefix="tarnvel-docs-") as workdir:
        runner = Runner(session, Path(workdir))
        try:
            for block in session.blocks:
                runner.run(block)
        finally:
            failures = runner.stop()
        assert not failures, failures


def test_every_example_file_is_shown() -> None:
    """An example file no document includes would go unchecked."""
    included = {b.arg for s in _sessions() for b in s.blocks if b.kind == "include"}
    files = {str(p.relative_to(REPO)) for p in PYTHON_EXAMPLES.glob("*.py")}
    assert files <= included, sorted(files - included)
