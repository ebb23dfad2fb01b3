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

#include <cerrno>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tarnvel/platform/platform.hpp"

namespace tarnvel::platform::posix {

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
// The hash and the '~' before it.
constexpr std::size_t CUT_SUFFIX_LENGTH = 17;

// Races with other openers, releasers and sweeps end in a few rounds; the
// bound only keeps a pathological case from spinning forever.
constexpr int MAX_OPEN_ATTEMPTS = 100;

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

// Closes on scope exit unless released.
class UniqueFd {
public:
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

int open_retrying(const char* path, int flags, mode_t mode) noexcept {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int flock_retrying(int fd, int operation) noexcept {
    int rc;
    do {
        rc = ::flock(fd, operation);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

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

// Files of the wrong type or of another user are never used: another user
// could read a mailbox it created for us to fill.
bool is_expected_file(int fd, ObjectKind kind) noexcept {
    struct stat st{};
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
        return false;
    }
    return kind == ObjectKind::evt ? S_ISFIFO(st.st_mode) : S_ISREG(st.st_mode);
}

// Events are opened non-blocking: a FIFO open must never wait for a peer,
// and the owner's reads drain it until EAGAIN.
int object_open_flags(ObjectKind kind) noexcept {
    return kind == ObjectKind::evt ? (O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW)
                                   : (O_RDWR | O_CLOEXEC | O_NOFOLLOW);
}

}  // namespace

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

ShmObject::ShmObject(int fd, std::string path) noexcept : fd_(fd), path_(std::move(path)) {}

ShmObject::ShmObject(ShmObject&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

ShmObject& ShmObject::operator=(ShmObject&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

ShmObject::~ShmObject() {
    release();
}

void ShmObject::release() noexcept {
    if (fd_ < 0) {
        return;
    }
    // Converting our shared lock to an exclusive one succeeds only when no
    // other handle exists. When it fails Linux has already dropped our shared
    // lock, which is harmless: we close next anyway. The name may meanwhile
    // have been taken over by a new object, which must survive.
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0 && name_refers_to(path_.c_str(), fd_)) {
        ::unlink(path_.c_str());
    }
    ::close(fd_);
    fd_ = -1;
}

void ShmObject::abandon() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

MappedView::MappedView(int fd, std::size_t size) noexcept {
    if (size == 0) {
        return;
    }
    void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address != MAP_FAILED) {
        data_ = static_cast<uint8_t*>(address);
        size_ = size;
    }
}

MappedView::MappedView(MappedView&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedView& MappedView::operator=(MappedView&& other) noexcept {
    if (this != &other) {
        unmap();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

MappedView::~MappedView() {
    unmap();
}

void MappedView::unmap() noexcept {
    if (data_ != nullptr) {
        ::munmap(data_, size_);
        data_ = nullptr;
        size_ = 0;
    }
}

CreateOutcome create_object(ObjectKind kind, std::string_view name, const CreateHooks& hooks,
                            ShmObject& out) {
    std::string path = object_path(kind, name);
    bool last_was_stale = false;
    for (int attempt = 0; attempt < MAX_OPEN_ATTEMPTS; ++attempt) {
        int flags = object_open_flags(kind);
        if (kind == ObjectKind::evt) {
            if (::mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
                return CreateOutcome::failed;
            }
        } else {
            flags |= O_CREAT;
        }
        UniqueFd fd(open_retrying(path.c_str(), flags, 0600));
        if (fd.get() < 0) {
            // A FIFO can be removed as a leftover between mkfifo and open.
            if (kind == ObjectKind::evt && errno == ENOENT) {
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
                continue;
            }
            if (::fchmod(fd.get(), 0600) != 0 || !hooks.initialise(fd.get())) {
                // Still exclusively ours: leave no half-made object behind.
                ::unlink(path.c_str());
                return CreateOutcome::failed;
            }
            // Linux converts EX to SH under the inode's lock-list spinlock,
            // so no other opener, releaser or sweep can see the object
            // unheld between the two.
            if (::flock(fd.get(), LOCK_SH) != 0) {
                return CreateOutcome::failed;
            }
            out = ShmObject(fd.release(), std::move(path));
            return CreateOutcome::created;
        }
        if (errno != EWOULDBLOCK) {
            return CreateOutcome::failed;
        }

        // Somebody holds it. This waits only while a creator initialises it
        // or a releaser decides about it.
        if (flock_retrying(fd.get(), LOCK_SH) != 0) {
            return CreateOutcome::failed;
        }
        if (!name_refers_to(path.c_str(), fd.get())) {
            continue;  // it was released and removed while we waited
        }
        switch (hooks.check_existing(fd.get())) {
            case Existing::usable:
                out = ShmObject(fd.release(), std::move(path));
                return CreateOutcome::created;
            case Existing::stale:
                last_was_stale = true;
                continue;
            case Existing::unusable:
                return CreateOutcome::unusable;
        }
    }
    return last_was_stale ? CreateOutcome::unusable : CreateOutcome::failed;
}

std::optional<ShmObject> open_object(ObjectKind kind, std::string_view name) {
    std::string path = object_path(kind, name);
    for (int attempt = 0; attempt < MAX_OPEN_ATTEMPTS; ++attempt) {
        UniqueFd fd(open_retrying(path.c_str(), object_open_flags(kind), 0));
        if (fd.get() < 0 || !is_expected_file(fd.get(), kind)) {
            return std::nullopt;
        }
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            // Nobody holds it: a leftover of a dead process. (A creator that
            // has not locked its new file yet notices the removal and starts
            // over.)
            if (name_refers_to(path.c_str(), fd.get())) {
                ::unlink(path.c_str());
            }
            return std::nullopt;
        }
        if (errno != EWOULDBLOCK || flock_retrying(fd.get(), LOCK_SH) != 0) {
            return std::nullopt;
        }
        if (name_refers_to(path.c_str(), fd.get())) {
            return ShmObject(fd.release(), std::move(path));
        }
    }
    return std::nullopt;
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
        // writer; flock needs no write access.
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
