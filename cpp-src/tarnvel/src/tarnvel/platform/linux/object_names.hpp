// Where a named object lives: the folder of the user's objects and the file
// name a name maps to. Peers written from the formats alone follow the same
// rule (see object_names.cpp) to find the objects.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnvel::platform::detail {

// The folder every user may write to, used where a user has no private one.
inline constexpr const char* SHARED_OBJECT_DIRECTORY = "/dev/shm";
inline constexpr std::string_view OBJECT_FILE_PREFIX = "tarnvel.";
// File names longer than this are cut (the limit of Linux file systems).
inline constexpr std::size_t MAX_OBJECT_FILE_NAME = 255;

enum class ObjectKind { map, mtx, evt };

// Where one user's objects live, and how their file names begin.
struct ObjectPlace {
    std::string directory;
    // "tarnvel." in a private folder; "tarnvel.<uid>." in the shared one.
    std::string file_prefix;
};

// The rule, for a value of XDG_RUNTIME_DIR (null when unset) and an
// effective user id; it looks at the folder named.
ObjectPlace choose_object_place(const char* runtime_dir, uid_t uid);

// This process's place: chosen once, from its environment and effective
// user, the first time it is asked for.
const ObjectPlace& object_place();

// FNV-1a, 64 bits: h = 0xCBF29CE484222325; for each byte b,
// h = (h XOR b) * 0x100000001B3 modulo 2^64.
uint64_t fnv1a64(std::string_view bytes) noexcept;

// Keeps A-Z a-z 0-9 _ - . and writes every other byte as '%' and two
// upper-case hexadecimal digits.
std::string encode_object_name(std::string_view name);

// prefix + "<kind>.<encoded name>", cut to 255 bytes as described in
// object_names.cpp.
std::string object_file_name(const ObjectPlace& place, ObjectKind kind, std::string_view name);
std::string object_file_name(ObjectKind kind, std::string_view name);

// The place's directory + "/" + the object's file name.
std::string object_path(const ObjectPlace& place, ObjectKind kind, std::string_view name);
std::string object_path(ObjectKind kind, std::string_view name);

}  // namespace tarnvel::platform::detail
