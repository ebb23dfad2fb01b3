// The lifetime protocol that makes a named object vanish with its last
// handle.
//
// Every handle is its own open file description holding a shared flock for
// its whole life. Whoever can take the exclusive flock knows that no handle
// exists, and may remove or re-initialise the object. That is how objects of
// a process that died (even by SIGKILL) become leftovers that the next opener
// or a sweep removes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/object_handles.hpp"
#include "platform/linux/object_names.hpp"
#include "platform/platform.hpp"

namespace tarnvel::platform::detail {

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
    ~ShmObject() { release(); }

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
    void abandon() noexcept { fd_.close(); }

private:
    ObjectFd fd_;
    std::string path_;
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
CreateOutcome create_object(ObjectKind kind, std::string_view name, const CreateHooks& hooks, ShmObject& out);

// Opens the live object of that name, never creating one. A leftover found
// under the name is removed and nothing is returned; `why` (if given) says
// whether the object is gone or the failure was our own.
std::optional<ShmObject> open_object(ObjectKind kind, std::string_view name, OpenFailure* why = nullptr);

// A claimed object and a view of it.
struct MappedObject {
    ShmObject object;
    MappedView view;  // declared after the object: unmapped first

    // After fork(): see ShmObject::abandon.
    void abandon() noexcept {
        view.unmap();
        object.abandon();
    }
};

// Opens the live mapping object of that name and maps all of it. Nothing
// when no live object has that name or it cannot be mapped; `why` tells the
// two apart. An empty object is no mailbox at all: gone.
std::optional<MappedObject> open_mapping(std::string_view name, OpenFailure& why) noexcept;

// Whether a descriptor is a file this user may use as an object of `kind`
// (a FIFO for events, a regular file otherwise).
bool is_expected_file(int fd, ObjectKind kind) noexcept;

// The size of the object behind a descriptor, or nothing.
std::optional<uint64_t> object_size(int fd) noexcept;

}  // namespace tarnvel::platform::detail
