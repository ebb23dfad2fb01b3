// Shared memory that a node owns: the book and its own mailbox.
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "platform/linux/object_lifetime.hpp"
#include "platform/mapping_errors.hpp"
#include "platform/platform.hpp"

namespace tarnvel::platform {

using namespace detail;

namespace {

// Zero-fills the object to exactly `size` bytes. Allocating the pages now
// (rather than only setting the length) makes a full /dev/shm fail here
// instead of raising SIGBUS at the first write into a missing page.
bool fill_with_zeros(int fd, uint64_t size) noexcept {
    if (::ftruncate(fd, 0) != 0) {
        return false;
    }
    const auto length = static_cast<off_t>(size);
    int rc;
    do {
        rc = ::posix_fallocate(fd, 0, length);
    } while (rc == EINTR);
    if (rc == 0) {
        return true;
    }
    // File systems without allocation still give zero-filled pages.
    return (rc == EOPNOTSUPP || rc == ENOSYS) && ::ftruncate(fd, length) == 0;
}

}  // namespace

struct SharedMapping::Native : MappedObject {};

SharedMapping::SharedMapping(std::unique_ptr<Native> native) : native_(std::move(native)) {}
SharedMapping::SharedMapping(SharedMapping&&) noexcept = default;
SharedMapping& SharedMapping::operator=(SharedMapping&&) noexcept = default;
SharedMapping::~SharedMapping() = default;

SharedMapping SharedMapping::create(const std::string& name, uint64_t size, std::string_view role) {
    // An empty object cannot be created, nor one larger than a file can be.
    if (size == 0 || size > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
        size > std::numeric_limits<std::size_t>::max()) {
        throw_create_failed(role);
    }

    CreateHooks hooks;
    hooks.initialise = [size](int fd) { return fill_with_zeros(fd, size); };
    hooks.check_existing = [size](int fd) {
        const auto existing = object_size(fd);
        if (!existing) {
            return Existing::unusable;
        }
        // Smaller than asked: alive and too small, or left half-done by a
        // creator that died, with other openers looking at it just now.
        // Rounds spread over a short while tell the two apart: the lookers
        // let go, and then the leftover is renewed.
        return *existing >= size ? Existing::usable : Existing::stale;
    };

    auto native = std::make_unique<Native>();
    switch (create_object(ObjectKind::map, name, hooks, native->object)) {
        case CreateOutcome::created:
            break;
        case CreateOutcome::failed:
            throw_create_failed(role);
        case CreateOutcome::unusable:
            throw_map_failed(role);
    }
    native->view = MappedView(native->object.fd(), static_cast<std::size_t>(size));
    if (native->view.data() == nullptr) {
        throw_map_failed(role);
    }
    return SharedMapping(std::move(native));
}

uint8_t* SharedMapping::view() const noexcept { return native_ ? native_->view.data() : nullptr; }

// The view is exactly the size asked for; none is left in a fork child.
uint64_t SharedMapping::size() const noexcept { return native_ ? native_->view.size() : 0; }

void SharedMapping::abandon() noexcept {
    if (native_) {
        native_->abandon();
        native_.reset();
    }
}

}  // namespace tarnvel::platform
