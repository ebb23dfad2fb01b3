// The process id, read once and read again in a child after fork(), so that
// asking for it costs no system call.
#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "tarnvel/platform/platform.hpp"

namespace tarnvel::platform {

namespace {

std::atomic<uint32_t> cached_process_id{0};

void refresh_process_id() noexcept {
    cached_process_id.store(static_cast<uint32_t>(::getpid()), std::memory_order_relaxed);
}

struct ProcessIdCache {
    ProcessIdCache() noexcept {
        refresh_process_id();
        pthread_atfork(nullptr, nullptr, refresh_process_id);
    }
};

}  // namespace

uint32_t current_process_id() {
    // A child forked before the first call reads its own id here.
    static const ProcessIdCache cache;
    return cached_process_id.load(std::memory_order_relaxed);
}

}  // namespace tarnvel::platform
