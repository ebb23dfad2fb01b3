// What a child made by fork() must not keep of its parent's objects.
//
// A flock belongs to the open file description, which a child shares with
// its parent, and a mapping holds the file open too. A child that kept its
// copies (many never close them: they leave with _exit) would keep a killed
// parent's objects alive, and when the parent released them normally, the
// exclusive flock its release converts to would stay with the child and
// block every process that had already opened the name.
//
// So every descriptor and mapping of a named object is listed here from the
// moment it exists until it is gone, and fork() waits while the list
// changes. In the child, before anything else runs, every listed descriptor
// is closed and every listed mapping removed, without touching any lock or
// name; their owners find them dropped and leave them alone from then on.
#pragma once

#include <atomic>
#include <cstddef>

namespace tarnvel::platform::detail {

// A descriptor (fd >= 0) or a mapping (address != nullptr) of this process.
struct ForkHandle {
    int fd = -1;
    void* address = nullptr;
    std::size_t length = 0;
    // Set in a child of fork(): the descriptor was closed, or the mapping
    // removed, there. The numbers belong to the parent; the child may since
    // have reused them, so nothing may close or unmap them again.
    std::atomic<bool> dropped{false};
    ForkHandle* previous = nullptr;
    ForkHandle* next = nullptr;
};

// Holds off fork() while alive. Make a handle and add it, or release a
// handle and remove it, under one ForkLock, so that no child ever inherits a
// handle that is not listed. Never allocate while holding it.
class ForkLock {
public:
    ForkLock() noexcept;
    ~ForkLock();
    ForkLock(const ForkLock&) = delete;
    ForkLock& operator=(const ForkLock&) = delete;

    void add(ForkHandle& handle) noexcept;
    void remove(ForkHandle& handle) noexcept;
};

}  // namespace tarnvel::platform::detail
