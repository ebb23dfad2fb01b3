// Object file names
// -----------------
// Every object is the file /dev/shm/F with
//   F = "tarnvel." + kind + "." + E
// where kind is "map" (shared memory), "mtx" (mutex) or "evt" (event), and
// E, the encoded name, is the object's name with the bytes A-Z a-z 0-9 _ - .
// kept and every other byte written as '%' followed by its value in two
// upper-case hexadecimal digits (a space is "%20", 0xFF is "%FF").
// When F is longer than 255 bytes it is replaced by
//   the first 238 bytes of F + "~" + H
// where H is the FNV-1a 64-bit hash of E (all of E, not only the part kept)
// in 16 upper-case hexadecimal digits, so the result is exactly 255 bytes.
// FNV-1a 64: h = 0xCBF29CE484222325; for each byte b of E in order,
// h = (h XOR b) * 0x100000001B3 modulo 2^64.
// '~' never occurs in an uncut name, so a cut name cannot equal an uncut one,
// and the kind stays inside the kept prefix, so kinds never collide.
#include "tarnvel/platform/posix/shm_object.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <thread>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tarnvel/platform/platform.hpp"
#include "tarnvel/settings.hpp"

namespace tarnvel::platform::posix {

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
// The hash and the '~' before it.
constexpr std::size_t CUT_SUFFIX_LENGTH = 17;

// Races with other openers, releasers and sweeps (the name removed or
// replaced between our open and our lock) end in a few rounds; the bound only
// keeps a pathological case from spinning forever.
constexpr int MAX_RACE_ROUNDS = 100;

constexpr std::chrono::microseconds FIRST_BACKOFF{50};
constexpr std::chrono::microseconds LONGEST_BACKOFF{5000};

std::string_view kind_text(ObjectKind kind) noexcept {
    switch (kind) {
        case ObjectKind::map:
            return "map";
        case ObjectKind::mtx:
            return "mtx";
        case ObjectKind::evt:
            return "evt";
    }
    return "map";
}

bool is_kept_byte(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

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
    struct stat opened{};
    struct stat named{};
    return ::fstat(fd, &opened) == 0 && ::lstat(path, &named) == 0 && same_file(opened, named);
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
    return kind == ObjectKind::evt ? (O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW)
                                   : (O_RDWR | O_CLOEXEC | O_NOFOLLOW);
}

}  // namespace

// Files of the wrong type or of another user are never used: another user
// could read a mailbox it created for us to fill.
bool is_expected_file(int fd, ObjectKind kind) noexcept {
    struct stat st{};
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
        return false;
    }
    return kind == ObjectKind::evt ? S_ISFIFO(st.st_mode) : S_ISREG(st.st_mode);
}

uint64_t fnv1a64(std::string_view bytes) noexcept {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (unsigned char b : bytes) {
        hash ^= b;
        hash *= 0x100000001B3ull;
    }
    return hash;
}

std::string encode_object_name(std::string_view name) {
    std::string encoded;
    encoded.reserve(name.size());
    for (unsigned char c : name) {
        if (is_kept_byte(c)) {
            encoded.push_back(static_cast<char>(c));
        } else {
            encoded.push_back('%');
            encoded.push_back(HEX_DIGITS[c >> 4]);
            encoded.push_back(HEX_DIGITS[c & 0x0F]);
        }
    }
    return encoded;
}

std::string object_file_name(ObjectKind kind, std::string_view name) {
    const std::string encoded = encode_object_name(name);
    std::string file_name(OBJECT_FILE_PREFIX);
    file_name += kind_text(kind);
    file_name += '.';
    file_name += encoded;
    if (file_name.size() <= MAX_OBJECT_FILE_NAME) {
        return file_name;
    }
    file_name.resize(MAX_OBJECT_FILE_NAME - CUT_SUFFIX_LENGTH);
    file_name.push_back('~');
    const uint64_t hash = fnv1a64(encoded);
    for (int shift = 60; shift >= 0; shift -= 4) {
        file_name.push_back(HEX_DIGITS[(hash >> shift) & 0x0F]);
    }
    return file_name;
}

std::string object_path(ObjectKind kind, std::string_view name) {
    std::string path(OBJECT_DIRECTORY);
    path += '/';
    path += object_file_name(kind, name);
    return path;
}

std::string event_name(std::string_view mailbox_name) {
    std::string name(mailbox_name);
    name += "_e";
    return name;
}

ObjectFd ObjectFd::open(const char* path, int flags, mode_t mode) noexcept {
    ObjectFd opened;
    std::unique_ptr<ForkHandle> handle(new (std::nothrow) ForkHandle);
    if (!handle) {
        errno = ENOMEM;
        return opened;
    }
    ForkLock lock;
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        handle->fd = fd;
        lock.add(*handle);
        opened.handle_ = std::move(handle);
    }
    return opened;
}

ObjectFd& ObjectFd::operator=(ObjectFd&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::move(other.handle_);
    }
    return *this;
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

ShmObject::~ShmObject() {
    release();
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

void ShmObject::abandon() noexcept {
    fd_.close();
}

ObjectFd ShmObject::give_up_claim() noexcept {
    if (fd_.get() >= 0) {
        ::flock(fd_.get(), LOCK_UN);
    }
    path_.clear();
    return std::move(fd_);
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

MappedView::~MappedView() {
    unmap();
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

CreateOutcome create_object(ObjectKind kind, std::string_view name, const CreateHooks& hooks,
                            ShmObject& out) {
    std::string path = object_path(kind, name);
    Backoff exclusively_held(settings::timing().exclusive_wait_limit);
    Backoff unusable_yet(settings::timing().unusable_wait_limit);
    int races = 0;
    for (;;) {
        int flags = object_open_flags(kind);
        if (kind == ObjectKind::evt) {
            if (::mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
                return CreateOutcome::failed;
            }
        } else {
            flags |= O_CREAT;
        }
        ObjectFd fd = ObjectFd::open(path.c_str(), flags, 0600);
        if (fd.get() < 0) {
            // A FIFO can be removed as a leftover between mkfifo and open.
            if (kind == ObjectKind::evt && errno == ENOENT && ++races < MAX_RACE_ROUNDS) {
                continue;
            }
            return CreateOutcome::failed;
        }
        if (!is_expected_file(fd.get(), kind)) {
            return CreateOutcome::failed;
        }

        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            // Nobody holds it: new, or a leftover of a dead process. Unless a
            // releaser or sweep removed it before we locked it, it is ours to
            // initialise, and nobody can open it until we downgrade.
            if (!name_refers_to(path.c_str(), fd.get())) {
                if (++races < MAX_RACE_ROUNDS) {
                    continue;
                }
                return CreateOutcome::failed;
            }
            if (::fchmod(fd.get(), 0600) != 0 || !hooks.initialise(fd.get())) {
                // Still exclusively ours: leave no half-made object behind.
                ::unlink(path.c_str());
                return CreateOutcome::failed;
            }
            // Linux converts EX to SH under the inode's lock-list spinlock,
            // so no other opener, releaser or sweep can see the object
            // unheld between the two; a downgrade never has to wait.
            if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) {
                return CreateOutcome::failed;
            }
            out = ShmObject(std::move(fd), std::move(path));
            return CreateOutcome::created;
        }
        if (errno != EWOULDBLOCK) {
            return CreateOutcome::failed;
        }

        if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK) {
                return CreateOutcome::failed;
            }
            // Held exclusively: being initialised, released or swept. Start
            // again from the name, which may be gone or new by then.
            fd.close();
            if (!exclusively_held.sleep()) {
                return CreateOutcome::failed;
            }
            continue;
        }
        if (!name_refers_to(path.c_str(), fd.get())) {
            // It was released and removed before we locked it.
            if (++races < MAX_RACE_ROUNDS) {
                continue;
            }
            return CreateOutcome::failed;
        }
        switch (hooks.check_existing(fd.get())) {
            case Existing::usable:
                out = ShmObject(std::move(fd), std::move(path));
                return CreateOutcome::created;
            case Existing::stale:
                // Our own shared lock would keep it from ever being renewed.
                fd.close();
                if (!unusable_yet.sleep()) {
                    return CreateOutcome::unusable;
                }
                continue;
            case Existing::unusable:
                return CreateOutcome::unusable;
        }
    }
}

std::optional<ShmObject> open_object(ObjectKind kind, std::string_view name, OpenFailure* why) {
    const auto fail = [why](OpenFailure failure) -> std::optional<ShmObject> {
        if (why != nullptr) {
            *why = failure;
        }
        return std::nullopt;
    };
    std::string path = object_path(kind, name);
    Backoff exclusively_held(settings::timing().exclusive_wait_limit);
    int races = 0;
    for (;;) {
        ObjectFd fd = ObjectFd::open(path.c_str(), object_open_flags(kind), 0);
        if (fd.get() < 0) {
            return fail(open_says_gone(errno) ? OpenFailure::gone : OpenFailure::local);
        }
        if (!is_expected_file(fd.get(), kind)) {
            return fail(OpenFailure::gone);
        }
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            // Nobody holds it: a leftover of a dead process. (A creator that
            // has not locked its new file yet notices the removal and starts
            // over.)
            if (name_refers_to(path.c_str(), fd.get())) {
                ::unlink(path.c_str());
            }
            return fail(OpenFailure::gone);
        }
        if (errno != EWOULDBLOCK) {
            return fail(OpenFailure::local);
        }
        if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK) {
                return fail(OpenFailure::local);
            }
            // See create_object: try the name again a little later.
            fd.close();
            if (!exclusively_held.sleep()) {
                // Someone holds it exclusively for too long: it exists, so
                // this is no proof that its owner is gone.
                return fail(OpenFailure::local);
            }
            continue;
        }
        if (name_refers_to(path.c_str(), fd.get())) {
            return ShmObject(std::move(fd), std::move(path));
        }
        if (++races >= MAX_RACE_ROUNDS) {
            return fail(OpenFailure::local);
        }
    }
}

std::optional<uint64_t> object_size(int fd) noexcept {
    struct stat st{};
    if (::fstat(fd, &st) != 0 || st.st_size < 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(st.st_size);
}

}  // namespace tarnvel::platform::posix

namespace tarnvel::platform {

void sweep_leftovers() noexcept {
    DIR* dir = ::opendir(posix::OBJECT_DIRECTORY);
    if (dir == nullptr) {
        return;
    }
    const int dir_fd = ::dirfd(dir);
    const uid_t own_uid = ::geteuid();
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view file_name(entry->d_name);
        if (!file_name.starts_with(posix::OBJECT_FILE_PREFIX)) {
            continue;
        }
        // Read-only and non-blocking opens a FIFO without waiting for a
        // writer; flock needs no write access. The descriptor is not listed
        // for fork children: a copy can only keep a lock on a file whose name
        // is removed here, or no lock at all, and openers never wait for that.
        const int fd = ::openat(dir_fd, entry->d_name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            continue;
        }
        struct stat opened{};
        struct stat named{};
        if (::fstat(fd, &opened) == 0 && opened.st_uid == own_uid &&
            (S_ISREG(opened.st_mode) || S_ISFIFO(opened.st_mode)) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::fstatat(dir_fd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && posix::same_file(opened, named)) {
            ::unlinkat(dir_fd, entry->d_name, 0);
        }
        ::close(fd);
    }
    ::closedir(dir);
}

}  // namespace tarnvel::platform
