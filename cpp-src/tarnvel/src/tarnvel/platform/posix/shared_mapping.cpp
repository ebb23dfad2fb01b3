// Shared memory: the book and the own mailbox (SharedMapping) and a peer's
// mailbox opened for one delivery (PeerMailbox).
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "tarnvel/platform/platform.hpp"
#include "tarnvel/tarnvel.hpp"
#include "tarnvel/platform/posix/shm_object.hpp"

namespace tarnvel::platform {

using posix::CreateHooks;
using posix::CreateOutcome;
using posix::Existing;
using posix::MappedView;
using posix::ObjectKind;
using posix::ShmObject;

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

struct SharedMapping::Native {
    ShmObject object;
    MappedView view;  // declared last: unmapped before the handle is released
};

SharedMapping::SharedMapping(std::unique_ptr<Native> native) : native_(std::move(native)) {}
SharedMapping::SharedMapping(SharedMapping&&) noexcept = default;
SharedMapping& SharedMapping::operator=(SharedMapping&&) noexcept = default;
SharedMapping::~SharedMapping() = default;

SharedMapping SharedMapping::create(const std::string& name, uint64_t size, MappingPurpose purpose) {
    const bool book = purpose == MappingPurpose::book;
    const char* const create_failed = book ? "CreateFileMapping book failed" : "CreateFileMapping mailbox failed";
    const char* const map_failed = book ? "MapViewOfFile book failed" : "MapViewOfFile mailbox failed";

    // An empty object cannot be created, nor one larger than a file can be.
    if (size == 0 || size > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
        size > std::numeric_limits<std::size_t>::max()) {
        throw Error(ErrorKind::os_failure, create_failed);
    }

    CreateHooks hooks;
    hooks.initialise = [size](int fd) { return fill_with_zeros(fd, size); };
    hooks.check_existing = [size](int fd) {
        const auto existing = posix::object_size(fd);
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
    switch (posix::create_object(ObjectKind::map, name, hooks, native->object)) {
        case CreateOutcome::created:
            break;
        case CreateOutcome::failed:
            throw Error(ErrorKind::os_failure, create_failed);
        case CreateOutcome::unusable:
            throw Error(ErrorKind::os_failure, map_failed);
    }
    native->view = MappedView(native->object.fd(), static_cast<std::size_t>(size));
    if (native->view.data() == nullptr) {
        throw Error(ErrorKind::os_failure, map_failed);
    }
    return SharedMapping(std::move(native));
}

uint8_t* SharedMapping::view() const noexcept {
    return native_ ? native_->view.data() : nullptr;
}

// The view is exactly the size asked for; none is left in a fork child.
uint64_t SharedMapping::size() const noexcept {
    return native_ ? native_->view.size() : 0;
}

void SharedMapping::abandon() noexcept {
    if (native_) {
        native_->view.unmap();
        native_->object.abandon();
        native_.reset();
    }
}

struct PeerMailbox::Native {
    ShmObject object;
    MappedView view;  // declared after the object: unmapped first
    std::string name;
};

PeerMailbox::PeerMailbox(std::unique_ptr<Native> native) : native_(std::move(native)) {}
PeerMailbox::PeerMailbox(PeerMailbox&&) noexcept = default;
PeerMailbox& PeerMailbox::operator=(PeerMailbox&&) noexcept = default;
PeerMailbox::~PeerMailbox() = default;

std::optional<PeerMailbox> PeerMailbox::open(const std::string& mailbox_name, OpenFailure* why) noexcept {
    OpenFailure failure = OpenFailure::local;
    const auto fail = [&]() -> std::optional<PeerMailbox> {
        if (why != nullptr) {
            *why = failure;
        }
        return std::nullopt;
    };
    try {
        auto object = posix::open_object(ObjectKind::map, mailbox_name, &failure);
        if (!object) {
            return fail();
        }
        // Exact: the owner cannot shrink it while we hold our shared lock.
        const auto size = posix::object_size(object->fd());
        if (!size || *size > std::numeric_limits<std::size_t>::max()) {
            failure = OpenFailure::local;
            return fail();
        }
        if (*size == 0) {
            failure = OpenFailure::gone;  // no mailbox at all
            return fail();
        }
        auto native = std::make_unique<Native>();
        native->object = std::move(*object);
        native->view = MappedView(native->object.fd(), static_cast<std::size_t>(*size));
        if (native->view.data() == nullptr) {
            failure = OpenFailure::local;
            return fail();
        }
        native->name = mailbox_name;
        return PeerMailbox(std::move(native));
    } catch (...) {
        // Only allocation can throw here.
        failure = OpenFailure::local;
        return fail();
    }
}

uint8_t* PeerMailbox::view() const noexcept {
    return native_ ? native_->view.data() : nullptr;
}

uint64_t PeerMailbox::size() const noexcept {
    return native_ ? native_->view.size() : 0;
}

const std::string& PeerMailbox::name() const noexcept {
    static const std::string no_name;
    return native_ ? native_->name : no_name;
}

}  // namespace tarnvel::platform
