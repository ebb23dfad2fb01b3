#include "peer/peer.hpp"

namespace tarnvel::peer {

// Windows has no fork(); starting `count` copies of this program with "hold"
// (and relaying their lines) would stand in for it.
int run_hold_many(const std::vector<std::string>&) {
    say("error hold-many is not available on this platform");
    return EXIT_USAGE;
}

int fork_idle_worker() { return -1; }

}  // namespace tarnvel::peer
