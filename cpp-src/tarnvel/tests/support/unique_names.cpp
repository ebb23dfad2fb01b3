#include "support/unique_names.hpp"

#include "platform/platform.hpp"

#include <atomic>
#include <cstdio>
#include <random>

namespace tarnvel::test {

std::string unique_name(std::string_view tag) {
    // A stale object of a crashed earlier run whose pid came round again must
    // not be taken for this run's.
    static const unsigned nonce = std::random_device{}() & 0xFFFFFu;
    static std::atomic<unsigned> counter{0};
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, "_%u_%u_%05x", platform::current_process_id(), counter.fetch_add(1), nonce);
    return std::string(tag) + suffix;
}

}  // namespace tarnvel::test
