// Windows waits on an address only within one process: a thread of another
// process could never wake it, so the wait is not offered here and threads
// take their answers from the io thread.
#include <cstdint>

#include "platform/platform.hpp"

namespace tarnvel::platform {

bool shared_word_waits() noexcept { return false; }

void wait_shared_word(uint32_t*, uint32_t, std::chrono::steady_clock::time_point) noexcept {}

void wake_shared_word(uint32_t*) noexcept {}

}  // namespace tarnvel::platform
