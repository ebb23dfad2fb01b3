// Finds the node named "server" in the system's book, calls its methods and
// prints how each call ended. Exits with 1 when a call ends otherwise than
// the comment beside it says.
//
//   tarnvel_example_client [system]
#include <tarnvel/tarnvel.hpp>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

namespace {

const char* status_name(uint8_t status) {
    switch (status) {
        case tarnvel::STATUS_OK:
            return "STATUS_OK";
        case tarnvel::STATUS_TIMEOUT:
            return "STATUS_TIMEOUT";
        case tarnvel::STATUS_EXEC_FAILED:
            return "STATUS_EXEC_FAILED";
        case tarnvel::STATUS_DELIVER_FAILED:
            return "STATUS_DELIVER_FAILED";
    }
    return "unknown status";
}

}  // namespace

int main(int argc, char** argv) {
    const std::string system = argc > 1 ? argv[1] : "example";
    tarnvel::Tarnvel node("client", system, "example_client", 1 << 16);

    // Discovery: the book lists each node of the system with its process id.
    std::optional<tarnvel::NodeInfo> server;
    for (int attempt = 0; attempt < 50 && !server; ++attempt) {
        for (const tarnvel::NodeInfo& info : node.list_nodes())
            if (info.node_name == "server") server = info;
        if (!server) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!server) {
        std::cerr << "no node named \"server\" in system " << system << "\n";
        return 1;
    }

    bool as_expected = true;
    const auto call = [&](const std::string& method, const std::string& text, int64_t timeout_ms, uint8_t expected) {
        // Every call ends exactly once: with the answer, or at the latest when
        // its time-out (in milliseconds) has passed.
        tarnvel::CallResult result =
            node.call(server->node_name, server->pid, method, tarnvel::Bytes(text.begin(), text.end()), timeout_ms)
                .get();
        std::cout << method << ": " << status_name(result.status);
        if (result.status == tarnvel::STATUS_OK)
            std::cout << " \"" << std::string(result.result.begin(), result.result.end()) << "\"";
        std::cout << "\n";
        as_expected = as_expected && result.status == expected;
    };

    call("echo", "hello", 1000, tarnvel::STATUS_OK);
    call("fail", "", 1000, tarnvel::STATUS_EXEC_FAILED);                           // the handler threw
    call("no_such_method", "", 1000, tarnvel::STATUS_EXEC_FAILED);                 // nothing of that name
    call("slow", "", 100, tarnvel::STATUS_TIMEOUT);                                // no answer within 100 ms
    call("echo", std::string(100000, 'x'), 1000, tarnvel::STATUS_DELIVER_FAILED);  // beyond the mailbox
    return as_expected ? 0 : 1;
}
