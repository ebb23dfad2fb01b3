// Modes (argv[1], after an optional --timing=... from support/timing.hpp):
//   serve <node> <system> <recv> <bytes>   node with the test methods below; besides
//                                          "quit" and "release" it reads "renew <bytes>":
//                                          closes its node and constructs it again with
//                                          a mailbox of that size, then prints "renewed";
//                                          "fork-worker" forks an idle child, prints "worker <pid>"
//   hold <node> <system> <recv> <bytes>    node with the built-ins only
//   hold-many <count> <node-prefix> <system> <recv-prefix> <bytes>
//   lock-book-mutex <system>               takes the system's book mutex, then prints "ready <pid>"
//   call <node> <system> <recv> <bytes> <target> <target-pid> <method> <arg> <timeout-ms>
//                                          one call, prints "result <status> <result text>"
//   call-many <node> <system> <recv> <bytes> <target> <target-pid> <method> <count>
//                                          <count> calls at once with the arguments "0", "1", ...;
//                                          prints "matched <n>", n counting the answers equal to their argument
//
// Methods of "serve":
//   echo       answers its argument
//   fail       throws
//   empty      answers nothing
//   sleep      sleeps for the number of milliseconds in its argument
//   block      prints "blocked", then waits for a "release" line on stdin
//   record     appends its argument to a list; recorded answers the list joined by ','
//   reenter    registers a method named by its argument (an echo) and starts a
//              call of its own "echo" without waiting; inner answers that
//              call's outcome ("pending" or "<status>:<result>")
#include "peer/peer.hpp"

#include "names.hpp"
#include "platform/platform.hpp"
#include "support/timing.hpp"
#include "tarnvel/tarnvel.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tarnvel::peer {

namespace {

Bytes to_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
std::string to_text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Handlers never wait longer than this for "release", so a test that dies
// half-way cannot leave a peer stuck for ever.
constexpr auto BLOCK_LIMIT = std::chrono::seconds(20);

struct ServeState {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned releases = 0;
    bool ending = false;
    std::vector<std::string> recorded;
    std::vector<std::future<CallResult>> inner;

    void release() {
        std::lock_guard lock(mutex);
        ++releases;
        changed.notify_all();
    }
    void end() {
        std::lock_guard lock(mutex);
        ending = true;
        changed.notify_all();
    }
};

boost::json::object descriptor(std::string_view name) {
    boost::json::object d;
    d["type"] = "method";
    d["name"] = name;
    d["params"] = boost::json::array{boost::json::object{{"type", "char*"}}};
    d["return"] = boost::json::array{boost::json::object{{"type", "char*"}}};
    return d;
}

void add(Tarnvel& node, std::string_view name, MethodHandler handler) {
    if (!node.register_method(descriptor(name), std::move(handler)))
        throw std::runtime_error("cannot register " + std::string(name));
}

void register_test_methods(Tarnvel& node, const std::string& node_name, ServeState& state) {
    add(node, "echo", [](Bytes args) { return args; });
    add(node, "fail", [](Bytes) -> Bytes { throw std::runtime_error("handler failed"); });
    add(node, "empty", [](Bytes) { return Bytes{}; });
    add(node, "sleep", [](Bytes args) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(to_text(args))));
        return to_bytes("slept");
    });
    add(node, "block", [&state](Bytes) {
        std::unique_lock lock(state.mutex);
        const unsigned seen = state.releases;
        say("blocked");
        state.changed.wait_for(lock, BLOCK_LIMIT, [&] { return state.ending || state.releases != seen; });
        return to_bytes("released");
    });
    add(node, "record", [&state](Bytes args) {
        std::lock_guard lock(state.mutex);
        state.recorded.push_back(to_text(args));
        return Bytes{};
    });
    add(node, "recorded", [&state](Bytes) {
        std::lock_guard lock(state.mutex);
        std::string joined;
        for (const auto& r : state.recorded) joined += (joined.empty() ? "" : ",") + r;
        return to_bytes(joined);
    });
    add(node, "reenter", [&node, &state, node_name](Bytes args) {
        const std::string name = to_text(args);
        if (!node.register_method(descriptor(name), [](Bytes a) { return a; })) return to_bytes("refused");
        auto future = node.call(node_name, node.pid(), "echo", to_bytes(name), 10000);
        std::lock_guard lock(state.mutex);
        state.inner.push_back(std::move(future));
        return to_bytes("ok");
    });
    add(node, "inner", [&state](Bytes) {
        std::lock_guard lock(state.mutex);
        if (state.inner.empty()) return to_bytes("none");
        auto& f = state.inner.back();
        if (f.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return to_bytes("pending");
        auto r = f.get();
        state.inner.pop_back();
        return to_bytes(std::to_string(r.status) + ":" + to_text(r.result));
    });
}

// Reads lines until "quit" or the end of input.
void wait_for_quit() {
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
    }
}

// A node from args[1..4] (name, system, recv name, bytes); on failure the
// error is reported as "error <message>" and nothing is returned.
std::unique_ptr<Tarnvel> construct_node(const std::vector<std::string>& args) {
    try {
        return std::make_unique<Tarnvel>(args[1], args[2], args[3], std::stoull(args[4]));
    } catch (const std::exception& e) {
        say(std::string("error ") + e.what());
        return nullptr;
    }
}

int run_lock_book_mutex(const std::vector<std::string>& args) {
    if (args.size() != 2) return EXIT_USAGE;
    auto mutex = platform::NamedMutex::create(book_mutex_name(args[1]));
    mutex.lock();
    say("ready " + std::to_string(platform::current_process_id()));
    wait_for_quit();
    mutex.unlock();
    return 0;
}

int run_call(const std::vector<std::string>& args) {
    if (args.size() != 10) return EXIT_USAGE;
    std::unique_ptr<Tarnvel> node = construct_node(args);
    if (!node) return EXIT_CONSTRUCTION_FAILED;
    auto future = node->call(args[5], static_cast<uint32_t>(std::stoul(args[6])), args[7], to_bytes(args[8]),
                             std::stoll(args[9]));
    if (future.wait_for(std::chrono::seconds(15)) != std::future_status::ready) {
        say("result none");
    } else {
        auto r = future.get();
        say("result " + std::to_string(r.status) + " " + to_text(r.result));
    }
    node->close();
    return 0;
}

int run_call_many(const std::vector<std::string>& args) {
    if (args.size() != 9) return EXIT_USAGE;
    std::unique_ptr<Tarnvel> node = construct_node(args);
    if (!node) return EXIT_CONSTRUCTION_FAILED;
    const auto target_pid = static_cast<uint32_t>(std::stoul(args[6]));
    const int count = std::stoi(args[8]);
    std::vector<std::future<CallResult>> futures;
    for (int i = 0; i < count; ++i)
        futures.push_back(node->call(args[5], target_pid, args[7], to_bytes(std::to_string(i)), 20000));
    int matched = 0;
    for (int i = 0; i < count; ++i) {
        if (futures[i].wait_for(std::chrono::seconds(20)) != std::future_status::ready) continue;
        auto r = futures[i].get();
        if (r.status == STATUS_OK && to_text(r.result) == std::to_string(i)) ++matched;
    }
    say("matched " + std::to_string(matched));
    node->close();
    return 0;
}

}  // namespace

void say(std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

int run_node(const std::vector<std::string>& args, bool with_methods) {
    if (args.size() != 5) return EXIT_USAGE;
    ServeState state;  // outlives the node, whose handlers use it
    std::unique_ptr<Tarnvel> node = construct_node(args);
    if (!node) {
        // Stay until told, so the test can look at what this process left
        // behind while it is still alive.
        wait_for_quit();
        return EXIT_CONSTRUCTION_FAILED;
    }

    if (with_methods) register_test_methods(*node, args[1], state);
    say("ready " + std::to_string(node->pid()));

    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "quit") break;
        if (line == "release") state.release();
        if (line == "fork-worker") say("worker " + std::to_string(fork_idle_worker()));
        if (line.rfind("renew ", 0) == 0) {
            // The node closes and is constructed again under the same names
            // with a mailbox of the given size.
            node->close();
            node.reset();
            std::vector<std::string> renewed = args;
            renewed[4] = line.substr(6);
            node = construct_node(renewed);
            if (!node) return EXIT_CONSTRUCTION_FAILED;
            if (with_methods) register_test_methods(*node, args[1], state);
            say("renewed");
        }
    }
    // A handler still blocked would keep close from joining the io thread.
    state.end();
    node->close();
    {
        std::lock_guard lock(state.mutex);
        state.inner.clear();
    }
    node.reset();
    return 0;
}

}  // namespace tarnvel::peer

int main(int argc, char** argv) {
    using namespace tarnvel::peer;
    std::vector<std::string> args(argv + 1, argv + argc);
    // The shortened timing of the test that started us (support/timing.hpp).
    if (auto timing = args.empty() ? std::nullopt : tarnvel::test::parse_timing_option(args[0])) {
        tarnvel::settings::set_timing(*timing);
        args.erase(args.begin());
    }
    if (args.empty()) {
        std::fprintf(stderr, "usage: tarnvel_peer serve|hold|hold-many|lock-book-mutex|call ...\n");
        return EXIT_USAGE;
    }
    const std::string& mode = args[0];
    try {
        if (mode == "serve") return run_node(args, true);
        if (mode == "hold") return run_node(args, false);
        if (mode == "hold-many") return run_hold_many(args);
        if (mode == "lock-book-mutex") return run_lock_book_mutex(args);
        if (mode == "call") return run_call(args);
        if (mode == "call-many") return run_call_many(args);
    } catch (const std::exception& e) {
        say(std::string("error ") + e.what());
        return 1;
    }
    std::fprintf(stderr, "tarnvel_peer: unknown mode %s\n", mode.c_str());
    return EXIT_USAGE;
}
