#include "platform/linux/object_handles.hpp"

#include <fcntl.h>
#include <sys/mman.h>

#include <utility>

namespace tarnvel::platform::detail {

ObjectFd ObjectFd::open(const char* path, int flags, mode_t mode) noexcept {
    return make([&] {
        int fd;
        do {
            fd = ::open(path, flags, mode);
        } while (fd < 0 && errno == EINTR);
        return fd;
    });
}

ObjectFd& ObjectFd::operator=(ObjectFd&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::move(other.handle_);
    }
    return *this;
}

MappedView::MappedView(int fd, std::size_t size) noexcept {
    if (size == 0 || fd < 0) {
        return;
    }
    std::unique_ptr<ForkHandle> handle(new (std::nothrow) ForkHandle);
    if (!handle) {
        return;
    }
    ForkLock lock;
    void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address != MAP_FAILED) {
        handle->address = address;
        handle->length = size;
        lock.add(*handle);
        handle_ = std::move(handle);
    }
}

MappedView& MappedView::operator=(MappedView&& other) noexcept {
    if (this != &other) {
        unmap();
        handle_ = std::move(other.handle_);
    }
    return *this;
}

void MappedView::unmap() noexcept {
    if (!handle_) {
        return;
    }
    {
        ForkLock lock;
        // A dropped view's address may belong to something else by now.
        if (live()) {
            ::munmap(handle_->address, handle_->length);
        }
        lock.remove(*handle_);
    }
    handle_.reset();
}

}  // namespace tarnvel::platform::detail
