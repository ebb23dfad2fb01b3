// Frames: the unit a mailbox record carries, a request or a response.
//
//   0xAA, u32 total length, kind, u16 seq, u32 pid, body, 0xBB 0xCC 0xDD
//
// All integers little-endian.
#pragma once

#include "tarnvel/tarnvel.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tarnvel {

inline constexpr uint8_t FRAME_KIND_REQUEST = 1, FRAME_KIND_RESPONSE = 2;
// Start marker, length, kind, seq, pid and end marker around the body.
inline constexpr size_t FRAME_OVERHEAD = 15;
inline constexpr uint8_t FRAME_START_MARKER = 0xAA;
inline constexpr uint8_t FRAME_END_MARKER[3] = {0xBB, 0xCC, 0xDD};

// A decoded frame whose body still lies in the bytes it was read from.
struct FrameView {
    uint8_t kind = 0;
    uint16_t seq = 0;
    uint32_t pid = 0;
    std::span<const uint8_t> body;
};

// `bytes` is exactly one record's frame; nothing unless markers and the
// length field agree with it.
std::optional<FrameView> view_frame(std::span<const uint8_t> bytes);

// Whole frames written in one pass, with no body built apart first: the
// request for `method` with `args`, and the response with `status` (its
// result only for STATUS_OK). Throw std::length_error when the total length
// would not fit its 32-bit field.
Bytes encode_request(uint16_t seq, uint32_t pid, std::string_view method, std::span<const uint8_t> args);
Bytes encode_response(uint16_t seq, uint32_t pid, uint8_t status, std::span<const uint8_t> result);
// Hands a frame that has been written (or dropped) back to this thread's
// encoders, which build their next frame in its memory. Any thread.
void recycle_frame(Bytes&& frame) noexcept;
// What a node answers when its answer of `answer_size` result bytes cannot
// fit the caller's mailbox: STATUS_DELIVER_FAILED followed by that size (u32).
// A receiver that knows only the status ignores the bytes after it.
Bytes encode_unfit_answer(uint16_t seq, uint32_t pid, uint32_t answer_size);
// The size a response body of that kind tells; 0 for any other body.
uint32_t unfit_answer_size(std::span<const uint8_t> body);

// Whether the request for a method name and arguments of these sizes fits
// the 32-bit length field of a frame; no mailbox could take a larger one.
bool request_fits_frame(uint64_t method_size, uint64_t args_size);

// A request's body: the method name packed as a string, then the argument
// bytes unchanged. A response's: the status byte, then the result only for
// STATUS_OK.
struct RequestBody {
    std::string_view method;
    std::span<const uint8_t> args;
};
// Views into `body`; nothing when its head is not a complete packed string.
std::optional<RequestBody> decode_request_body(std::span<const uint8_t> body);

}  // namespace tarnvel
