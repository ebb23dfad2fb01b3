// Round-trip benchmark: one process calls "echo" on a tarnvel node served by
// a second process, and the same traffic runs over a Unix stream socket as a
// baseline, each row in turns with tarnvel's. Prints numbers only; nothing
// here passes or fails.
//
//   tarnvel_bench [--json FILE]          the benchmark (the client); FILE gets
//                                        every row and every latency sample
//   tarnvel_bench round-trips tarnvel|socket <bytes> <n>
//                                        a warm-up, then n sequential round
//                                        trips and nothing else: run under
//                                        strace to count their system calls
//   tarnvel_bench window-calls tarnvel|socket <bytes> <n> <window>
//                                        the same for n calls with <window>
//                                        outstanding
//   tarnvel_bench server <system> <bytes> a node with "echo", until stdin closes
//   tarnvel_bench uds-server             socket echo on stdin, until it closes
//   tarnvel_bench epoll-server <path>    socket echo for many clients (fan-in)
//   tarnvel_bench fan-in                 the fan-in rows alone
//   tarnvel_bench fan-in-client tarnvel <system> <pid> <index> <ms>
//   tarnvel_bench fan-in-client socket <path> <ms>
//                                        one client of the fan-in rows: after
//                                        "go" on stdin, sequential calls for
//                                        <ms>, then "done <calls> <errors>"
#include "child_process.hpp"
#include "epoll_echo.hpp"
#include "uds_echo.hpp"

#include "tarnvel/tarnvel.hpp"

#include <boost/json/serialize.hpp>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tarnvel::bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t MAILBOX_BYTES = 4u << 20;
constexpr uint64_t FAN_IN_CLIENT_MAILBOX_BYTES = 1u << 20;
constexpr int64_t CALL_TIMEOUT_MS = 2000;
constexpr size_t WARMUP_CALLS = 200;
constexpr size_t LATENCY_CALLS = 5000;
constexpr size_t THROUGHPUT_WARMUP_CALLS = 500;
constexpr auto THROUGHPUT_TIME = std::chrono::milliseconds(1000);
// Each row and its baseline are taken in this many shares, in turns: see in_turns.
constexpr size_t TURNS = 4;
// A row stops early once this many calls have failed: a broken transport
// should show up as a row of errors, not as minutes of time-outs.
constexpr size_t MAX_ERRORS = 10;
constexpr const char* SERVER_NODE = "bench-server";
constexpr const char* CLIENT_NODE = "bench-client";
constexpr const char* METHOD = "echo";
// The same echo as a plain method, whose argument is copied out of the
// mailbox before it runs: one row beside the in-place one at 1 MiB.
constexpr const char* PLAIN_METHOD = "echo_plain";
constexpr size_t PLAIN_METHOD_PAYLOAD = 1u << 20;
const size_t LATENCY_PAYLOADS[] = {16, 4096, 65536, 1u << 20};
const size_t THROUGHPUT_PAYLOADS[] = {16, 4096};
const size_t WINDOWS[] = {1, 16, 128};
// Fan-in: this many client processes, each making sequential 16 B calls.
const size_t FAN_IN_CLIENTS[] = {1, 4, 16};
constexpr int FAN_IN_MILLISECONDS = 1000;
// Flow control: bursts of this many 4 KiB calls at once into a mailbox that
// holds a few of them (calls wait for room) and into one that holds them all.
constexpr size_t BURST_CALLS = 512;
constexpr size_t BURST_ROUNDS = 10;
constexpr uint64_t SMALL_MAILBOX_BYTES = 64u << 10;

// Fewer calls for large payloads, so each row takes a second or two.
size_t latency_calls(size_t payload) { return payload <= 4096 ? LATENCY_CALLS : payload <= 65536 ? 1000 : 200; }

// ---------------------------------------------------------------- servers

int run_server(const std::string& system, uint64_t mailbox_bytes) {
    try {
        Tarnvel node(SERVER_NODE, system, "bench_srv", mailbox_bytes);
        boost::json::object descriptor{{"type", "method"},
                                       {"name", METHOD},
                                       {"params", boost::json::array{boost::json::object{{"type", "bytes"}}}},
                                       {"return", boost::json::array{boost::json::object{{"type", "bytes"}}}}};
        boost::json::object plain_descriptor = descriptor;
        plain_descriptor["name"] = PLAIN_METHOD;
        // Answered from where the argument lies: the one copy on the server's
        // side is the answer's, into the caller's mailbox.
        const InPlaceHandler echo = [](BytesView args, Reply reply) { reply.complete(args); };
        if (!node.register_in_place_method(std::move(descriptor), echo) ||
            !node.register_method(std::move(plain_descriptor), [](Bytes args) { return args; }))
            throw std::runtime_error("cannot register echo");
        // Announced only now: a call that raced the registration would fail.
        std::string ready = "ready " + std::to_string(node.pid()) + "\n";
        if (::write(1, ready.data(), ready.size()) != static_cast<ssize_t>(ready.size())) return 1;
        char sink[64];
        for (;;) {
            ssize_t got = ::read(0, sink, sizeof sink);
            if (got == 0 || (got < 0 && errno != EINTR)) break;
        }
        node.close();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarnvel_bench server: %s\n", e.what());
        return 1;
    }
}

// ---------------------------------------------------------------- results

struct LatencyRow {
    std::string transport;
    size_t payload = 0;
    size_t calls = 0;
    double p50_us = 0;
    double p90_us = 0;
    double p99_us = 0;
    double mean_us = 0;
    size_t errors = 0;
    std::vector<double> samples_us;  // in the order taken
};

struct FanInRow {
    std::string transport;
    size_t clients = 0;
    size_t calls = 0;
    double seconds = 0;
    size_t errors = 0;
};

struct BurstRow {
    uint64_t mailbox = 0;
    size_t calls = 0;
    double seconds = 0;
    double p50_us = 0;
    double p99_us = 0;
    size_t errors = 0;
};

struct ThroughputRow {
    std::string transport;
    size_t payload = 0;
    size_t window = 0;
    size_t calls = 0;
    double seconds = 0;
    size_t errors = 0;
};

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Nearest rank on sorted samples.
double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

LatencyRow summarise(std::string transport, size_t payload, std::vector<double> samples, size_t errors) {
    LatencyRow row{std::move(transport), payload, samples.size(), 0, 0, 0, 0, errors, samples};
    if (samples.empty()) return row;
    std::sort(samples.begin(), samples.end());
    row.p50_us = percentile(samples, 0.50);
    row.p90_us = percentile(samples, 0.90);
    row.p99_us = percentile(samples, 0.99);
    double sum = 0;
    for (double s : samples) sum += s;
    row.mean_us = sum / static_cast<double>(samples.size());
    return row;
}

Bytes make_payload(size_t size) {
    Bytes payload(size);
    for (size_t i = 0; i < size; ++i) payload[i] = static_cast<uint8_t>(i * 131 + 7);
    return payload;
}

// One row out of the rows of its turns.
LatencyRow joined(const std::vector<LatencyRow>& turns) {
    std::vector<double> samples;
    size_t errors = 0;
    for (const LatencyRow& turn : turns) {
        samples.insert(samples.end(), turn.samples_us.begin(), turn.samples_us.end());
        errors += turn.errors;
    }
    return summarise(turns.front().transport, turns.front().payload, std::move(samples), errors);
}

template <typename Row>
Row joined(const std::vector<Row>& turns) {
    Row row = turns.front();
    for (size_t i = 1; i < turns.size(); ++i) {
        row.calls += turns[i].calls;
        row.seconds += turns[i].seconds;
        row.errors += turns[i].errors;
    }
    return row;
}

// A tarnvel row and its baseline, each taken in TURNS shares, one of each in
// turn and which goes first alternating, so that both see the same spells of
// a shared host. Taken whole, one after the other (the rows of one transport
// a minute apart from the other's), their ratio moved with whatever else the
// host ran meanwhile: 1.9x to 5.5x in five runs of one build.
template <typename Ours, typename Theirs>
auto in_turns(Ours&& ours, Theirs&& theirs) {
    std::vector<decltype(ours())> our_turns;
    std::vector<decltype(theirs())> their_turns;
    for (size_t turn = 0; turn < TURNS; ++turn) {
        if (turn % 2 == 0) {
            our_turns.push_back(ours());
            their_turns.push_back(theirs());
        } else {
            their_turns.push_back(theirs());
            our_turns.push_back(ours());
        }
    }
    return std::pair{joined(our_turns), joined(their_turns)};
}

// ---------------------------------------------------------------- tarnvel

struct TarnvelTarget {
    Tarnvel& node;
    uint32_t pid;
    const char* method = METHOD;

    CallFuture call(const Bytes& payload) { return node.call(SERVER_NODE, pid, method, payload, CALL_TIMEOUT_MS); }
};

bool echoed(const CallResult& r, const Bytes& payload) { return r.status == STATUS_OK && r.result == payload; }

LatencyRow tarnvel_latency(TarnvelTarget target, size_t size, size_t calls) {
    Bytes payload = make_payload(size);
    size_t errors = 0;
    for (size_t i = 0; i < WARMUP_CALLS && errors < MAX_ERRORS; ++i)
        if (!echoed(target.call(payload).get(), payload)) ++errors;
    std::vector<double> samples;
    samples.reserve(calls);
    for (size_t i = 0; i < calls && errors < MAX_ERRORS; ++i) {
        Bytes args = payload;
        auto start = Clock::now();
        CallResult r = target.node.call(SERVER_NODE, target.pid, target.method, std::move(args), CALL_TIMEOUT_MS).get();
        auto took = Clock::now() - start;
        if (echoed(r, payload))
            samples.push_back(micros(took));
        else
            ++errors;
    }
    return summarise("tarnvel", size, std::move(samples), errors);
}

// Warms up with `run`, then lets it run for the measured time; `run(max_calls,
// deadline)` keeps its window full and returns the calls it completed.
// With `fixed_calls`, runs that many calls instead, however long they take.
template <typename Run>
void measure_throughput(ThroughputRow& row, Run& run, size_t fixed_calls) {
    run(THROUGHPUT_WARMUP_CALLS, Clock::time_point::max());
    row.errors = 0;
    const auto start = Clock::now();
    row.calls =
        fixed_calls > 0 ? run(fixed_calls, Clock::time_point::max()) : run(SIZE_MAX, start + THROUGHPUT_TIME / TURNS);
    row.seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

// The completion form of call, as a client that keeps a window full would use
// it: each completion (on the node's io thread) starts the next call, so no
// thread waits on a future per call. The completion reads the answer where it
// lies, as the socket client reads its answer in its own buffer.
ThroughputRow tarnvel_throughput(TarnvelTarget target, size_t size, size_t window, size_t fixed_calls = 0) {
    Bytes payload = make_payload(size);
    ThroughputRow row{"tarnvel", size, window, 0, 0, 0};
    auto run = [&](size_t max_calls, Clock::time_point deadline) {
        std::mutex mutex;
        std::condition_variable idle;
        // Counters without a lock, as a client would keep them: the lock is
        // taken only for the last call's end, which is decremented and told
        // under it, so that the waiting thread cannot see the count at 0 and
        // leave (taking the lock with it) before it has been told.
        std::atomic<size_t> outstanding{0};
        std::atomic<size_t> issued{0};
        std::atomic<size_t> completed{0};
        std::atomic<size_t> errors{0};
        std::atomic<bool> over{false};
        std::function<void()> issue;
        // No lock is held across call(): a call that ends at once runs its
        // completion inside it.
        const auto on_done = [&](const CallResultView& r) {
            if (r.status == STATUS_OK && r.result.bytes().size() == size)
                completed.fetch_add(1, std::memory_order_relaxed);
            else
                ++errors;
            issue();
            size_t left = outstanding.load();
            for (;;) {
                if (left == 1) {
                    std::lock_guard lock(mutex);
                    if (outstanding.fetch_sub(1) == 1) idle.notify_all();
                    return;
                }
                if (outstanding.compare_exchange_weak(left, left - 1)) return;
            }
        };
        issue = [&] {
            if (over.load(std::memory_order_relaxed)) return;
            const size_t n = issued.fetch_add(1, std::memory_order_relaxed);
            // The clock every 16 calls: reading it per call cost as much as a
            // tenth of the call.
            if (errors.load(std::memory_order_relaxed) >= MAX_ERRORS || n >= max_calls ||
                (n % 16 == 0 && Clock::now() >= deadline)) {
                over.store(true, std::memory_order_relaxed);
                return;
            }
            outstanding.fetch_add(1);
            target.node.call_in_place(SERVER_NODE, target.pid, METHOD, BytesView(payload), CALL_TIMEOUT_MS, on_done);
        };
        for (size_t i = 0; i < window; ++i) issue();
        std::unique_lock lock(mutex);
        idle.wait(lock, [&] { return outstanding.load() == 0; });
        row.errors += errors;
        return completed.load();
    };
    measure_throughput(row, run, fixed_calls);
    return row;
}

// ---------------------------------------------------------------- socket

LatencyRow uds_latency(UdsClient& client, size_t size, size_t calls) {
    Bytes payload = make_payload(size);
    size_t errors = 0;
    auto same = [&](std::pair<const uint8_t*, size_t> answer) {
        return answer.second == size && std::memcmp(answer.first, payload.data(), size) == 0;
    };
    for (size_t i = 0; i < WARMUP_CALLS; ++i) {
        client.send(payload);
        if (!same(client.receive())) ++errors;
    }
    std::vector<double> samples;
    samples.reserve(calls);
    for (size_t i = 0; i < calls; ++i) {
        auto start = Clock::now();
        client.send(payload);
        auto answer = client.receive();
        auto took = Clock::now() - start;
        if (same(answer))
            samples.push_back(micros(took));
        else
            ++errors;
    }
    return summarise("unix socket", size, std::move(samples), errors);
}

ThroughputRow uds_throughput(UdsClient& client, size_t size, size_t window, size_t fixed_calls = 0) {
    Bytes payload = make_payload(size);
    ThroughputRow row{"unix socket", size, window, 0, 0, 0};
    auto run = [&](size_t max_calls, Clock::time_point deadline) {
        size_t issued = 0;
        size_t completed = 0;
        size_t in_flight = 0;
        // The clock every 16 calls, as the tarnvel client reads it.
        bool open = true;
        const auto still_open = [&] {
            if (open && (issued >= max_calls || (issued % 16 == 0 && Clock::now() >= deadline))) open = false;
            return open;
        };
        while (still_open() || in_flight > 0) {
            if (in_flight < window && still_open()) {
                client.send(payload);
                ++issued;
                ++in_flight;
                continue;
            }
            auto answer = client.receive();
            --in_flight;
            if (answer.second == size)
                ++completed;
            else
                ++row.errors;
        }
        return completed;
    };
    measure_throughput(row, run, fixed_calls);
    return row;
}

// ---------------------------------------------------------------- fan-in

uint32_t find_server(const Tarnvel& node, uint32_t pid);

bool read_stdin_line(std::string& line) {
    line.clear();
    char c;
    for (;;) {
        ssize_t got = ::read(0, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        if (c == '\n') return true;
        line.push_back(c);
    }
}

void wait_for_stdin_end() {
    std::string line;
    while (read_stdin_line(line)) {
    }
}

// One fan-in client: announces itself, waits for "go", makes sequential calls
// for the given time and reports them. `call` makes one call and says whether
// it was answered correctly.
template <typename Call>
int fan_in_client(int milliseconds, Call&& call) {
    if (::write(1, "ready\n", 6) != 6) return 1;
    std::string line;
    if (!read_stdin_line(line) || line != "go") return 1;
    size_t calls = 0;
    size_t errors = 0;
    const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (Clock::now() < until && errors < MAX_ERRORS) {
        if (call())
            ++calls;
        else
            ++errors;
    }
    std::string done = "done " + std::to_string(calls) + " " + std::to_string(errors) + "\n";
    if (::write(1, done.data(), done.size()) != static_cast<ssize_t>(done.size())) return 1;
    wait_for_stdin_end();
    return 0;
}

int run_fan_in_client(const std::vector<std::string>& args) {
    const Bytes payload = make_payload(16);
    if (args.size() == 6 && args[1] == "tarnvel") {
        const auto pid = static_cast<uint32_t>(std::stoul(args[3]));
        Tarnvel node("bench-fan-" + args[4], args[2], "bench_fan_" + args[4], FAN_IN_CLIENT_MAILBOX_BYTES);
        int rc = fan_in_client(std::stoi(args[5]), [&] {
            return echoed(node.call(SERVER_NODE, pid, METHOD, payload, CALL_TIMEOUT_MS).get(), payload);
        });
        node.close();
        return rc;
    }
    if (args.size() == 4 && args[1] == "socket") {
        UdsClient client(connect_unix(args[2]));
        return fan_in_client(std::stoi(args[3]), [&] {
            client.send(payload);
            auto answer = client.receive();
            return answer.second == payload.size() && std::memcmp(answer.first, payload.data(), payload.size()) == 0;
        });
    }
    throw std::runtime_error("bad fan-in-client arguments");
}

// Starts `clients` client processes with `client_args` (plus their index
// where `indexed`), lets them all go at once and adds up what they did.
FanInRow fan_in(const std::string& transport, size_t clients, const std::vector<std::string>& client_args,
                bool indexed) {
    constexpr int MILLISECONDS = FAN_IN_MILLISECONDS / static_cast<int>(TURNS);
    FanInRow row{transport, clients, 0, static_cast<double>(MILLISECONDS) / 1000.0, 0};
    std::vector<ChildProcess> children;
    for (size_t i = 0; i < clients; ++i) {
        std::vector<std::string> args = client_args;
        if (indexed) args.push_back(std::to_string(i));
        args.push_back(std::to_string(MILLISECONDS));
        children.push_back(ChildProcess::spawn_with_pipes(args));
    }
    for (auto& child : children) {
        auto line = child.read_line(std::chrono::seconds(20));
        if (!line || *line != "ready") throw std::runtime_error(transport + " fan-in client did not start");
    }
    for (auto& child : children) child.write_line("go");
    for (auto& child : children) {
        auto line = child.read_line(std::chrono::milliseconds(MILLISECONDS) + std::chrono::seconds(30));
        size_t calls = 0;
        size_t errors = 0;
        if (!line || std::sscanf(line->c_str(), "done %zu %zu", &calls, &errors) != 2) {
            ++row.errors;
            continue;
        }
        row.calls += calls;
        row.errors += errors;
    }
    for (auto& child : children) {
        std::string status = child.finish();
        if (status != "exit 0") std::fprintf(stderr, "fan-in client ended: %s\n", status.c_str());
    }
    return row;
}

std::vector<FanInRow> fan_in_rows(const std::string& system) {
    ChildProcess server = ChildProcess::spawn_with_pipes({"server", system, std::to_string(MAILBOX_BYTES)});
    auto line = server.read_line(std::chrono::seconds(20));
    if (!line || line->rfind("ready ", 0) != 0) throw std::runtime_error("fan-in server did not start");
    const std::string path = "/tmp/" + system + ".sock";
    ChildProcess socket_server = ChildProcess::spawn_with_pipes({"epoll-server", path});
    line = socket_server.read_line(std::chrono::seconds(20));
    if (!line || *line != "ready") throw std::runtime_error("epoll server did not start");
    // Each baseline row under its tarnvel row.
    std::vector<FanInRow> all;
    for (size_t clients : FAN_IN_CLIENTS) {
        auto [ours, theirs] = in_turns(
            [&] {
                return fan_in("tarnvel", clients, {"fan-in-client", "tarnvel", system, std::to_string(server.pid())},
                              true);
            },
            [&] {
                return fan_in("unix socket", clients, {"fan-in-client", "socket", path}, false);
            });
        all.push_back(ours);
        all.push_back(theirs);
    }
    socket_server.finish();
    server.finish();
    return all;
}

// ---------------------------------------------------------------- flow control

// Bursts of BURST_CALLS 4 KiB calls issued at once to a server whose mailbox
// has `server_mailbox` bytes; each call's time runs from its issue to its
// completion, and the rate over the whole burst.
BurstRow burst_row(const std::string& system, uint64_t server_mailbox) {
    BurstRow row{server_mailbox, 0, 0, 0, 0, 0};
    ChildProcess server = ChildProcess::spawn_with_pipes({"server", system, std::to_string(server_mailbox)});
    auto line = server.read_line(std::chrono::seconds(20));
    if (!line || line->rfind("ready ", 0) != 0) throw std::runtime_error("burst server did not start");
    Tarnvel node(CLIENT_NODE, system, "bench_cli", MAILBOX_BYTES);
    const uint32_t pid = find_server(node, static_cast<uint32_t>(server.pid()));
    const Bytes payload = make_payload(4096);
    std::vector<double> samples;
    for (size_t round = 0; round <= BURST_ROUNDS; ++round) {  // round 0 warms up
        std::vector<Clock::time_point> started(BURST_CALLS);
        std::vector<double> took(BURST_CALLS, 0);
        std::mutex mutex;
        std::condition_variable all_done;
        size_t left = BURST_CALLS;
        size_t failed = 0;
        const auto start = Clock::now();
        for (size_t i = 0; i < BURST_CALLS; ++i) {
            started[i] = Clock::now();
            node.call(SERVER_NODE, pid, METHOD, payload, CALL_TIMEOUT_MS, [&, i](CallResult r) {
                const auto end = Clock::now();
                std::lock_guard lock(mutex);
                took[i] = micros(end - started[i]);
                if (r.status != STATUS_OK || r.result.size() != payload.size()) ++failed;
                if (--left == 0) all_done.notify_all();
            });
        }
        std::unique_lock lock(mutex);
        all_done.wait(lock, [&] { return left == 0; });
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (round == 0) continue;
        row.seconds += seconds;
        row.calls += BURST_CALLS - failed;
        row.errors += failed;
        samples.insert(samples.end(), took.begin(), took.end());
    }
    node.close();
    server.finish();
    std::sort(samples.begin(), samples.end());
    row.p50_us = percentile(samples, 0.50);
    row.p99_us = percentile(samples, 0.99);
    return row;
}

// ---------------------------------------------------------------- client

uint32_t find_server(const Tarnvel& node, uint32_t pid) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        for (const NodeInfo& info : node.list_nodes())
            if (info.node_name == SERVER_NODE && info.pid == pid) return info.pid;
        if (Clock::now() > deadline) throw std::runtime_error("server node not in the book");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string size_text(size_t bytes) {
    if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes / 1024) + " KiB";
    return std::to_string(bytes) + " B";
}

void print_tables(const std::vector<LatencyRow>& latency, const std::vector<ThroughputRow>& throughput,
                  const std::vector<FanInRow>& fan_in, const std::vector<BurstRow>& bursts) {
    std::printf(
        "\nSequential round trips (up to %zu timed calls per row, in %zu turns with the baseline's, each after "
        "%zu warm-up calls)\n",
        LATENCY_CALLS, TURNS, WARMUP_CALLS);
    std::printf("%-12s %8s %8s %10s %10s %10s %10s %7s\n", "transport", "payload", "calls", "p50 us", "p90 us",
                "p99 us", "mean us", "errors");
    for (const auto& r : latency)
        std::printf("%-12s %8s %8zu %10.1f %10.1f %10.1f %10.1f %7zu\n", r.transport.c_str(),
                    size_text(r.payload).c_str(), r.calls, r.p50_us, r.p90_us, r.p99_us, r.mean_us, r.errors);

    std::printf(
        "\nThroughput with a full window of outstanding calls (%.1f s per row, in %zu turns with the "
        "baseline's, each after %zu warm-up calls)\n",
        std::chrono::duration<double>(THROUGHPUT_TIME).count(), TURNS, THROUGHPUT_WARMUP_CALLS);
    std::printf("%-12s %8s %7s %9s %8s %12s %7s\n", "transport", "payload", "window", "calls", "seconds", "calls/s",
                "errors");
    for (const auto& r : throughput)
        std::printf("%-12s %8s %7zu %9zu %8.2f %12.0f %7zu\n", r.transport.c_str(), size_text(r.payload).c_str(),
                    r.window, r.calls, r.seconds, r.seconds > 0 ? static_cast<double>(r.calls) / r.seconds : 0.0,
                    r.errors);

    std::printf(
        "\nFan-in: client processes each making sequential 16 B calls to one server for %.1f s, in %zu turns "
        "with the baseline's\n",
        FAN_IN_MILLISECONDS / 1000.0, TURNS);
    std::printf("%-12s %8s %9s %12s %7s\n", "transport", "clients", "calls", "calls/s", "errors");
    for (const auto& r : fan_in)
        std::printf("%-12s %8zu %9zu %12.0f %7zu\n", r.transport.c_str(), r.clients, r.calls,
                    static_cast<double>(r.calls) / r.seconds, r.errors);

    std::printf("\nFlow control: %zu bursts of %zu 4 KiB calls issued at once\n", BURST_ROUNDS, BURST_CALLS);
    std::printf("%-22s %9s %12s %10s %10s %7s\n", "server mailbox", "calls", "calls/s", "p50 us", "p99 us", "errors");
    for (const auto& r : bursts)
        std::printf("%-22s %9zu %12.0f %10.1f %10.1f %7zu\n", (std::to_string(r.mailbox >> 10) + " KiB").c_str(),
                    r.calls, r.seconds > 0 ? static_cast<double>(r.calls) / r.seconds : 0.0, r.p50_us, r.p99_us,
                    r.errors);
}

// Runs `body(target)` against a tarnvel echo server in a second process.
template <typename Body>
void with_tarnvel_server(const std::string& system, Body&& body) {
    ChildProcess server = ChildProcess::spawn_with_pipes({"server", system, std::to_string(MAILBOX_BYTES)});
    auto line = server.read_line(std::chrono::seconds(20));
    if (!line || line->rfind("ready ", 0) != 0) {
        std::string status = server.finish();
        throw std::runtime_error("server did not start (" + status + ")");
    }
    Tarnvel node(CLIENT_NODE, system, "bench_cli", MAILBOX_BYTES);
    body(TarnvelTarget{node, find_server(node, static_cast<uint32_t>(server.pid()))});
    node.close();
    std::string status = server.finish();
    if (status != "exit 0") std::fprintf(stderr, "tarnvel server ended: %s\n", status.c_str());
}

// Runs `body(client)` against a socket echo server in a second process.
template <typename Body>
void with_socket_server(Body&& body) {
    ChildProcess server = ChildProcess::spawn_with_socket({"uds-server"});
    UdsClient client(server.socket());
    body(client);
    std::string status = server.finish();
    if (status != "exit 0") std::fprintf(stderr, "socket server ended: %s\n", status.c_str());
}

std::string system_name() { return "tarnvel_bench_" + std::to_string(::getpid()); }

boost::json::object to_json(const LatencyRow& r) {
    return {{"transport", r.transport},
            {"payload_bytes", r.payload},
            {"calls", r.calls},
            {"p50_us", r.p50_us},
            {"p90_us", r.p90_us},
            {"p99_us", r.p99_us},
            {"mean_us", r.mean_us},
            {"errors", r.errors},
            {"samples_us", boost::json::array(r.samples_us.begin(), r.samples_us.end())}};
}

boost::json::object to_json(const ThroughputRow& r) {
    return {{"transport", r.transport}, {"payload_bytes", r.payload},
            {"window", r.window},       {"calls", r.calls},
            {"seconds", r.seconds},     {"calls_per_s", r.seconds > 0 ? static_cast<double>(r.calls) / r.seconds : 0.0},
            {"errors", r.errors}};
}

boost::json::object to_json(const FanInRow& r) {
    return {{"transport", r.transport},
            {"clients", r.clients},
            {"calls", r.calls},
            {"seconds", r.seconds},
            {"calls_per_s", static_cast<double>(r.calls) / r.seconds},
            {"errors", r.errors}};
}

boost::json::object to_json(const BurstRow& r) {
    return {{"mailbox_bytes", r.mailbox},
            {"burst", BURST_CALLS},
            {"calls", r.calls},
            {"seconds", r.seconds},
            {"calls_per_s", r.seconds > 0 ? static_cast<double>(r.calls) / r.seconds : 0.0},
            {"p50_us", r.p50_us},
            {"p99_us", r.p99_us},
            {"errors", r.errors}};
}

void write_json(const std::string& path, const std::vector<LatencyRow>& latency,
                const std::vector<LatencyRow>& plain_method, const std::vector<ThroughputRow>& throughput,
                const std::vector<FanInRow>& fan_in, const std::vector<BurstRow>& bursts) {
    boost::json::array fan_in_rows;
    for (const auto& r : fan_in) fan_in_rows.push_back(to_json(r));
    boost::json::array burst_rows;
    for (const auto& r : bursts) burst_rows.push_back(to_json(r));
    boost::json::array latency_rows;
    for (const auto& r : latency) latency_rows.push_back(to_json(r));
    boost::json::array plain_rows;
    for (const auto& r : plain_method) plain_rows.push_back(to_json(r));
    boost::json::array throughput_rows;
    for (const auto& r : throughput) throughput_rows.push_back(to_json(r));
    boost::json::object all{{"hardware_threads", std::thread::hardware_concurrency()},
                            {"latency", std::move(latency_rows)},
                            {"plain_method", std::move(plain_rows)},
                            {"throughput", std::move(throughput_rows)},
                            {"fan_in", std::move(fan_in_rows)},
                            {"bursts", std::move(burst_rows)}};
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << boost::json::serialize(all) << '\n';
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

int run_client(const std::string& json_path) {
    const std::string system = system_name();
    // One request record: 8-byte record header, 15-byte frame envelope, the
    // packed method name (4 + length + 1) and the argument.
    const size_t record_4k = 8 + 15 + 4 + std::strlen(METHOD) + 1 + 4096;
    std::printf("tarnvel round-trip benchmark: client pid %d, system %s\n", static_cast<int>(::getpid()),
                system.c_str());
    std::printf("mailbox %llu bytes (%llu MiB) per node; 128 outstanding 4 KiB requests need %zu bytes\n",
                static_cast<unsigned long long>(MAILBOX_BYTES), static_cast<unsigned long long>(MAILBOX_BYTES >> 20),
                128 * record_4k);
    std::printf(
        "tarnvel: method \"%s\" (in place; \"%s\" a plain method) in a second process, call time limit "
        "%lld ms\n",
        METHOD, PLAIN_METHOD, static_cast<long long>(CALL_TIMEOUT_MS));
    std::printf("baseline: Unix stream socket pair to a second process, 4-byte length + payload, echoed\n");
    std::printf("hardware threads: %u\n", std::thread::hardware_concurrency());
    std::fflush(stdout);

    // Each baseline row sits under its tarnvel row.
    std::vector<LatencyRow> latency;
    std::vector<LatencyRow> plain_method;
    std::vector<ThroughputRow> throughput;
    with_tarnvel_server(system, [&](TarnvelTarget target) {
        with_socket_server([&](UdsClient& client) {
            // The socket's server answering before anything is timed: one
            // still starting takes a core from the first turns.
            client.send(make_payload(16));
            client.receive();
            for (size_t size : LATENCY_PAYLOADS) {
                const size_t calls = latency_calls(size) / TURNS;
                auto [ours, theirs] = in_turns([&] { return tarnvel_latency(target, size, calls); },
                                               [&] { return uds_latency(client, size, calls); });
                latency.push_back(std::move(ours));
                latency.push_back(std::move(theirs));
            }
            {
                const TarnvelTarget plain{target.node, target.pid, PLAIN_METHOD};
                const size_t calls = latency_calls(PLAIN_METHOD_PAYLOAD) / TURNS;
                auto [ours, theirs] = in_turns([&] { return tarnvel_latency(plain, PLAIN_METHOD_PAYLOAD, calls); },
                                               [&] { return uds_latency(client, PLAIN_METHOD_PAYLOAD, calls); });
                ours.transport = "tarnvel plain";
                plain_method = {std::move(ours), std::move(theirs)};
            }
            for (size_t size : THROUGHPUT_PAYLOADS) {
                for (size_t window : WINDOWS) {
                    auto [ours, theirs] = in_turns([&] { return tarnvel_throughput(target, size, window); },
                                                   [&] { return uds_throughput(client, size, window); });
                    throughput.push_back(ours);
                    throughput.push_back(theirs);
                }
            }
        });
    });
    std::vector<FanInRow> fan_in = fan_in_rows(system + "_fan");
    std::vector<BurstRow> bursts{burst_row(system + "_small", SMALL_MAILBOX_BYTES),
                                 burst_row(system + "_large", MAILBOX_BYTES)};
    std::vector<LatencyRow> printed = latency;
    printed.insert(printed.end(), plain_method.begin(), plain_method.end());
    print_tables(printed, throughput, fan_in, bursts);
    if (!json_path.empty()) write_json(json_path, latency, plain_method, throughput, fan_in, bursts);
    return 0;
}

// Start-up and shut-down are the same whatever `calls` is, so the difference
// between two runs under strace is what `calls` round trips cost.
int run_round_trips(const std::string& transport, size_t size, size_t calls) {
    LatencyRow row;
    if (transport == "tarnvel")
        with_tarnvel_server(system_name(), [&](TarnvelTarget target) { row = tarnvel_latency(target, size, calls); });
    else if (transport == "socket")
        with_socket_server([&](UdsClient& client) { row = uds_latency(client, size, calls); });
    else
        throw std::runtime_error("unknown transport " + transport);
    std::printf("%s %s: %zu round trips, %zu errors; p50 %.1f us, p90 %.1f us, p99 %.1f us\n", row.transport.c_str(),
                size_text(size).c_str(), row.calls, row.errors, row.p50_us, row.p90_us, row.p99_us);
    return row.errors == 0 ? 0 : 1;
}

// The fan-in rows alone.
int run_fan_in() {
    for (const FanInRow& r : fan_in_rows(system_name() + "_fan"))
        std::printf("%s %zu clients: %.0f calls/s, %zu errors\n", r.transport.c_str(), r.clients,
                    static_cast<double>(r.calls) / r.seconds, r.errors);
    return 0;
}

int run_window_calls(const std::string& transport, size_t size, size_t calls, size_t window) {
    ThroughputRow row;
    if (transport == "tarnvel")
        with_tarnvel_server(system_name(),
                            [&](TarnvelTarget target) { row = tarnvel_throughput(target, size, window, calls); });
    else if (transport == "socket")
        with_socket_server([&](UdsClient& client) { row = uds_throughput(client, size, window, calls); });
    else
        throw std::runtime_error("unknown transport " + transport);
    std::printf("%s %s: %zu calls with %zu outstanding, %zu errors; %.0f calls/s\n", row.transport.c_str(),
                size_text(size).c_str(), row.calls, window, row.errors,
                row.seconds > 0 ? static_cast<double>(row.calls) / row.seconds : 0.0);
    return row.errors == 0 ? 0 : 1;
}

}  // namespace

}  // namespace tarnvel::bench

int main(int argc, char** argv) {
    using namespace tarnvel::bench;
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 3 && args[0] == "server") return run_server(args[1], std::stoull(args[2]));
        if (args.size() == 1 && args[0] == "uds-server") return run_uds_echo_server(0);
        // A child that has gone must not kill the client with SIGPIPE.
        ::signal(SIGPIPE, SIG_IGN);
        if (args.empty()) return run_client("");
        if (args.size() == 2 && args[0] == "--json") return run_client(args[1]);
        if (args.size() == 4 && args[0] == "round-trips")
            return run_round_trips(args[1], std::stoull(args[2]), std::stoull(args[3]));
        if (args.size() == 5 && args[0] == "window-calls")
            return run_window_calls(args[1], std::stoull(args[2]), std::stoull(args[3]), std::stoull(args[4]));
        if (args.size() == 2 && args[0] == "epoll-server") return run_epoll_echo_server(args[1]);
        if (!args.empty() && args[0] == "fan-in-client") return run_fan_in_client(args);
        if (args.size() == 1 && args[0] == "fan-in") return run_fan_in();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarnvel_bench: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: %s [--json FILE] | round-trips tarnvel|socket BYTES CALLS | "
                 "window-calls tarnvel|socket BYTES CALLS WINDOW\n",
                 argv[0]);
    return 2;
}
