// Integers in the book, the mailboxes and the frames are little-endian and
// unaligned; these read and write them a byte at a time.
#pragma once

#include "tarnvel/tarnvel.hpp"

#include <cstdint>

namespace tarnvel {

inline uint32_t load_le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline void store_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// One insert rather than four pushes: frames are built per call.
template <class Out>
void append_le32(Out& out, uint32_t v) {
    uint8_t bytes[4];
    store_le32(bytes, v);
    out.insert(out.end(), bytes, bytes + 4);
}

}  // namespace tarnvel
