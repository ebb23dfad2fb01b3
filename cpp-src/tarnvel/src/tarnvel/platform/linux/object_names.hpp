// Where a named object lives: the file name a name maps to. Peers written
// from the formats alone follow the same rule (see object_names.cpp) to find
// the objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnvel::platform::detail {

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
// object_names.cpp.
std::string object_file_name(ObjectKind kind, std::string_view name);

// OBJECT_DIRECTORY + "/" + object_file_name(kind, name).
std::string object_path(ObjectKind kind, std::string_view name);

}  // namespace tarnvel::platform::detail
