// The test side of tarnvel_peer (see peer/peer.hpp for its modes).
#pragma once

#include "support/process.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarnvel::test {

inline constexpr uint64_t DEFAULT_RECV_BYTES = 65536;

// Path of the tarnvel_peer program.
std::string peer_program();

class Peer {
public:
    // Starts tarnvel_peer with `args` and waits for its "ready <pid>" line.
    // Throws std::runtime_error carrying whatever it printed instead.
    static Peer start(const std::vector<std::string>& args);
    // A node with the test methods; `recv` defaults to a unique name.
    static Peer serve(const std::string& node, const std::string& system, uint64_t recv_bytes = DEFAULT_RECV_BYTES,
                      std::string recv = {});
    // A node with the built-in methods only.
    static Peer hold(const std::string& node, const std::string& system, uint64_t recv_bytes = DEFAULT_RECV_BYTES,
                     std::string recv = {});
    // Starts tarnvel_peer and waits for nothing.
    static ChildProcess launch(const std::vector<std::string>& args);

    uint32_t pid() const noexcept { return pid_; }
    const std::string& node_name() const noexcept { return node_name_; }
    // The name its node's mailbox was created under ("" when started with start()).
    std::string mailbox_name() const;
    ChildProcess& process() noexcept { return process_; }

    // The next line the peer prints; throws at end of output or after `limit`.
    std::string expect_line(std::chrono::milliseconds limit = std::chrono::seconds(10));
    void send(std::string_view line);
    // Sends "quit" and waits (bounded) for the exit; returns the exit code.
    int quit();
    void kill() noexcept { process_.kill(); }

private:
    Peer(ChildProcess process, uint32_t pid) : process_(std::move(process)), pid_(pid) {}
    static Peer node_peer(const char* mode, const std::string& node, const std::string& system, uint64_t bytes,
                          std::string recv);

    ChildProcess process_;
    uint32_t pid_ = 0;
    std::string node_name_;
    std::string recv_;
};

}  // namespace tarnvel::test
