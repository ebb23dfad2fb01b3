// The packed string: u32 little-endian length-plus-one, the bytes, one zero
// byte. Method names travel in it at the head of a request, and the built-in
// methods answer in it.
#pragma once

#include "tarnvel/tarnvel.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tarnvel {

// The length field counts the terminating zero, so a string may hold at most
// 2^32 - 2 bytes; a longer one throws std::length_error.
Bytes pack_cstring(std::string_view s);

struct UnpackedString {
    std::string_view text;          // may contain zero bytes: the length field decides
    std::span<const uint8_t> rest;  // whatever follows the terminating zero
};

// Reads a packed string at the head of `bytes`; nothing when the head does not
// hold a complete one (too short, a zero length field, a length reaching past
// the end, or no zero byte where the length says the string ends).
std::optional<UnpackedString> unpack_cstring(std::span<const uint8_t> bytes);

}  // namespace tarnvel
