#include "support/peer.hpp"

#include "support/timing.hpp"
#include "support/unique_names.hpp"

#include <stdexcept>

namespace tarnvel::test {

std::string peer_program() { return TARNVEL_TEST_PEER; }

ChildProcess Peer::launch(const std::vector<std::string>& args) {
    const settings::Timing timing = settings::timing();
    if (timing == settings::Timing{}) return ChildProcess(peer_program(), args);
    std::vector<std::string> with_timing{timing_option(timing)};
    with_timing.insert(with_timing.end(), args.begin(), args.end());
    return ChildProcess(peer_program(), with_timing);
}

Peer Peer::start(const std::vector<std::string>& args) {
    ChildProcess process = launch(args);
    // Construction sweeps /dev/shm and a sanitizer build starts slowly: be generous.
    auto line = process.read_line(std::chrono::seconds(30));
    if (!line || line->rfind("ready ", 0) != 0) {
        std::string what = "peer " + (args.empty() ? std::string() : args[0]) + " did not start: ";
        throw std::runtime_error(what + (line ? *line : std::string("no output")));
    }
    uint32_t pid = static_cast<uint32_t>(std::stoul(line->substr(6)));
    return Peer(std::move(process), pid);
}

Peer Peer::node_peer(const char* mode, const std::string& node, const std::string& system, uint64_t bytes,
                     std::string recv) {
    if (recv.empty()) recv = unique_name("rx");
    Peer peer = start({mode, node, system, recv, std::to_string(bytes)});
    peer.node_name_ = node;
    peer.recv_ = std::move(recv);
    return peer;
}

Peer Peer::serve(const std::string& node, const std::string& system, uint64_t recv_bytes, std::string recv) {
    return node_peer("serve", node, system, recv_bytes, std::move(recv));
}

Peer Peer::hold(const std::string& node, const std::string& system, uint64_t recv_bytes, std::string recv) {
    return node_peer("hold", node, system, recv_bytes, std::move(recv));
}

std::string Peer::mailbox_name() const { return recv_.empty() ? std::string() : recv_ + "_" + std::to_string(pid_); }

std::string Peer::expect_line(std::chrono::milliseconds limit) {
    auto line = process_.read_line(limit);
    if (!line) throw std::runtime_error("peer " + std::to_string(pid_) + " printed nothing in time");
    return *line;
}

void Peer::send(std::string_view line) {
    if (!process_.write_line(line)) throw std::runtime_error("peer " + std::to_string(pid_) + " no longer listens");
}

int Peer::quit() {
    process_.write_line("quit");
    auto code = process_.wait(std::chrono::seconds(15));
    if (!code) {
        process_.kill();
        throw std::runtime_error("peer " + std::to_string(pid_) + " did not quit");
    }
    return *code;
}

}  // namespace tarnvel::test
