// Object file names
// -----------------
// A user's objects live in one folder, which every process of that user
// finds by itself, the same way:
// - If the environment variable XDG_RUNTIME_DIR is set to an absolute path
//   that names a directory (after following symbolic links) owned by the
//   process's effective user and of mode 0700 exactly, that directory, with
//   P = "tarnvel.". The system makes it for the user alone, so no other user
//   can take a name in it first.
// - Otherwise /dev/shm, with P = "tarnvel." + U + ".", U being the effective
//   user id in decimal: another user's objects never share a name with ours
//   (though a user who can write /dev/shm can still create a file under a
//   name of ours that we have not created yet, which we then refuse to use).
// Every object is the file F in that folder, with
//   F = P + kind + "." + E
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
#include "platform/linux/object_names.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace tarnvel::platform::detail {

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
// The hash and the '~' before it.
constexpr std::size_t CUT_SUFFIX_LENGTH = 17;

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
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
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

ObjectPlace choose_object_place(const char* runtime_dir, uid_t uid) {
    struct stat st {};
    if (runtime_dir != nullptr && runtime_dir[0] == '/' && ::stat(runtime_dir, &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == uid && (st.st_mode & 07777) == 0700) {
        return {runtime_dir, std::string(OBJECT_FILE_PREFIX)};
    }
    return {SHARED_OBJECT_DIRECTORY, std::string(OBJECT_FILE_PREFIX) + std::to_string(uid) + "."};
}

const ObjectPlace& object_place() {
    static const ObjectPlace place = choose_object_place(std::getenv("XDG_RUNTIME_DIR"), ::geteuid());
    return place;
}

std::string object_file_name(const ObjectPlace& place, ObjectKind kind, std::string_view name) {
    const std::string encoded = encode_object_name(name);
    std::string file_name(place.file_prefix);
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

std::string object_file_name(ObjectKind kind, std::string_view name) {
    return object_file_name(object_place(), kind, name);
}

std::string object_path(const ObjectPlace& place, ObjectKind kind, std::string_view name) {
    std::string path(place.directory);
    path += '/';
    path += object_file_name(place, kind, name);
    return path;
}

std::string object_path(ObjectKind kind, std::string_view name) { return object_path(object_place(), kind, name); }

}  // namespace tarnvel::platform::detail
