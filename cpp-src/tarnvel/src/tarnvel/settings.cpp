#include "settings.hpp"

#include <atomic>

namespace tarnvel::settings {

namespace {

// Read by io threads while a test's thread may write them.
std::atomic<std::chrono::milliseconds> book_refresh_period{Timing{}.book_refresh_period};
std::atomic<std::chrono::milliseconds> exclusive_wait_limit{Timing{}.exclusive_wait_limit};
std::atomic<std::chrono::milliseconds> unusable_wait_limit{Timing{}.unusable_wait_limit};

}  // namespace

Timing timing() noexcept {
    return Timing{book_refresh_period.load(), exclusive_wait_limit.load(), unusable_wait_limit.load()};
}

Timing set_timing(const Timing& timing) noexcept {
    return Timing{book_refresh_period.exchange(timing.book_refresh_period),
                  exclusive_wait_limit.exchange(timing.exclusive_wait_limit),
                  unusable_wait_limit.exchange(timing.unusable_wait_limit)};
}

}  // namespace tarnvel::settings
