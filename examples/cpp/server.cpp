// A node named "server" that publishes three methods and serves them until
// its input ends or a line is read (Enter in a terminal).
//
//   tarnvel_example_server [system]
#include <tarnvel/tarnvel.hpp>

#include <chrono>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    const std::string system = argc > 1 ? argv[1] : "example";
    // The mailbox (64 KiB here) holds the requests waiting for this node.
    tarnvel::Tarnvel node("server", system, "example_server", 1 << 16);

    // A method is a JSON descriptor naming it and a handler from bytes to bytes.
    node.register_method({{"name", "echo"}, {"doc", "answers its argument"}}, [](tarnvel::Bytes args) { return args; });
    // A handler that throws ends its caller's call with STATUS_EXEC_FAILED.
    node.register_method({{"name", "fail"}},
                         [](tarnvel::Bytes) -> tarnvel::Bytes { throw std::runtime_error("fails on purpose"); });
    // Handlers run one at a time on the node's own thread, so this one holds
    // up the others for as long as it sleeps.
    node.register_method({{"name", "slow"}}, [](tarnvel::Bytes args) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return args;
    });

    std::cout << "ready " << node.pid() << std::endl;
    std::string line;
    std::getline(std::cin, line);
    // The destructor closes the node: it leaves the book and its mailbox goes.
}
