// Named objects in POSIX shared memory: their file names, and the lifetime
// protocol that makes an object vanish with its last handle.
//
// Every handle is its own open file description holding a shared flock for
// its whole life. Whoever can take the exclusive flock knows that no handle
// exists, and may remove or re-initialise the object. That is how objects of
// a process that died (even by SIGKILL) become leftovers that the next opener
// or a sweep removes.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "tarnvel/platform/platform.hpp"
#include "tarnvel/platform/posix/process.hpp"

namespace tarnvel::platform::posix {

inline constexpr const char* OBJECT_DIRECTORY = "/dev/shm";
inline constexpr std::string_view OBJECT_FILE_PREFIX = "tarnvel.";
// File names longer than this are cut (the limit of Linux file systems).
inline constexpr std::size_t MAX_OBJECT_FILE_NAME = 255;

enum class ObjectKind { map, mtx, evt };

// FNV-1a, 64 bits: h = 0xCBF29CE484222325; for each byte b,
// h = (h XOR b) * 0x100000001B3 modulo 2^64.
uint64_t fnv1a64(std::string_view bytes) noexcept;

// Keeps A-Z a-z 0-9 _ - . and writes every other byte as '%' and two
// upper-case hexadecimal digits.
std::string encode_object_name(std::string_view name);

// "tarnvel.<kind>.<encoded name>", cut to 255 bytes as described in
// shm_object.cpp.
std::string object_file_name(ObjectKind kind, std::string_view name);

// OBJECT_DIRECTORY + "/" + object_file_name(kind, name).
std::string object_path(ObjectKind kind, std::string_view name);

// The name of a mailbox's event: the mailbox's name followed by "_e".
std::string event_name(std::string_view mailbox_name);

// A descriptor of a named object, listed for fork() children to close (see
// process.hpp). Closing it is a plain close; ShmObject adds the flock
// protocol.
class ObjectFd {
public:
    ObjectFd() noexcept = default;
    // Opens and lists in one step, so that no child can inherit the
    // descriptor unlisted. Empty, with errno set, on failure.
    static ObjectFd open(const char* path, int flags, mode_t mode) noexcept;
    // The same for any call that makes a descriptor (or -1 with errno set).
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
    ObjectFd(ObjectFd&& other) noexcept = default;
    ObjectFd& operator=(ObjectFd&& other) noexcept;
    ObjectFd(const ObjectFd&) = delete;
    ObjectFd& operator=(const ObjectFd&) = delete;
    ~ObjectFd() { close(); }

    // -1 when empty or dropped in a fork child.
    int get() const noexcept {
        return handle_ && !dropped() ? handle_->fd : -1;
    }
    // Inherited through fork() and closed there: it belongs to the parent.
    bool dropped() const noexcept {
        return handle_ && handle_->dropped.load(std::memory_order_relaxed);
    }

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

// One handle to a named object: a descriptor whose open file description
// holds a shared flock, and the path it was opened under.
class ShmObject {
public:
    ShmObject() noexcept = default;
    ShmObject(ObjectFd fd, std::string path) noexcept;
    ShmObject(ShmObject&& other) noexcept = default;
    ShmObject& operator=(ShmObject&& other) noexcept;
    ShmObject(const ShmObject&) = delete;
    ShmObject& operator=(const ShmObject&) = delete;
    ~ShmObject();

    int fd() const noexcept { return fd_.get(); }
    const std::string& path() const noexcept { return path_; }
    // See ObjectFd::dropped.
    bool dropped() const noexcept { return fd_.dropped(); }

    // Removes the name when this was the last handle, then closes.
    void release() noexcept;
    // Gives up the shared flock and hands the descriptor out: from then on
    // it no longer counts as a holder of the object.
    ObjectFd give_up_claim() noexcept;
    // Closes only: for a descriptor inherited through fork(), whose open file
    // description (and so its flock) the parent still uses.
    void abandon() noexcept;

private:
    ObjectFd fd_;
    std::string path_;
};

// A shared, read-write mapping of the first `size` bytes of a descriptor,
// listed for fork() children to remove.
class MappedView {
public:
    MappedView() noexcept = default;
    // Maps; empty (data() == nullptr) on failure.
    MappedView(int fd, std::size_t size) noexcept;
    MappedView(MappedView&& other) noexcept = default;
    MappedView& operator=(MappedView&& other) noexcept;
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;
    ~MappedView();

    // Empty once dropped in a fork child.
    uint8_t* data() const noexcept {
        return live() ? static_cast<uint8_t*>(handle_->address) : nullptr;
    }
    std::size_t size() const noexcept { return live() ? handle_->length : 0; }
    void unmap() noexcept;

private:
    bool live() const noexcept { return handle_ && !handle_->dropped.load(std::memory_order_relaxed); }

    std::unique_ptr<ForkHandle> handle_;
};

// How a creator judges an object that someone else already holds.
enum class Existing {
    usable,
    // Left half-initialised by a creator that died while initialising it (or
    // not what this creator needs): drop the handle and start over, so that a
    // leftover gets initialised anew.
    stale,
    // Alive but not usable by this creator.
    unusable,
};

struct CreateHooks {
    // Runs on a new or leftover object while the exclusive flock is held, so
    // nobody can see it half-done. Returns false on failure.
    std::function<bool(int fd)> initialise;
    // Runs with the shared flock held on an object that others hold too.
    std::function<Existing(int fd)> check_existing;
};

enum class CreateOutcome { created, failed, unusable };

// Creates the object or opens the live one of that name, leaving `out`
// holding the shared flock when the outcome is `created`.
CreateOutcome create_object(ObjectKind kind, std::string_view name, const CreateHooks& hooks,
                            ShmObject& out);

// Opens the live object of that name, never creating one. A leftover found
// under the name is removed and nothing is returned; `why` (if given) says
// whether the object is gone or the failure was our own.
std::optional<ShmObject> open_object(ObjectKind kind, std::string_view name, OpenFailure* why = nullptr);

// Whether a descriptor is a file this user may use as an object of `kind`
// (a FIFO for events, a regular file otherwise).
bool is_expected_file(int fd, ObjectKind kind) noexcept;

// The size of the object behind a descriptor, or nothing.
std::optional<uint64_t> object_size(int fd) noexcept;

}  // namespace tarnvel::platform::posix
