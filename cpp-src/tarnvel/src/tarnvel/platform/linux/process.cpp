// The process and its children made by fork(): the cached process id, and
// the handles a child gives up at once (see process.hpp). One set of fork
// handlers serves both.
#include "platform/linux/process.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <iterator>
#include <mutex>

#include "platform/platform.hpp"

namespace tarnvel::platform::detail {

namespace {

struct ForkState {
    // Taken by fork() before it copies the process, so the list it copies
    // is never half-changed.
    std::mutex mutex;
    ForkHandle* first = nullptr;
    // Asked for on every call; refreshed in each child.
    std::atomic<uint32_t> process_id{0};
    // at_fork_in_child's, in the order given; no allocation, so that
    // registering never waits for an allocator that fork() holds.
    void (*child_resets[4])() noexcept = {};
    std::size_t child_reset_count = 0;
};

// Constant-initialised: usable from any other file's static initialisation,
// and never destroyed before them.
constinit ForkState state;

void before_fork() noexcept { state.mutex.lock(); }

void after_fork_in_parent() noexcept { state.mutex.unlock(); }

// Runs in the child while it has only the thread that forked; plain close()
// and munmap() only: no flock, no unlink, no allocation.
void after_fork_in_child() noexcept {
    state.process_id.store(static_cast<uint32_t>(::getpid()), std::memory_order_relaxed);
    for (ForkHandle* handle = state.first; handle != nullptr; handle = handle->next) {
        if (handle->dropped.exchange(true, std::memory_order_relaxed)) {
            continue;  // dropped in an earlier generation already
        }
        if (handle->address != nullptr) {
            ::munmap(handle->address, handle->length);
        }
        if (handle->fd >= 0) {
            ::close(handle->fd);
        }
    }
    for (std::size_t i = 0; i < state.child_reset_count; ++i) {
        state.child_resets[i]();
    }
    state.mutex.unlock();
}

// At load time, before any handle can exist.
[[maybe_unused]] const bool fork_handlers_registered = [] {
    state.process_id.store(static_cast<uint32_t>(::getpid()), std::memory_order_relaxed);
    return ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
}();

}  // namespace

ForkLock::ForkLock() noexcept { state.mutex.lock(); }

ForkLock::~ForkLock() { state.mutex.unlock(); }

void ForkLock::add(ForkHandle& handle) noexcept {
    handle.previous = nullptr;
    handle.next = state.first;
    if (state.first != nullptr) {
        state.first->previous = &handle;
    }
    state.first = &handle;
}

void ForkLock::remove(ForkHandle& handle) noexcept {
    if (handle.previous != nullptr) {
        handle.previous->next = handle.next;
    } else if (state.first == &handle) {
        state.first = handle.next;
    }
    if (handle.next != nullptr) {
        handle.next->previous = handle.previous;
    }
    handle.previous = nullptr;
    handle.next = nullptr;
}

}  // namespace tarnvel::platform::detail

namespace tarnvel::platform {

uint32_t current_process_id() {
    // Zero only while this file's static initialisation has not run yet.
    const uint32_t cached = detail::state.process_id.load(std::memory_order_relaxed);
    return cached != 0 ? cached : static_cast<uint32_t>(::getpid());
}

bool process_exists(uint32_t pid) noexcept {
    if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return false;
#ifdef SYS_pidfd_open
    // A pidfd tells an ended process that its parent has not reaped yet
    // (which kill() counts as alive) from a running one.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (pidfd >= 0) {
        pollfd ended{pidfd, POLLIN, 0};
        const int ready = ::poll(&ended, 1, 0);
        ::close(pidfd);
        return !(ready == 1 && (ended.revents & POLLIN) != 0);
    }
    if (errno == ESRCH) return false;
#endif
    // EPERM: another user's process, alive.
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

void at_fork_in_child(void (*reset)() noexcept) {
    detail::ForkLock lock;
    auto& state = detail::state;
    if (state.child_reset_count == std::size(state.child_resets)) {
        std::terminate();  // a fixed handful of callers, all in this library
    }
    state.child_resets[state.child_reset_count++] = reset;
}

}  // namespace tarnvel::platform
