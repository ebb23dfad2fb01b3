// Looking at the objects of the machine from outside: listing them by their
// file names, and reading a live mapping without becoming one of its holders.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>
#include <thread>

#include "platform/linux/object_handles.hpp"
#include "platform/linux/object_lifetime.hpp"
#include "platform/linux/object_names.hpp"
#include "platform/platform.hpp"

namespace tarnvel::platform {

using detail::ObjectFd;
using detail::ObjectKind;

namespace {

// A file name cut to fit is its first 238 bytes, '~' and 16 hexadecimal
// digits of the hash (see object_names.cpp).
constexpr std::size_t CUT_AT = detail::MAX_OBJECT_FILE_NAME - 17;

// A creator holds its new object exclusively only while it sizes and
// initialises it; a reader that finds it short waits that long at most.
constexpr int SHORT_READ_ROUNDS = 100;
constexpr std::chrono::milliseconds SHORT_READ_PAUSE{1};

ObjectKind kind_of(ObjectType type) noexcept {
    switch (type) {
        case ObjectType::mutex:
            return ObjectKind::mtx;
        case ObjectType::event:
            return ObjectKind::evt;
        case ObjectType::mapping:
            break;
    }
    return ObjectKind::map;
}

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes an encoded name stands for; nothing when it is not an encoding
// this library writes. A cut name may end inside an escape, which is dropped.
std::optional<std::string> decode(std::string_view encoded, bool cut) {
    std::string name;
    name.reserve(encoded.size());
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '%') {
            name.push_back(encoded[i]);
            continue;
        }
        if (i + 2 >= encoded.size()) {
            if (cut) break;
            return std::nullopt;
        }
        const int high = hex_value(encoded[i + 1]);
        const int low = hex_value(encoded[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        name.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    // Whatever this library did not write (a kept byte escaped, lower-case
    // digits, a byte that needs an escape left bare) is somebody else's file.
    const std::string again = detail::encode_object_name(name);
    if (cut ? !encoded.starts_with(again) : again != encoded) return std::nullopt;
    return name;
}

bool is_hash_suffix(std::string_view text) noexcept {
    if (text.size() != 17 || text[0] != '~') return false;
    for (const char c : text.substr(1)) {
        if (hex_value(c) < 0) return false;
    }
    return true;
}

bool is_expected_type(const struct stat& st, ObjectKind kind) noexcept {
    return kind == ObjectKind::evt ? S_ISFIFO(st.st_mode) : S_ISREG(st.st_mode);
}

}  // namespace

std::vector<PresentObject> list_objects(ObjectType type) {
    const ObjectKind kind = kind_of(type);
    // The name rule's own owner gives the prefix of this kind's files.
    const std::string prefix = detail::object_file_name(kind, "");
    std::vector<PresentObject> found;
    DIR* dir = ::opendir(detail::object_place().directory.c_str());
    if (dir == nullptr) return found;
    struct DirCloser {
        DIR* dir;
        ~DirCloser() { ::closedir(dir); }
    } closer{dir};
    const int dir_fd = ::dirfd(dir);
    const uid_t own_uid = ::geteuid();
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view file_name(entry->d_name);
        if (!file_name.starts_with(prefix)) continue;
        // Only what this user could open as such an object: another user's
        // files are never used, so their systems are not this user's.
        struct stat st {};
        if (::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != own_uid ||
            !is_expected_type(st, kind)) {
            continue;
        }
        std::string_view encoded = file_name.substr(prefix.size());
        const bool cut = file_name.size() == detail::MAX_OBJECT_FILE_NAME && is_hash_suffix(file_name.substr(CUT_AT));
        if (cut) encoded = file_name.substr(prefix.size(), CUT_AT - prefix.size());
        std::optional<std::string> name = decode(encoded, cut);
        if (!name) continue;
        std::string location(detail::object_place().directory.c_str());
        location += '/';
        location += file_name;
        found.push_back({std::move(*name), cut, std::string(file_name), std::move(location)});
    }
    return found;
}

std::optional<std::vector<uint8_t>> read_mapping(const std::string& name, std::size_t size) {
    const std::string path = detail::object_path(ObjectKind::map, name);
    for (int round = 0; round < SHORT_READ_ROUNDS; ++round) {
        ObjectFd fd = ObjectFd::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
        if (fd.get() < 0 || !detail::is_expected_file(fd.get(), ObjectKind::map)) return std::nullopt;
        // Every holder keeps a shared flock, so an exclusive one can be had
        // only on a leftover of dead processes: that is no live object. The
        // attempt is let go at once and never waits.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            ::flock(fd.get(), LOCK_UN);
            return std::nullopt;
        }
        if (errno != EWOULDBLOCK) return std::nullopt;
        const std::optional<uint64_t> present = detail::object_size(fd.get());
        if (present && *present >= size) {
            std::vector<uint8_t> bytes(size);
            std::size_t done = 0;
            while (done < size) {
                const ssize_t got = ::pread(fd.get(), bytes.data() + done, size - done, static_cast<off_t>(done));
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) return std::nullopt;
                done += static_cast<std::size_t>(got);
            }
            return bytes;
        }
        // Still being sized by its creator, or smaller than asked for.
        fd.close();
        std::this_thread::sleep_for(SHORT_READ_PAUSE);
    }
    return std::nullopt;
}

}  // namespace tarnvel::platform
