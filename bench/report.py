"""Runs the C++ and the Python round-trip benchmarks, prints one table of
tarnvel beside its baselines, and draws the latency distributions.

    PYTHONPATH=<dir holding tarnvel_core*.so> python3 bench/report.py \\
        --cpp-bench build/release/cpp-src/tarnvel/bench/tarnvel_bench --png docs/latency.png

Every ratio is tarnvel / baseline, both measured in this run. System calls
are counted by the kernel's raw_syscalls:sys_enter tracepoint, the counter
that `perf stat` reads, in every process and thread of the measured program
(client and server together), as (count of a run with 2N round trips - count
of a run with N) / N, so start-up and shut-down cancel out; the same for N
calls with 128 outstanding (and for Python's calls outstanding), where the
median of three such differences is taken (a few hundredths per call would
drown in what a start costs now and then). Unlike strace, the counter does not slow the
calls it counts. Where the kernel refuses the counter (no tracefs, no
permission) the table says the counts are unavailable. Prints numbers;
asserts nothing.
"""

import argparse
import ctypes
import errno
import json
import os
import pathlib
import platform
import statistics
import struct
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
SYSCALL_ROUND_TRIPS = 20000
SYSCALL_WINDOW_CALLS = 1000000
SYSCALL_PY_WINDOW_CALLS = 200000
SYSCALL_WINDOW = 128


def log(text):
    print(f"[bench] {text}", file=sys.stderr, flush=True)


def run(command, timeout=600):
    """Runs a benchmark program; its own output is shown only when it fails."""
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout)
    if done.returncode != 0:
        sys.stderr.write(done.stdout)
        raise SystemExit(f"bench: {' '.join(map(str, command))} failed with exit code {done.returncode}")


TRACEPOINT_ID_FILES = ("/sys/kernel/tracing/events/raw_syscalls/sys_enter/id",
                       "/sys/kernel/debug/tracing/events/raw_syscalls/sys_enter/id")
PERF_EVENT_OPEN = {"x86_64": 298, "aarch64": 241}
PERF_TYPE_TRACEPOINT = 2
PERF_FLAG_FD_CLOEXEC = 8
# perf_event_attr's flag bits
DISABLED, INHERIT, ENABLE_ON_EXEC = 1 << 0, 1 << 1, 1 << 12


class CountUnavailable(Exception):
    """The kernel does not let this process count system calls."""


def syscall_tracepoint_id():
    for path in TRACEPOINT_ID_FILES:
        try:
            return int(pathlib.Path(path).read_text())
        except (OSError, ValueError):
            continue
    raise CountUnavailable("the raw_syscalls:sys_enter tracepoint is not visible (tracefs is not mounted)")


def syscall_counter():
    """A counter of the system calls of the programs this process starts from now
    on, with their children and threads, but not of this process: opened
    disabled, it is inherited by each child and enabled by the child's exec."""
    number = PERF_EVENT_OPEN.get(platform.machine())
    if number is None:
        raise CountUnavailable(f"no perf_event_open number known for {platform.machine()}")
    # The first version of perf_event_attr (64 bytes): type, size, config,
    # sample_period, sample_type, read_format, flags, wakeup_events, bp_type.
    attr = ctypes.create_string_buffer(struct.pack("=IIQQQQQII", PERF_TYPE_TRACEPOINT, 64, syscall_tracepoint_id(),
                                                   0, 0, 0, DISABLED | INHERIT | ENABLE_ON_EXEC, 0, 0), 64)
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    fd = libc.syscall(ctypes.c_long(number), attr, ctypes.c_int(0), ctypes.c_int(-1), ctypes.c_int(-1),
                      ctypes.c_ulong(PERF_FLAG_FD_CLOEXEC))
    if fd < 0:
        code = ctypes.get_errno()
        raise CountUnavailable(f"perf_event_open refused: {errno.errorcode.get(code, code)} {os.strerror(code)}")
    return fd


def syscall_total(command):
    """All system calls of `command`, its children and their threads, from its exec to its end."""
    fd = syscall_counter()
    try:
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
        if done.returncode != 0:
            sys.stderr.write(done.stdout[-2000:])
            raise SystemExit(f"bench: {' '.join(map(str, command))} failed with exit code {done.returncode}")
        # Every counted process has ended: the count is final.
        return struct.unpack("=Q", os.read(fd, 8))[0]
    finally:
        os.close(fd)


def syscalls_per_call(command, calls=SYSCALL_ROUND_TRIPS, tail=(), repeat=1):
    """`command` + [N] + tail makes a warm-up and N calls. Measured as the
    difference between 2N calls and N (the C++ bench takes 0 calls for a
    timed run); the median of `repeat` such differences, where a count per
    call far below one would drown in what starting and ending a run cost."""
    differences = []
    for _ in range(repeat):
        more = syscall_total([*command, str(2 * calls), *tail])
        fewer = syscall_total([*command, str(calls), *tail])
        differences.append((more - fewer) / calls)
    # Below zero is a count too small to tell from that cost's own spread.
    return max(statistics.median(differences), 0.0)


def machine_facts():
    model = "unknown CPU"
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{os.cpu_count()} cores ({model}), {platform.system()} {platform.release()}"


# ------------------------------------------------------------------ the table

def size_text(size):
    return f"{size // 1024} KiB" if size >= 1024 and size % 1024 == 0 else f"{size} B"


def percentile_rows(label, ours, name, theirs, goals=("", "", "")):
    return [(f"{label}, {key[:3]} us", ours[key], name, theirs[key], goal)
            for key, goal in zip(("p50_us", "p90_us", "p99_us"), goals)]


def build_rows(cpp, py, syscalls):
    """(measurement, tarnvel value, baseline name, baseline value, goal) in the table's order."""
    rows = []
    latency = {(r["transport"], r["payload_bytes"]): r for r in cpp["latency"]}
    throughput = {(r["transport"], r["payload_bytes"], r["window"]): r for r in cpp["throughput"]}
    sizes = sorted({size for _, size in latency})
    for size in sizes:
        ours, theirs = latency[("tarnvel", size)], latency[("unix socket", size)]
        goals = ("<= 1x", "", "<= 1.5x") if size <= 4096 else ("<= 0.5x", "", "") if size >= 1 << 20 else ("",) * 3
        rows += percentile_rows(f"C++ echo {size_text(size)} sequential", ours, "Unix socket", theirs, goals)
        if size >= 4096:
            rows.append((f"C++ echo {size_text(size)} sequential, MB/s", size / ours["p50_us"], "Unix socket",
                         size / theirs["p50_us"], ""))
    # The echo above reads its argument in place; a plain method's argument
    # is copied out of the mailbox first.
    plain = cpp.get("plain_method", [])
    if len(plain) == 2:
        ours, theirs = plain
        rows.append((f"C++ echo {size_text(ours['payload_bytes'])} sequential, plain method, p50 us",
                     ours["p50_us"], "Unix socket", theirs["p50_us"], ""))
    for size in sorted({s for _, s, _ in throughput}):
        for window in sorted({w for _, s, w in throughput if s == size}):
            ours, theirs = throughput[("tarnvel", size, window)], throughput[("unix socket", size, window)]
            goal = (">= 2x" if size <= 16 else ">= 4x") if window == 128 else ""
            rows.append((f"C++ calls/s {size_text(size)}, {window} outstanding", ours["calls_per_s"],
                         "Unix socket", theirs["calls_per_s"], goal))
    fan_in = {(r["transport"], r["clients"]): r for r in cpp.get("fan_in", [])}
    for clients in sorted({c for _, c in fan_in}):
        rows.append((f"C++ fan-in calls/s, {clients} client processes", fan_in[("tarnvel", clients)]["calls_per_s"],
                     "Unix socket, epoll server", fan_in[("unix socket", clients)]["calls_per_s"],
                     ">= 1.5x" if clients == max(c for _, c in fan_in) else ""))
    bursts = sorted(cpp.get("bursts", []), key=lambda r: r["mailbox_bytes"])
    if len(bursts) == 2:
        small, large = bursts
        what = f"C++ burst of {small['burst']} x 4 KiB into a {size_text(small['mailbox_bytes'])} mailbox"
        room = f"into {size_text(large['mailbox_bytes'])} (room for all)"
        rows.append((f"{what}, calls/s", small["calls_per_s"], room, large["calls_per_s"], ""))
        rows.append((f"{what}, p99 us", small["p99_us"], room, large["p99_us"], ""))

    ours = py["tarnvel"]
    zmq = py.get("zmq")
    pipe = py["pipe"]
    payload = size_text(py["payload_bytes"])
    for key, goals in (("p50_us", ("", "<= 1x")), ("p90_us", ("", "")), ("p99_us", ("", ""))):
        label = f"Python call_raw {payload} sequential, {key[:3]} us"
        rows.append((label, ours[key], "ZeroMQ REQ/REP ipc://", zmq and zmq[key], goals[0]))
        rows.append((label, ours[key], "multiprocessing Pipe", pipe[key], goals[1]))
    label = f"Python calls/s, {py['window']} outstanding"
    rows.append((label, ours["window_calls_per_s"], f"Pipe, {py['window']} outstanding",
                 pipe["window_calls_per_s"], ">= 1x"))
    rows.append((label, ours["window_calls_per_s"], "ZeroMQ, sequential", zmq and zmq["sequential_calls_per_s"],
                 ""))
    for size, mine in ours.get("payloads", {}).items():
        size = int(size)
        theirs = pipe["payloads"][str(size)]
        goals = ("<= 0.5x", "", "") if size >= 1 << 20 else ("",) * 3
        rows += percentile_rows(f"Python echo {size_text(size)}", mine, "multiprocessing Pipe", theirs, goals)
        rows.append((f"Python echo {size_text(size)}, MB/s", mine["mb_per_s"], "multiprocessing Pipe",
                     theirs["mb_per_s"], ""))

    # Across machines: a call through the gateway beside gRPC answering the same messages itself.
    gateway, plain = py.get("gateway"), py.get("grpc")
    if gateway or plain:
        pick = lambda row, key: row and row[key]  # noqa: E731
        rows.append((f"Gateway call {payload} sequential, p50 us", pick(gateway, "p50_us"), "plain gRPC echo",
                     pick(plain, "p50_us"), "<= 1.5x"))
        rows.append((f"Gateway calls/s, {py['window']} outstanding", pick(gateway, "window_calls_per_s"),
                     f"plain gRPC echo, {py['window']} outstanding", pick(plain, "window_calls_per_s"), ">= 0.5x"))

    # A server under work: slow methods beside fast ones, blocking ones on workers, async ones.
    serving = py.get("serving")
    if serving:
        rows.append(("Fast call p50 us, beside a 100 ms method", serving["fast_p50_beside_slow_us"],
                     "the same, idle server", serving["fast_p50_idle_us"], "<= 1.5x"))
        rows.append(("Calls/s of a 1 ms blocking method, 32 outstanding",
                     serving["block_1ms_32_default_calls_per_s"], f"1 worker (default {serving['default_workers']})",
                     serving["block_1ms_32_one_worker_calls_per_s"], ">= 8x"))
        rows.append(("Calls/s of an async method awaiting 10 ms, 256 outstanding",
                     serving["async_10ms_256_calls_per_s"], "", None, ">= 10,000"))

    rows.append(("System calls per round trip, C++ 16 B", syscalls.get("cpp tarnvel"), "Unix socket",
                 syscalls.get("cpp socket"), "tarnvel <= 6"))
    rows.append((f"System calls per call, C++ 16 B, {SYSCALL_WINDOW} outstanding", syscalls.get("cpp tarnvel window"),
                 "Unix socket", syscalls.get("cpp socket window"), "tarnvel <= 0.2"))
    label = f"System calls per round trip, Python {payload}"
    rows.append((label, syscalls.get("py tarnvel"), "multiprocessing Pipe", syscalls.get("py pipe"), "tarnvel <= 6"))
    rows.append((label, syscalls.get("py tarnvel"), "ZeroMQ REQ/REP ipc://", syscalls.get("py zmq"), ""))
    rows.append((f"System calls per call, Python {payload}, {py['window']} outstanding",
                 syscalls.get("py tarnvel window"), f"Pipe, {py['window']} outstanding", syscalls.get("py pipe window"),
                 ""))
    return rows


def number(value):
    if value is None:
        return "n/a"
    return f"{value:,.0f}" if value >= 1000 else f"{value:.1f}" if value >= 1 else f"{value:.2f}"


def print_table(rows):
    header = ("measurement", "tarnvel", "baseline", "baseline", "ratio", "goal")
    lines = []
    previous = None
    for label, ours, name, theirs, goal in rows:
        ratio = f"{ours / theirs:.2f}x" if ours is not None and theirs else "n/a"
        # A second baseline of the same measurement shows only the baseline.
        same = label == previous
        lines.append(("" if same else label, "" if same else number(ours), name, number(theirs), ratio, goal))
        previous = label
    widths = [max(len(line[i]) for line in [header, *lines]) for i in range(len(header))]
    align = ("<", ">", "<", ">", ">", "<")
    for line in [header, *lines]:
        print("  ".join(f"{cell:{a}{w}}" for cell, a, w in zip(line, align, widths)).rstrip())


# ---------------------------------------------------------------- the picture

def draw(cpp, py, path, title):
    try:
        import matplotlib
    except ImportError:
        log("no picture: matplotlib is not installed")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes_grid = plt.subplots(2, 2, figsize=(14, 10))
    (small, large), (python, payloads) = axes_grid
    colours = {"tarnvel": "C0", "unix socket": "C1", "pipe": "C1", "zmq": "C2"}
    edges = {axes: [] for axes in (small, large, python, payloads)}

    # The legend quotes the table's percentiles.
    def cdf(axes, row, label, colour, style="-"):
        samples = sorted(row["samples_us"])
        if not samples:
            return
        count = len(samples)
        axes.plot(samples, [(i + 1) / count for i in range(count)], style, color=colour, drawstyle="steps-post",
                  label=f"{label}  (p50 {row['p50_us']:.1f}, p90 {row['p90_us']:.1f}, p99 {row['p99_us']:.1f} µs)")
        edges[axes].append((samples[0], samples[min(count - 1, int(count * 0.999))]))

    sizes = sorted({r["payload_bytes"] for r in cpp["latency"]})
    for row in cpp["latency"]:
        size = row["payload_bytes"]
        axes = small if size <= 4096 else large
        style = "-" if sizes.index(size) % 2 == 0 else "--"
        name = "tarnvel" if row["transport"] == "tarnvel" else "Unix socket"
        cdf(axes, row, f"{name} {size_text(size)}", colours[row["transport"]], style)
    small.set_title("C++: tarnvel echo vs Unix stream socket, 16 B and 4 KiB")
    large.set_title("C++: the same, 64 KiB and 1 MiB")
    for key, name in (("tarnvel", "tarnvel call_raw(...).result()"), ("zmq", "ZeroMQ REQ/REP ipc://"),
                      ("pipe", "multiprocessing Pipe")):
        if key in py:
            cdf(python, py[key], name, colours[key])
    python.set_title(f"Python: {size_text(py['payload_bytes'])} request and answer")
    styles = ["-", "--", "-.", ":"]
    for key, name in (("tarnvel", "tarnvel"), ("pipe", "Pipe")):
        for index, (size, row) in enumerate(sorted(py[key].get("payloads", {}).items(), key=lambda i: int(i[0]))):
            cdf(payloads, row, f"{name} {size_text(int(size))}", colours[key], styles[index % len(styles)])
    payloads.set_title("Python: echoes by payload size, tarnvel vs Pipe")

    for axes in edges:
        axes.set_xscale("log")
        # The far tail (beyond the 99.9th percentile) would squeeze the bulk.
        if edges[axes]:
            axes.set_xlim(min(e[0] for e in edges[axes]) * 0.8, max(e[1] for e in edges[axes]) * 1.5)
        axes.set_xlabel("round trip, µs (log scale)")
        for level in (0.5, 0.9, 0.99):
            axes.axhline(level, color="grey", linewidth=0.6, linestyle=":")
        axes.grid(True, which="both", axis="x", alpha=0.3)
        axes.legend(loc="lower right", fontsize="x-small")
        axes.set_ylabel("fraction of round trips at or below")
    fig.suptitle(f"Sequential round trips between two processes: {title}")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    log(f"latency distributions drawn in {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cpp-bench", required=True, type=pathlib.Path, help="the tarnvel_bench program")
    parser.add_argument("--png", type=pathlib.Path, default=HERE.parent / "docs" / "latency.png")
    parser.add_argument("--out", type=pathlib.Path, default=HERE.parent / "build" / "bench",
                        help="folder for the samples (JSON)")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    cpp_bench = str(args.cpp_bench.resolve())
    python_bench = [sys.executable, str(HERE / "python_bench.py")]
    facts = machine_facts()
    load = os.getloadavg()[0]

    log("C++ round trips, fan-in and bursts (about 40 s)")
    run([cpp_bench, "--json", str(args.out / "cpp.json")])
    log("Python round trips and payloads (about 90 s)")
    run([*python_bench, "--json", str(args.out / "python.json")])
    cpp = json.loads((args.out / "cpp.json").read_text())
    py = json.loads((args.out / "python.json").read_text())

    syscalls = {}
    unavailable = None
    log(f"system calls of {SYSCALL_ROUND_TRIPS} round trips and of {SYSCALL_WINDOW_CALLS} calls with "
        f"{SYSCALL_WINDOW} outstanding, counted by the kernel")
    window = (SYSCALL_WINDOW_CALLS, [str(SYSCALL_WINDOW)], 3)
    commands = {"cpp tarnvel": ([cpp_bench, "round-trips", "tarnvel", "16"],),
                "cpp socket": ([cpp_bench, "round-trips", "socket", "16"],),
                "cpp tarnvel window": ([cpp_bench, "window-calls", "tarnvel", "16"], *window),
                "cpp socket window": ([cpp_bench, "window-calls", "socket", "16"], *window),
                "py tarnvel": ([*python_bench, "--round-trips", "tarnvel"], SYSCALL_ROUND_TRIPS, (), 3),
                "py pipe": ([*python_bench, "--round-trips", "pipe"],),
                "py tarnvel window": ([*python_bench, "--window-calls", "tarnvel"], SYSCALL_PY_WINDOW_CALLS, (), 3),
                "py pipe window": ([*python_bench, "--window-calls", "pipe"], SYSCALL_PY_WINDOW_CALLS, (), 3)}
    if "zmq" in py:
        commands["py zmq"] = ([*python_bench, "--round-trips", "zmq"],)
    try:
        for key, command in commands.items():
            syscalls[key] = syscalls_per_call(*command)
    except CountUnavailable as refused:
        unavailable = str(refused)
        syscalls = {}
        log(f"no system call counts: {unavailable}")

    print(f"\ntarnvel round trips on {facts}; load average {load:.2f} at the start")
    print("ratio = tarnvel / baseline, both measured in this run; goal = what tarnvel aims for\n")
    print_table(build_rows(cpp, py, syscalls))
    if unavailable:
        print(f"note: system calls not counted: {unavailable}")
    failed = [r for r in cpp["latency"] + cpp.get("plain_method", []) + cpp["throughput"] if r["errors"]]
    for r in failed:
        window = f", {r['window']} outstanding" if "window" in r else ""
        print(f"note: {r['transport']} {size_text(r['payload_bytes'])}{window}: {r['errors']} failed calls")
    print()
    draw(cpp, py, args.png, f"{facts}, load average {load:.1f}")


if __name__ == "__main__":
    main()
