// Descriptors and mappings of named objects that a fork() child gives up at
// once (see process.hpp): each is listed from the moment it exists until it
// is gone.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "platform/linux/process.hpp"

namespace tarnvel::platform::detail {

// A descriptor of a named object. Closing it is a plain close; ShmObject
// adds the flock protocol.
class ObjectFd {
public:
    ObjectFd() noexcept = default;
    // Makes the descriptor (`make_fd` returns it, or -1 with errno set) and
    // lists it in one step, so that no child can inherit it unlisted. Empty,
    // with errno set, on failure.
    template <class MakeFd>
    static ObjectFd make(MakeFd&& make_fd) noexcept {
        ObjectFd made;
        std::unique_ptr<ForkHandle> handle(new (std::nothrow) ForkHandle);
        if (!handle) {
            errno = ENOMEM;
            return made;
        }
        ForkLock lock;
        const int fd = make_fd();
        if (fd >= 0) {
            handle->fd = fd;
            lock.add(*handle);
            made.handle_ = std::move(handle);
        }
        return made;
    }
    // open(2), retried on EINTR.
    static ObjectFd open(const char* path, int flags, mode_t mode) noexcept;

    ObjectFd(ObjectFd&& other) noexcept = default;
    ObjectFd& operator=(ObjectFd&& other) noexcept;
    ObjectFd(const ObjectFd&) = delete;
    ObjectFd& operator=(const ObjectFd&) = delete;
    ~ObjectFd() { close(); }

    // -1 when empty or dropped in a fork child.
    int get() const noexcept { return handle_ && !dropped() ? handle_->fd : -1; }
    // Inherited through fork() and closed there: it belongs to the parent.
    bool dropped() const noexcept { return handle_ && handle_->dropped.load(std::memory_order_relaxed); }

    void close() noexcept {
        close_after([](int) {});
    }

    // Runs `last_step(fd)` and closes, with no fork in between. Nothing runs
    // for a descriptor dropped in a fork child.
    template <class LastStep>
    void close_after(LastStep&& last_step) noexcept {
        if (!handle_) {
            return;
        }
        {
            ForkLock lock;
            if (!dropped()) {
                last_step(handle_->fd);
                ::close(handle_->fd);
            }
            lock.remove(*handle_);
        }
        handle_.reset();
    }

private:
    std::unique_ptr<ForkHandle> handle_;
};

// A shared, read-write mapping of the first `size` bytes of a descriptor.
class MappedView {
public:
    MappedView() noexcept = default;
    // Maps; empty (data() == nullptr) on failure.
    MappedView(int fd, std::size_t size) noexcept;
    MappedView(MappedView&& other) noexcept = default;
    MappedView& operator=(MappedView&& other) noexcept;
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;
    ~MappedView() { unmap(); }

    // Empty once dropped in a fork child.
    uint8_t* data() const noexcept { return live() ? static_cast<uint8_t*>(handle_->address) : nullptr; }
    std::size_t size() const noexcept { return live() ? handle_->length : 0; }
    void unmap() noexcept;

private:
    bool live() const noexcept { return handle_ && !handle_->dropped.load(std::memory_order_relaxed); }

    std::unique_ptr<ForkHandle> handle_;
};

}  // namespace tarnvel::platform::detail
