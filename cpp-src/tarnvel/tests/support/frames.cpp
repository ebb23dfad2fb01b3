#include "support/frames.hpp"

#include <limits>
#include <stdexcept>

namespace tarnvel {

namespace {

void append_le32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The body of a whole frame the node wrote.
Bytes body_of(const Bytes& frame) { return Bytes(frame.begin() + 12, frame.end() - 3); }

}  // namespace

Bytes encode_frame(uint8_t kind, uint16_t seq, uint32_t pid, std::span<const uint8_t> body) {
    if (body.size() > std::numeric_limits<uint32_t>::max() - FRAME_OVERHEAD) {
        throw std::length_error("frame body too large");
    }
    Bytes out;
    out.reserve(body.size() + FRAME_OVERHEAD);
    out.push_back(FRAME_START_MARKER);
    append_le32(out, static_cast<uint32_t>(body.size() + FRAME_OVERHEAD));
    out.push_back(kind);
    out.push_back(static_cast<uint8_t>(seq));
    out.push_back(static_cast<uint8_t>(seq >> 8));
    append_le32(out, pid);
    out.insert(out.end(), body.begin(), body.end());
    out.insert(out.end(), std::begin(FRAME_END_MARKER), std::end(FRAME_END_MARKER));
    return out;
}

Bytes encode_frame(const Frame& f) { return encode_frame(f.kind, f.seq, f.pid, f.body); }

std::optional<Frame> decode_frame(std::span<const uint8_t> bytes) {
    const std::optional<FrameView> view = view_frame(bytes);
    if (!view) return std::nullopt;
    return Frame{view->kind, view->seq, view->pid, Bytes(view->body.begin(), view->body.end())};
}

Bytes encode_request_body(std::string_view method, std::span<const uint8_t> args) {
    return body_of(encode_request(0, 0, method, args));
}

Bytes encode_response_body(uint8_t status, std::span<const uint8_t> result) {
    return body_of(encode_response(0, 0, status, result));
}

}  // namespace tarnvel
