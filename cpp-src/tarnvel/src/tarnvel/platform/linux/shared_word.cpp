// Sleeping on a word of shared memory: a futex without the private flag, so
// that the kernel keys it by the object and offset, not by the address, and
// threads of other processes mapping the object elsewhere meet it.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>

#include "platform/platform.hpp"

namespace tarnvel::platform {

bool shared_word_waits() noexcept { return true; }

void wait_shared_word(uint32_t* word, uint32_t expected, std::chrono::steady_clock::time_point until) noexcept {
    // EAGAIN (the word differs), ETIMEDOUT, EINTR and a spurious return all
    // send the caller back to look again.
    if (until == std::chrono::steady_clock::time_point::max()) {
        (void)::syscall(SYS_futex, word, FUTEX_WAIT, expected, nullptr, nullptr, 0);
        return;
    }
    // The bitset form takes an absolute time on CLOCK_MONOTONIC, the clock
    // steady_clock reads here.
    const auto since = until.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    timespec at{};
    at.tv_sec = static_cast<time_t>(seconds.count());
    at.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    (void)::syscall(SYS_futex, word, FUTEX_WAIT_BITSET, expected, &at, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void wake_shared_word(uint32_t* word) noexcept {
    (void)::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace tarnvel::platform
