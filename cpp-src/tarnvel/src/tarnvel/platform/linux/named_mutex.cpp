// The system's mutex: a process-shared, robust pthread mutex living in a
// small shared-memory object of its own.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "tarnvel/platform/platform.hpp"
#include "tarnvel/tarnvel.hpp"
#include "tarnvel/platform/linux/object_lifetime.hpp"

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

MutexBlock* block_of(const MappedView& view) noexcept {
    return reinterpret_cast<MutexBlock*>(view.data());
}

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

void NamedMutex::lock() {
    pthread_mutex_t& mutex = block_of(native_->view)->mutex;
    const int rc = pthread_mutex_lock(&mutex);
    if (rc == EOWNERDEAD) {
        // Its holder died while holding it. An abandoned mutex counts as
        // acquired: the new holder goes on with whatever the dead one left.
        pthread_mutex_consistent(&mutex);
        return;
    }
    if (rc != 0) {
        // Only a mutex unlocked without being made consistent, which this
        // code never does, can get here.
        throw std::system_error(rc, std::generic_category(), "pthread_mutex_lock");
    }
}

void NamedMutex::unlock() {
    pthread_mutex_unlock(&block_of(native_->view)->mutex);
}

void NamedMutex::abandon() noexcept {
    if (native_) {
        native_->abandon();
        native_.reset();
    }
}

}  // namespace tarnvel::platform
