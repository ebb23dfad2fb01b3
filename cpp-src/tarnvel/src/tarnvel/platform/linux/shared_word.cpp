// Sleeping on a word of shared memory: a futex without the private flag, so
// that the kernel keys it by the object and offset, not by the address, and
// threads of other processes mapping the object elsewhere meet it.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdint>

#include "platform/platform.hpp"

namespace tarnvel::platform {

bool shared_word_waits() noexcept { return true; }

void wait_shared_word(uint32_t* word, uint32_t expected) noexcept {
    // EAGAIN (the word differs), EINTR and a spurious return all send the
    // caller back to look again.
    (void)::syscall(SYS_futex, word, FUTEX_WAIT, expected, nullptr, nullptr, 0);
}

void wake_shared_word(uint32_t* word) noexcept {
    (void)::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace tarnvel::platform
