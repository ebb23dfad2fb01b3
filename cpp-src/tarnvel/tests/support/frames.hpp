// Frames built and taken apart whole, for tests and the fuzz target: the
// node itself writes requests and responses in one pass and reads frames
// in place (frame.hpp).
#pragma once

#include "frame.hpp"
#include "tarnvel/tarnvel.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tarnvel {

struct Frame {
    uint8_t kind = 0;
    uint16_t seq = 0;
    uint32_t pid = 0;  // the sending node's process id
    Bytes body;
};

// Throws std::length_error when the total length would not fit its 32-bit field.
Bytes encode_frame(uint8_t kind, uint16_t seq, uint32_t pid, std::span<const uint8_t> body);
Bytes encode_frame(const Frame& f);
// A copy of what view_frame() sees.
std::optional<Frame> decode_frame(std::span<const uint8_t> bytes);

// The bodies the node's own encode_request() and encode_response() write.
Bytes encode_request_body(std::string_view method, std::span<const uint8_t> args);
Bytes encode_response_body(uint8_t status, std::span<const uint8_t> result);

}  // namespace tarnvel
