#include "platform/linux/object_lifetime.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <thread>
#include <utility>

#include "settings.hpp"

namespace tarnvel::platform::detail {

namespace {

// Races with other openers, releasers and sweeps (the name removed or
// replaced between our open and our lock) end in a few rounds; the bound only
// keeps a pathological case from spinning forever.
constexpr int MAX_RACE_ROUNDS = 100;

constexpr std::chrono::microseconds FIRST_BACKOFF{50};
constexpr std::chrono::microseconds LONGEST_BACKOFF{5000};

// Sleeps between rounds: from FIRST_BACKOFF, doubling up to
// LONGEST_BACKOFF, until `limit` has passed since the first sleep.
class Backoff {
public:
    explicit Backoff(std::chrono::milliseconds limit) noexcept : limit_(limit) {}

    // False, without sleeping, once the time is up.
    bool sleep() {
        const auto now = std::chrono::steady_clock::now();
        if (!deadline_) {
            deadline_ = now + limit_;
        }
        if (now >= *deadline_) {
            return false;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(delay_, *deadline_ - now));
        delay_ = std::min(delay_ * 2, LONGEST_BACKOFF);
        return true;
    }

private:
    std::chrono::milliseconds limit_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    std::chrono::microseconds delay_ = FIRST_BACKOFF;
};

bool same_file(const struct stat& a, const struct stat& b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the name still refers to the file the descriptor has open. While a
// descriptor is open its inode cannot be reused, so equal numbers mean the
// same file.
bool name_refers_to(const char* path, int fd) noexcept {
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::lstat(path, &named) == 0 && same_file(opened, named);
}

// A leftover mapping may still be mapped by a sender that kept a link to it
// (kept links hold no lock). Whoever removes it zeroes its first word first,
// while holding it exclusively, so that such a sender sees it belongs to
// nobody (a mailbox's magic goes) instead of writing on where nobody reads.
void disown_leftover(int fd) noexcept {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= static_cast<off_t>(sizeof(uint32_t))) {
        const uint32_t zero = 0;
        static_cast<void>(::pwrite(fd, &zero, sizeof zero, 0));
    }
}

// Whether a failed open says that no object of ours is under the name (a
// file of another user, or a symbolic link, is not ours) rather than that
// this process is short of something.
bool open_says_gone(int error) noexcept {
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == EACCES || error == ENXIO ||
           error == ENODEV;
}

// Events are opened non-blocking: a FIFO open must never wait for a peer,
// and the owner's reads drain it until EAGAIN.
int object_open_flags(ObjectKind kind) noexcept {
    return kind == ObjectKind::evt ? (O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW) : (O_RDWR | O_CLOEXEC | O_NOFOLLOW);
}

enum class ClaimOutcome {
    claimed,
    // An opener found no live object under the name.
    gone,
    // Trouble on this side, or an object that exists but would not be
    // locked in time: nothing is said about its owner.
    failed,
    // A creator found a live object it cannot use.
    unusable,
};

// The one open/lock/back-off/recheck loop behind creating and opening. With
// `hooks`, it creates the object or takes the live one of that name;
// without, it only opens a live one and removes a leftover it finds.
ClaimOutcome claim_object(ObjectKind kind, std::string path, const CreateHooks* hooks, ShmObject& out) {
    const bool create = hooks != nullptr;
    Backoff exclusively_held(settings::timing().exclusive_wait_limit);
    Backoff unusable_yet(settings::timing().unusable_wait_limit);
    int races = 0;
    const auto race_again = [&races] { return ++races < MAX_RACE_ROUNDS; };
    for (;;) {
        int flags = object_open_flags(kind);
        if (create && kind == ObjectKind::evt) {
            if (::mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
                return ClaimOutcome::failed;
            }
        } else if (create) {
            flags |= O_CREAT;
        }
        ObjectFd fd = ObjectFd::open(path.c_str(), flags, create ? 0600 : 0);
        if (fd.get() < 0) {
            if (!create) {
                return open_says_gone(errno) ? ClaimOutcome::gone : ClaimOutcome::failed;
            }
            // A FIFO can be removed as a leftover between mkfifo and open.
            if (kind == ObjectKind::evt && errno == ENOENT && race_again()) {
                continue;
            }
            return ClaimOutcome::failed;
        }
        if (!is_expected_file(fd.get(), kind)) {
            return create ? ClaimOutcome::failed : ClaimOutcome::gone;
        }

        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            // Nobody holds it: new, or a leftover of a dead process.
            if (!create) {
                // An opener removes the leftover. (A creator that has not
                // locked its new file yet notices the removal and starts
                // over.)
                if (name_refers_to(path.c_str(), fd.get())) {
                    disown_leftover(fd.get());
                    ::unlink(path.c_str());
                }
                return ClaimOutcome::gone;
            }
            // Unless a releaser or sweep removed it before we locked it, it
            // is ours to initialise, and nobody can open it until we
            // downgrade.
            if (!name_refers_to(path.c_str(), fd.get())) {
                if (race_again()) {
                    continue;
                }
                return ClaimOutcome::failed;
            }
            // A leftover mapping with content may still be mapped through a
            // sender's kept link. Made anew in place, it would look live to
            // that link, which still holds the old owner's event: it is
            // disowned and removed, and a new file takes the name.
            struct stat leftover {};
            if (kind == ObjectKind::map && ::fstat(fd.get(), &leftover) == 0 && leftover.st_size > 0) {
                disown_leftover(fd.get());
                ::unlink(path.c_str());
                if (race_again()) {
                    continue;
                }
                return ClaimOutcome::failed;
            }
            if (::fchmod(fd.get(), 0600) != 0 || !hooks->initialise(fd.get())) {
                // Still exclusively ours: leave no half-made object behind.
                ::unlink(path.c_str());
                return ClaimOutcome::failed;
            }
            // Linux converts EX to SH under the inode's lock-list spinlock,
            // so no other opener, releaser or sweep can see the object
            // unheld between the two; a downgrade never has to wait.
            if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) {
                return ClaimOutcome::failed;
            }
            out = ShmObject(std::move(fd), std::move(path));
            return ClaimOutcome::claimed;
        }
        if (errno != EWOULDBLOCK) {
            return ClaimOutcome::failed;
        }

        if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK) {
                return ClaimOutcome::failed;
            }
            // Held exclusively: being initialised, released or swept. Start
            // again from the name, which may be gone or new by then. Held
            // for too long, it still exists: no proof that its owner is gone.
            fd.close();
            if (!exclusively_held.sleep()) {
                return ClaimOutcome::failed;
            }
            continue;
        }
        if (!name_refers_to(path.c_str(), fd.get())) {
            // It was released and removed before we locked it.
            if (race_again()) {
                continue;
            }
            return ClaimOutcome::failed;
        }
        switch (create ? hooks->check_existing(fd.get()) : Existing::usable) {
            case Existing::usable:
                out = ShmObject(std::move(fd), std::move(path));
                return ClaimOutcome::claimed;
            case Existing::stale:
                // Our own shared lock would keep it from ever being renewed.
                fd.close();
                if (!unusable_yet.sleep()) {
                    return ClaimOutcome::unusable;
                }
                continue;
            case Existing::unusable:
                return ClaimOutcome::unusable;
        }
    }
}

}  // namespace

// Files of the wrong type or of another user are never used: another user
// could read a mailbox it created for us to fill.
bool is_expected_file(int fd, ObjectKind kind) noexcept {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
        return false;
    }
    return kind == ObjectKind::evt ? S_ISFIFO(st.st_mode) : S_ISREG(st.st_mode);
}

std::optional<uint64_t> object_size(int fd) noexcept {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(st.st_size);
}

ShmObject::ShmObject(ObjectFd fd, std::string path) noexcept : fd_(std::move(fd)), path_(std::move(path)) {}

ShmObject& ShmObject::operator=(ShmObject&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::move(other.fd_);
        path_ = std::move(other.path_);
    }
    return *this;
}

void ShmObject::release() noexcept {
    fd_.close_after([this](int fd) {
        // Converting our shared lock to an exclusive one succeeds only when
        // no other handle exists. When it fails Linux has already dropped our
        // shared lock, which is harmless: we close next anyway. The name may
        // meanwhile have been taken over by a new object, which must survive.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && name_refers_to(path_.c_str(), fd)) {
            ::unlink(path_.c_str());
        }
    });
}

ObjectFd ShmObject::give_up_claim() noexcept {
    if (fd_.get() >= 0) {
        ::flock(fd_.get(), LOCK_UN);
    }
    path_.clear();
    return std::move(fd_);
}

CreateOutcome create_object(ObjectKind kind, std::string_view name, const CreateHooks& hooks, ShmObject& out) {
    switch (claim_object(kind, object_path(kind, name), &hooks, out)) {
        case ClaimOutcome::claimed:
            return CreateOutcome::created;
        case ClaimOutcome::unusable:
            return CreateOutcome::unusable;
        case ClaimOutcome::gone:
        case ClaimOutcome::failed:
            break;
    }
    return CreateOutcome::failed;
}

std::optional<ShmObject> open_object(ObjectKind kind, std::string_view name, OpenFailure* why) {
    ShmObject object;
    const ClaimOutcome outcome = claim_object(kind, object_path(kind, name), nullptr, object);
    if (outcome == ClaimOutcome::claimed) {
        return object;
    }
    if (why != nullptr) {
        *why = outcome == ClaimOutcome::gone ? OpenFailure::gone : OpenFailure::local;
    }
    return std::nullopt;
}

std::optional<MappedObject> open_mapping(std::string_view name, OpenFailure& why) noexcept {
    try {
        why = OpenFailure::local;
        auto object = open_object(ObjectKind::map, name, &why);
        if (!object) {
            return std::nullopt;
        }
        // Exact: the owner cannot shrink it while we hold our shared lock.
        const auto size = object_size(object->fd());
        if (!size || *size > std::numeric_limits<std::size_t>::max()) {
            why = OpenFailure::local;
            return std::nullopt;
        }
        if (*size == 0) {
            why = OpenFailure::gone;  // no mailbox at all
            return std::nullopt;
        }
        MappedObject opened{std::move(*object), MappedView()};
        opened.view = MappedView(opened.object.fd(), static_cast<std::size_t>(*size));
        if (opened.view.data() == nullptr) {
            why = OpenFailure::local;
            return std::nullopt;
        }
        return opened;
    } catch (...) {
        // Only allocation can throw here.
        why = OpenFailure::local;
        return std::nullopt;
    }
}

}  // namespace tarnvel::platform::detail

namespace tarnvel::platform {

void sweep_leftovers() noexcept {
    const detail::ObjectPlace& place = detail::object_place();
    DIR* dir = ::opendir(place.directory.c_str());
    if (dir == nullptr) {
        return;
    }
    const int dir_fd = ::dirfd(dir);
    const uid_t own_uid = ::geteuid();
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view file_name(entry->d_name);
        if (!file_name.starts_with(place.file_prefix)) {
            continue;
        }
        // Read-write where it can, to disown a mapping before removing it
        // (flock itself needs no write access); non-blocking opens a FIFO
        // without waiting for the other end. The descriptor is not listed
        // for fork children: a copy can only keep a lock on a file whose name
        // is removed here, or no lock at all, and openers never wait for that.
        int fd = ::openat(dir_fd, entry->d_name, O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) fd = ::openat(dir_fd, entry->d_name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            continue;
        }
        struct stat opened {};
        struct stat named {};
        if (::fstat(fd, &opened) == 0 && opened.st_uid == own_uid &&
            (S_ISREG(opened.st_mode) || S_ISFIFO(opened.st_mode)) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::fstatat(dir_fd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && detail::same_file(opened, named)) {
            detail::disown_leftover(fd);
            ::unlinkat(dir_fd, entry->d_name, 0);
        }
        ::close(fd);
    }
    ::closedir(dir);
}

}  // namespace tarnvel::platform
