// Frames: the unit a mailbox record carries, a request or a response.
//
//   0xAA, u32 total length, kind, u16 seq, u32 pid, body, 0xBB 0xCC 0xDD
//
// All integers little-endian.
#pragma once

#include "ring.hpp"
#include "tarnvel/tarnvel.hpp"

#include <boost/container/small_vector.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

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

// A frame copied out of a mailbox in its parts, its payload (a request's
// argument bytes, an answer's result) straight into a vector of its own.
struct ReceivedFrame {
    uint8_t kind = 0;
    uint16_t seq = 0;
    uint32_t pid = 0;
    // A request: false when its body does not start with a packed method
    // name (its caller gets STATUS_EXEC_FAILED).
    bool body_ok = true;
    std::string method;
    // An answer: its status (STATUS_EXEC_FAILED for an empty body), and with
    // STATUS_DELIVER_FAILED the size it tells (see unfit_answer_size).
    uint8_t status = STATUS_OK;
    uint32_t unfit_answer_bytes = 0;
    // A request's arguments; an answer's result, with STATUS_OK only.
    Bytes payload;
    // Where an answer's result went instead of `payload` (see receive_frame);
    // empty otherwise.
    std::span<const uint8_t> payload_in_space;
};
// What view_frame() and decode_request_body() would make of the record's
// frame, read from the ring; nothing when markers and the length disagree.
// It takes the payload (RecordFrame::take), clearing it in the ring: once per
// record, within drain_records. The result of an answer with STATUS_OK that
// is exactly as long as `space` goes there (payload_in_space), and its
// payload stays empty.
std::optional<ReceivedFrame> receive_frame(const RecordFrame& record, std::span<uint8_t> space = {});
// A request whose argument bytes are left where they lie in the ring.
struct RequestInRing {
    uint16_t seq = 0;
    uint32_t pid = 0;
    std::string method;
    std::span<const uint8_t> args;  // valid while the record is (RecordFrame::in_place)
};
// The record's frame as such a request, when it is a well-formed request and
// its argument bytes lie in one piece; nothing otherwise (receive_frame then
// reads it as usual). Copies and clears nothing but the method name's copy.
std::optional<RequestInRing> request_in_ring(const RecordFrame& record);
// An answer whose result is left where it lies in the ring.
struct ResponseInRing {
    uint16_t seq = 0;
    uint32_t pid = 0;
    uint8_t status = STATUS_OK;
    std::span<const uint8_t> result;  // valid while the record is (RecordFrame::in_place)
    uint64_t unfit_answer_bytes = 0;
};
// The record's frame as such an answer, when it is a well-formed answer
// whose result lies in one piece; nothing otherwise. Copies and clears
// nothing.
std::optional<ResponseInRing> response_in_ring(const RecordFrame& record);
// The length of the result the record's frame carries, when it looks like an
// answer with STATUS_OK (its start only is read: the rest is checked when it
// is received).
std::optional<size_t> answer_result_size(const RecordFrame& record);

// A message's payload: bytes of its own, or bytes borrowed from whoever
// sends it, valid only until that send returns. Whatever keeps a message
// longer (a queue) has it own its bytes first.
class Payload {
public:
    Payload() = default;
    Payload(Bytes owned) noexcept : owned_(std::move(owned)) {}  // NOLINT: a vector is a payload
    static Payload borrowed(std::span<const uint8_t> bytes) noexcept {
        Payload payload;
        payload.borrowed_ = bytes;
        return payload;
    }
    std::span<const uint8_t> bytes() const noexcept { return borrowed_ ? *borrowed_ : std::span<const uint8_t>(owned_); }
    size_t size() const noexcept { return bytes().size(); }
    bool borrowed() const noexcept { return borrowed_.has_value(); }
    // Copies borrowed bytes into the payload's own, in `spare`'s memory when
    // it is large enough; nothing to do otherwise.
    void own(Bytes spare = {}) {
        if (!borrowed_) return;
        spare.assign(borrowed_->begin(), borrowed_->end());
        owned_ = std::move(spare);
        borrowed_.reset();
    }
    // The payload's own bytes, for their memory to be used again; the payload
    // is left empty.
    Bytes release() noexcept {
        borrowed_.reset();
        return std::move(owned_);
    }
    // No result but STATUS_OK's is sent.
    void clear() noexcept {
        owned_.clear();
        borrowed_.reset();
    }

private:
    Bytes owned_;
    std::optional<std::span<const uint8_t>> borrowed_;
};

// A frame to be written in three pieces: its head (start marker to the
// body's first field: a request's packed method name, an answer's status),
// the rest of its body, moved in whole (a request's argument bytes, an
// answer's result), and the end marker. The pieces go into the ring as they
// are: the payload is copied once, by the write itself.
struct OutFrame {
    // Held inline up to a method name of about 45 bytes: no allocation for
    // the head of a usual message.
    boost::container::small_vector<uint8_t, 64> head;
    Payload tail;
    size_t size() const noexcept { return head.size() + tail.size() + sizeof FRAME_END_MARKER; }
    uint8_t kind() const noexcept { return head.size() > 5 ? head[5] : 0; }
    // The frame in one piece.
    Bytes joined() const;
};

// The request for `method` with `args`, and the response with `status` (its
// result only for STATUS_OK). Throw std::length_error when the total length
// would not fit its 32-bit field.
OutFrame request_frame(uint16_t seq, uint32_t pid, std::string_view method, Payload args);
OutFrame response_frame(uint16_t seq, uint32_t pid, uint8_t status, Payload result);
// The same, joined.
Bytes encode_request(uint16_t seq, uint32_t pid, std::string_view method, std::span<const uint8_t> args);
Bytes encode_response(uint16_t seq, uint32_t pid, uint8_t status, std::span<const uint8_t> result);
// What a node answers when its answer of `answer_size` result bytes cannot
// fit the caller's mailbox: STATUS_DELIVER_FAILED followed by that size (u32).
// A receiver that knows only the status ignores the bytes after it.
OutFrame unfit_answer_frame(uint16_t seq, uint32_t pid, uint32_t answer_size);
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
