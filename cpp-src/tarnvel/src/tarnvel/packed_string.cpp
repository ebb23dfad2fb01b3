#include "packed_string.hpp"

#include "byte_order.hpp"

#include <limits>
#include <stdexcept>

namespace tarnvel {

Bytes pack_cstring(std::string_view s) {
    if (s.size() > std::numeric_limits<uint32_t>::max() - 1) {
        throw std::length_error("string too long to pack");
    }
    const auto field = static_cast<uint32_t>(s.size() + 1);
    Bytes out;
    out.reserve(s.size() + 5);
    append_le32(out, field);
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
    return out;
}

std::optional<UnpackedString> unpack_cstring(std::span<const uint8_t> bytes) {
    if (bytes.size() < 4) {
        return std::nullopt;
    }
    const uint32_t field = load_le32(bytes.data());
    // 64-bit sum: a field near 2^32 must not wrap round into a small length.
    if (field == 0 || uint64_t{field} + 4 > bytes.size() || bytes[size_t{field} + 3] != 0) {
        return std::nullopt;
    }
    return UnpackedString{std::string_view(reinterpret_cast<const char*>(bytes.data() + 4), field - 1),
                          bytes.subspan(size_t{field} + 4)};
}

}  // namespace tarnvel
