// The system's mutex: a process-shared, robust pthread mutex living in a
// small shared-memory object of its own.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "platform/linux/object_lifetime.hpp"
#include "platform/platform.hpp"
#include "tarnvel/tarnvel.hpp"

namespace tarnvel::platform {

using namespace detail;

namespace {

constexpr uint32_t MUTEX_READY = 1;

struct MutexBlock {
    // Set once the mutex is initialised. A creator killed before that leaves
    // it 0, and whoever finds the block in that state treats it as stale.
    uint32_t ready;
    uint32_t reserved;
    pthread_mutex_t mutex;
};

bool initialise_mutex(pthread_mutex_t& mutex) noexcept {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        return false;
    }
    const bool ok = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
                    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
                    pthread_mutex_init(&mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ok;
}

MutexBlock* block_of(const MappedView& view) noexcept { return reinterpret_cast<MutexBlock*>(view.data()); }

}  // namespace

struct NamedMutex::Native : MappedObject {};

NamedMutex::NamedMutex(std::unique_ptr<Native> native) : native_(std::move(native)) {}
NamedMutex::NamedMutex(NamedMutex&&) noexcept = default;
NamedMutex& NamedMutex::operator=(NamedMutex&&) noexcept = default;
NamedMutex::~NamedMutex() = default;

NamedMutex NamedMutex::create(const std::string& name) {
    auto native = std::make_unique<Native>();
    MappedView& view = native->view;

    CreateHooks hooks;
    hooks.initialise = [&view](int fd) {
        if (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, sizeof(MutexBlock)) != 0) {
            return false;
        }
        view = MappedView(fd, sizeof(MutexBlock));
        if (view.data() == nullptr || !initialise_mutex(block_of(view)->mutex)) {
            view.unmap();
            return false;
        }
        // Nobody can open the object before our exclusive flock becomes a
        // shared one, so the order only matters for a creator that dies here.
        std::atomic_ref<uint32_t>(block_of(view)->ready).store(MUTEX_READY, std::memory_order_release);
        return true;
    };
    hooks.check_existing = [&view](int fd) {
        const auto size = object_size(fd);
        if (!size) {
            return Existing::unusable;
        }
        if (*size < sizeof(MutexBlock)) {
            return Existing::stale;
        }
        view = MappedView(fd, sizeof(MutexBlock));
        if (view.data() == nullptr) {
            return Existing::unusable;
        }
        if (std::atomic_ref<uint32_t>(block_of(view)->ready).load(std::memory_order_acquire) != MUTEX_READY) {
            view.unmap();
            return Existing::stale;
        }
        return Existing::usable;
    };

    if (create_object(ObjectKind::mtx, name, hooks, native->object) != CreateOutcome::created) {
        throw Error(ErrorKind::os_failure, "CreateMutex failed");
    }
    return NamedMutex(std::move(native));
}

namespace {

// Whether a lock call's result means the mutex is now held.
bool acquired(pthread_mutex_t& mutex, int rc, const char* what) {
    if (rc == EOWNERDEAD) {
        // Its holder died while holding it. An abandoned mutex counts as
        // acquired: the new holder goes on with whatever the dead one left.
        pthread_mutex_consistent(&mutex);
        return true;
    }
    if (rc == ETIMEDOUT) {
        return false;
    }
    if (rc != 0) {
        // Only a mutex unlocked without being made consistent, which this
        // code never does, can get here.
        throw std::system_error(rc, std::generic_category(), what);
    }
    return true;
}

}  // namespace

void NamedMutex::lock() {
    pthread_mutex_t& mutex = block_of(native_->view)->mutex;
    acquired(mutex, pthread_mutex_lock(&mutex), "pthread_mutex_lock");
}

bool NamedMutex::try_lock_for(std::chrono::milliseconds limit) {
    pthread_mutex_t& mutex = block_of(native_->view)->mutex;
    // On the monotonic clock, so that a change of the wall clock neither
    // cuts the wait short nor stretches it.
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    const auto wait = std::max(limit, std::chrono::milliseconds(0));
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
    deadline.tv_sec += static_cast<time_t>(seconds.count());
    deadline.tv_nsec += static_cast<long>(std::chrono::nanoseconds(wait - seconds).count());
    if (deadline.tv_nsec >= 1'000'000'000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1'000'000'000L;
    }
    return acquired(mutex, pthread_mutex_clocklock(&mutex, CLOCK_MONOTONIC, &deadline), "pthread_mutex_clocklock");
}

void NamedMutex::unlock() { pthread_mutex_unlock(&block_of(native_->view)->mutex); }

void NamedMutex::abandon() noexcept {
    if (native_) {
        native_->abandon();
        native_.reset();
    }
}

}  // namespace tarnvel::platform
