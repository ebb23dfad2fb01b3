"""Soak: calls to servers that are killed and restarted, with a foreign writer.

    PYTHONPATH=<dir holding tarnvel_core*.so> python3 bench/soak.py [SECONDS] [--stopped-holder]

Several server processes are killed with SIGKILL and started again, one
about every second, while client threads of this process call them with
random sizes, methods and time limits. Meanwhile a foreign writer, which
follows the mailbox format by hand through the servers' files in /dev/shm,
now and then commits garbage into a server's mailbox or abandons a
reservation there, as a writer killed before its commit would.

With --stopped-holder, no server is killed while a process that holds the
system's book mutex is stopped (SIGSTOP), from the first second until two
seconds before the end, when it is killed and one server is restarted: the
calls between nodes that know each other must go on meanwhile.

Ends by itself after SECONDS (default 15), then prints the calls by status,
the wrong answers, the hung calls (a Future not done well after its time
limit), the deaf calls and servers, and what is left in /dev/shm. Exits 1 on
any wrong answer, hung call or leftover, on a time-out that neither a slow
method, a short limit nor the server's death explains, or when a server
answered none of the calls made to it between two of its restarts.
"""

import concurrent.futures
import ctypes
import ctypes.util
import hashlib
import mmap
import os
import random
import selectors
import signal
import struct
import subprocess
import sys
import threading
import time

SERVERS = 3
CLIENT_THREADS = 4
MAILBOX_BYTES = 1 << 16
KILL_EVERY = 1.0                # seconds between two kills, on average
FOREIGN_EVERY = 0.7             # seconds between two foreign records, on average
HUNG_MARGIN = 5.0               # seconds past a call's time limit before it counts as hung
FAIR_LIMIT_MS = 2000            # a live server answers a quick method within this, however loaded
                                # (beyond the second an abandoned reservation may hold its reader)
STATUS_NAMES = {0: "ok", 1: "timeout", 2: "exec_failed", 3: "deliver_failed"}


def object_place():
    """This user's object folder and file-name prefix, by the README's rule."""
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    try:
        st = os.stat(runtime) if runtime.startswith("/") else None
    except OSError:
        st = None
    if st is not None and os.path.isdir(runtime) and st.st_uid == os.geteuid() and st.st_mode & 0o7777 == 0o700:
        return runtime, "tarnvel."
    return "/dev/shm", f"tarnvel.{os.geteuid()}."


OBJECT_DIR, OBJECT_PREFIX = object_place()


# The servers ----------------------------------------------------------------

def expected_result(method, args):
    if method == "echo":
        return args
    if method == "reverse":
        return args[::-1]
    if method == "digest":
        return hashlib.sha256(args).digest()
    if method == "slow":
        return args[2:]
    raise ValueError(method)


def serve(system, name, recv):
    import tarnvel_core

    def slow(args):
        time.sleep(int.from_bytes(args[:2], "little") / 1000)
        return args[2:]

    with tarnvel_core.Tarnvel(name, system, recv, MAILBOX_BYTES) as node:
        for method in ("echo", "reverse", "digest"):
            node.register({"name": method}, lambda args, m=method: expected_result(m, args))
        node.register({"name": "slow"}, slow)
        print("ready", node.pid, flush=True)
        sys.stdin.read()  # until the soak ends (or dies)


class Server:
    def __init__(self, system, index):
        self.system = system
        self.name = f"s{index}"
        self.recv = f"{system}_s{index}"
        self.proc = None
        self.pid = None
        # One per process started under the name; a generation's end is when
        # its process was killed (None while it lives).
        self.generation = -1
        self.ended = {}

    def start(self):
        self.proc = subprocess.Popen([sys.executable, __file__, "serve", self.system, self.name, self.recv],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        with selectors.DefaultSelector() as sel:
            sel.register(self.proc.stdout, selectors.EVENT_READ)
            if not sel.select(30):
                raise RuntimeError(f"server {self.name} did not start")
        word, pid = self.proc.stdout.readline().split()
        assert word == "ready", word
        self.pid = int(pid)
        self.generation += 1

    def kill(self):
        self.ended[self.generation] = time.monotonic()
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()
        self.close_pipes()

    def quit(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.close_pipes()

    def close_pipes(self):
        for pipe in (self.proc.stdin, self.proc.stdout):
            if not pipe.closed:
                pipe.close()

    def mailbox_name(self):
        return f"{self.recv}_{self.pid}"


# The stopped book holder ----------------------------------------------------

def hold_book(system):
    """Takes the system's book mutex as any process of the system may (a
    robust, process-shared pthread mutex after an 8-byte header in its own
    object), says so, and waits to be stopped and killed."""
    import fcntl
    path = f"{OBJECT_DIR}/{OBJECT_PREFIX}mtx.{system}_tarnvelmtx_v_0_0_1"
    fd = os.open(path, os.O_RDWR | os.O_CLOEXEC)
    fcntl.flock(fd, fcntl.LOCK_SH)  # a holder, as the library's openers are
    view = mmap.mmap(fd, os.fstat(fd).st_size)
    holder = (ctypes.c_char * len(view)).from_buffer(view)
    libc = ctypes.CDLL(None, use_errno=True)
    mutex = ctypes.addressof(holder) + 8
    rc = libc.pthread_mutex_lock(ctypes.c_void_p(mutex))
    if rc == 130:  # EOWNERDEAD: a holder died before us
        libc.pthread_mutex_consistent(ctypes.c_void_p(mutex))
    elif rc != 0:
        raise OSError(rc, "pthread_mutex_lock")
    print("locked", flush=True)
    sys.stdin.read()


class BookHolder:
    def __init__(self, system):
        self.proc = subprocess.Popen([sys.executable, __file__, "hold-book", system],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().strip()
        if line != "locked":
            raise RuntimeError(f"the book holder did not lock: {line!r}")
        os.kill(self.proc.pid, signal.SIGSTOP)

    def kill(self):
        self.proc.kill()
        self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()


# The foreign writer ---------------------------------------------------------

class ForeignWriter:
    """Writes records into a mailbox file by hand, reserving its space with a
    compare-and-swap on write_pos as every writer must."""

    def __init__(self):
        atomic = ctypes.CDLL(ctypes.util.find_library("atomic") or "libatomic.so.1")
        # Looked up by name: inside a class, Python would mangle __atomic_*.
        self.load = getattr(atomic, "__atomic_load_4")
        self.load.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.load.restype = ctypes.c_uint32
        self.cas = getattr(atomic, "__atomic_compare_exchange_4")
        self.cas.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_int, ctypes.c_int]
        self.cas.restype = ctypes.c_bool
        self.counts = {"garbage": 0, "bare head": 0, "abandoned": 0}

    SEQ_CST = 5

    def write_one(self, mailbox_name, rng):
        # Names of the soak use only bytes that the file name keeps as they are.
        path = f"{OBJECT_DIR}/{OBJECT_PREFIX}map.{mailbox_name}"
        try:
            fd = os.open(path, os.O_RDWR | os.O_CLOEXEC)
        except OSError:
            return  # its server is gone
        try:
            size = os.fstat(fd).st_size
            if size <= 16:
                return
            with mmap.mmap(fd, size) as view:
                self.write_into(view, size, rng)
        finally:
            os.close(fd)
        self.signal(mailbox_name)

    def write_into(self, view, size, rng):
        magic, capacity = struct.unpack_from("<4sI", view, 0)
        if magic != b"TRV1" or capacity != size - 16:
            return
        kind = rng.choice(list(self.counts))
        length = rng.randrange(20, 300)
        frame = bytearray(rng.randbytes(length))
        if frame[0] == 0xAA:
            frame[0] = 0  # never a frame that could decode
        need = 8 if kind == "bare head" else 8 + length
        modulus = (1 << 32) // capacity * capacity
        holder = (ctypes.c_char * size).from_buffer(view)
        try:
            base = ctypes.addressof(holder)
            while True:
                r = self.load(base + 12, self.SEQ_CST)
                w = ctypes.c_uint32(self.load(base + 8, self.SEQ_CST))
                if (w.value - r) % modulus + need > capacity:
                    return  # full: try another time
                if self.cas(base + 8, ctypes.byref(w), (w.value + need) % modulus, self.SEQ_CST, self.SEQ_CST):
                    break
            w = w.value
            self.counts[kind] += 1
            if kind == "abandoned":
                # A writer killed after its length and part of its frame.
                if rng.random() < 0.5:
                    self.put(view, capacity, w, struct.pack("<I", length))
                    self.put(view, capacity, w + 8, frame[: length // 2])
                return
            if kind == "bare head":
                stated = rng.choice([capacity + 1, 0xFFFFFFF0, rng.randrange(capacity)])
                self.put(view, capacity, w, struct.pack("<I", stated))
                self.put(view, capacity, w + 4, b"\x01")
                return
            self.put(view, capacity, w, struct.pack("<I", length))
            self.put(view, capacity, w + 8, frame)
            self.put(view, capacity, w + 4, bytes([rng.choice([1, 2, 3, 0x7F, 0xFF])]))
        finally:
            del holder

    @staticmethod
    def put(view, capacity, position, data):
        for i, byte in enumerate(data):
            view[16 + (position + i) % capacity] = byte

    @staticmethod
    def signal(mailbox_name):
        try:
            fd = os.open(f"{OBJECT_DIR}/{OBJECT_PREFIX}evt.{mailbox_name}_e", os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError:
            return
        try:
            os.write(fd, b"\x01")
        except OSError:
            pass
        finally:
            os.close(fd)


# The soak -------------------------------------------------------------------

class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.statuses = {}
        self.wrong = []
        self.hung = []
        self.holder_stopped = False
        self.ok_while_stopped = 0
        # (server name, generation) -> [fair calls that ended while it lived, of them answered]
        self.generations = {}
        self.deaf = []

    def add(self, status, wrong=None):
        with self.lock:
            self.statuses[status] = self.statuses.get(status, 0) + 1
            if wrong:
                self.wrong.append(wrong)
            elif status == 0 and self.holder_stopped:
                self.ok_while_stopped += 1

    def fair(self, server, generation, started, limit_ms, status):
        """A fair call's outcome: a time-out is deaf unless the server was
        killed before the limit ran out; the call counts for its server's
        generation if it ended while that lived."""
        ended = server.ended.get(generation)
        alive_throughout = ended is None or ended > started + limit_ms / 1000
        with self.lock:
            if status == 1 and alive_throughout:
                self.deaf.append(f"{server.name} (pid {server.pid if ended is None else 'killed'}, "
                                 f"generation {generation}): a time-out of {limit_ms} ms")
            if ended is None or ended > time.monotonic():
                counts = self.generations.setdefault((server.name, generation), [0, 0])
                counts[0] += 1
                counts[1] += status == 0


def is_fair(method, args, limit_ms):
    """Whether a live server must answer this call in time: a quick method,
    an argument that fits its mailbox, a limit no scheduling delay outruns."""
    return method != "slow" and len(args) < MAILBOX_BYTES // 2 and limit_ms >= FAIR_LIMIT_MS


def random_call(rng):
    method = rng.choice(["echo", "echo", "reverse", "digest", "slow"])
    roll = rng.random()
    size = rng.randrange(0, 256) if roll < 0.7 else rng.randrange(0, 30000) if roll < 0.97 else 70000
    args = rng.randbytes(size)
    if method == "slow":
        args = rng.randrange(0, 200).to_bytes(2, "little") + args
    limit_ms = rng.choice([rng.randrange(1, 50), rng.randrange(50, 1000), rng.randrange(1000, 3000)])
    return method, args, limit_ms


def client_thread(node, servers, servers_lock, stop, tally, seed):
    rng = random.Random(seed)
    while not stop.is_set():
        batch = []
        for _ in range(rng.randrange(1, 9)):
            with servers_lock:
                server = rng.choice(servers)
                target = (server.name, server.pid, server.generation)
            method, args, limit_ms = random_call(rng)
            started = time.monotonic()
            future = node.call_raw(target[0], target[1], method, args, limit_ms)
            batch.append((future, method, args, limit_ms, started, server, target[2]))
        for future, method, args, limit_ms, started, server, generation in batch:
            left = started + limit_ms / 1000 + HUNG_MARGIN - time.monotonic()
            try:
                result = future.result(timeout=max(left, 0))
            except concurrent.futures.TimeoutError:
                with tally.lock:
                    tally.hung.append((method, len(args), limit_ms, future))
                continue
            wrong = None
            if result.status not in STATUS_NAMES:
                wrong = f"{method}: status {result.status}"
            elif result.status == 0 and result.result != expected_result(method, args):
                wrong = f"{method}: {len(args)} bytes answered with {len(result.result)} other bytes"
            tally.add(result.status, wrong)
            if is_fair(method, args, limit_ms):
                tally.fair(server, generation, started, limit_ms, result.status)


def killer_thread(servers, servers_lock, stop, rng, restarts):
    while not stop.wait(rng.uniform(0.5, 1.5) * KILL_EVERY):
        with servers_lock:
            server = rng.choice(servers)
        server.kill()
        server.start()  # under the same name, with a new process id
        restarts[0] += 1


def foreign_thread(servers, servers_lock, stop, rng, writer):
    while not stop.wait(rng.uniform(0.5, 1.5) * FOREIGN_EVERY):
        with servers_lock:
            mailbox = rng.choice(servers).mailbox_name()
        writer.write_one(mailbox, rng)


def stopped_holder_thread(system, servers, servers_lock, stop, seconds, tally, restarts):
    if stop.wait(1.0):
        return
    holder = BookHolder(system)
    with tally.lock:
        tally.holder_stopped = True
    stop.wait(max(seconds - 3.0, 1.0))
    with tally.lock:
        tally.holder_stopped = False
    holder.kill()
    # The book is free again: a crashed server comes back under its name.
    with servers_lock:
        server = servers[0]
    server.kill()
    server.start()
    restarts[0] += 1


def leftovers(system):
    return sorted(f for f in os.listdir(OBJECT_DIR) if f.startswith(OBJECT_PREFIX) and system in f)


def soak(seconds, stopped_holder=False):
    import tarnvel_core

    system = f"soak{os.getpid()}"
    rng = random.Random(os.getpid())
    servers = [Server(system, i) for i in range(SERVERS)]
    for server in servers:
        server.start()
    servers_lock = threading.Lock()
    stop = threading.Event()
    tally = Tally()
    restarts = [0]
    writer = ForeignWriter()

    node = tarnvel_core.Tarnvel("client", system, f"{system}_c", MAILBOX_BYTES)
    threads = [threading.Thread(target=client_thread, args=(node, servers, servers_lock, stop, tally, seed))
               for seed in range(CLIENT_THREADS)]
    if stopped_holder:
        threads.append(threading.Thread(target=stopped_holder_thread,
                                        args=(system, servers, servers_lock, stop, seconds, tally, restarts)))
    else:
        threads.append(threading.Thread(target=killer_thread,
                                        args=(servers, servers_lock, stop, random.Random(rng.random()), restarts)))
    threads.append(threading.Thread(target=foreign_thread,
                                    args=(servers, servers_lock, stop, random.Random(rng.random()), writer)))
    for thread in threads:
        thread.start()
    time.sleep(seconds)
    stop.set()
    for thread in threads:
        thread.join()

    for server in servers:
        server.quit()
    node.close()
    # Close ends every call still pending, the hung ones included.
    still_open = sum(not future.done() for *_, future in tally.hung)
    # A node's construction sweeps what killed processes left behind.
    tarnvel_core.Tarnvel("sweeper", system + "_sweep", system + "_sweeper", 4096).close()
    deadline = time.monotonic() + 5
    while leftovers(system) and time.monotonic() < deadline:
        time.sleep(0.05)
    left = leftovers(system)
    deaf_servers = [f"{name} generation {g}: {made} calls, none answered"
                    for (name, g), (made, answered) in sorted(tally.generations.items()) if made and not answered]

    total = sum(tally.statuses.values())
    by_status = "  ".join(f"{STATUS_NAMES.get(s, s)} {n}" for s, n in sorted(tally.statuses.items()))
    print(f"soak: {seconds:g} s, {SERVERS} servers restarted {restarts[0]} times after SIGKILL, "
          f"{CLIENT_THREADS} client threads")
    print("foreign records: " + ", ".join(f"{kind} {n}" for kind, n in writer.counts.items()))
    print(f"calls: {total}  {by_status}")
    print(f"wrong answers: {len(tally.wrong)}")
    for wrong in tally.wrong[:10]:
        print("  " + wrong)
    print(f"hung calls: {len(tally.hung)}" + (f" ({still_open} still not done after close)" if still_open else ""))
    for method, size, limit_ms, _ in tally.hung[:10]:
        print(f"  {method} with {size} bytes, limit {limit_ms} ms")
    print(f"deaf calls (time-outs a live server owed an answer): {len(tally.deaf)}")
    for deaf in tally.deaf[:10]:
        print("  " + deaf)
    print(f"server generations: {len(tally.generations)}, answering none of their calls: {len(deaf_servers)}")
    for deaf in deaf_servers[:10]:
        print("  " + deaf)
    print("leftovers in /dev/shm: " + (", ".join(left) if left else "none"))
    failed = tally.wrong or tally.hung or left or tally.deaf or deaf_servers or not tally.statuses.get(0)
    if stopped_holder:
        print(f"calls answered while the book holder was stopped: {tally.ok_while_stopped}")
        failed = failed or not tally.ok_while_stopped
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "serve":
        serve(*sys.argv[2:5])
    elif len(sys.argv) > 1 and sys.argv[1] == "hold-book":
        hold_book(sys.argv[2])
    else:
        options = [a for a in sys.argv[1:] if a.startswith("--")]
        numbers = [a for a in sys.argv[1:] if not a.startswith("--")]
        if set(options) - {"--stopped-holder"}:
            sys.exit(f"usage: {sys.argv[0]} [SECONDS] [--stopped-holder]")
        sys.exit(soak(float(numbers[0]) if numbers else 15.0, "--stopped-holder" in options))
