#include "frame.hpp"

#include "byte_order.hpp"
#include "packed_string.hpp"

#include <limits>
#include <stdexcept>

namespace tarnvel {

namespace {

// The frames of this thread's last messages, kept for its next ones: a large
// buffer from the allocator is fresh memory, whose every page faults in
// anew, and that costs far more than the copy into it. Beyond this size a
// buffer is given back: few messages are that large.
constexpr size_t KEPT_FRAME_CAPACITY = size_t{4} << 20;

// A node closed from a static destructor may still write frames on a thread
// whose thread-locals are gone; the flag, trivially destructible, outlives
// them and says so.
thread_local bool spare_frame_gone = false;
struct SpareFrame {
    Bytes bytes;
    ~SpareFrame() { spare_frame_gone = true; }
};
thread_local SpareFrame spare_frame;

Bytes take_spare_frame() noexcept {
    if (spare_frame_gone) return {};
    Bytes out = std::move(spare_frame.bytes);
    spare_frame.bytes = Bytes();
    out.clear();
    return out;
}

// Writes the head for a body of `body_size` bytes; the caller appends the
// body's pieces and then the end marker.
Bytes begin_frame(uint8_t kind, uint16_t seq, uint32_t pid, uint64_t body_size) {
    if (body_size > std::numeric_limits<uint32_t>::max() - FRAME_OVERHEAD) {
        throw std::length_error("frame body too large");
    }
    const auto total = static_cast<uint32_t>(body_size + FRAME_OVERHEAD);
    Bytes out = take_spare_frame();
    out.reserve(total);
    out.push_back(FRAME_START_MARKER);
    append_le32(out, total);
    out.push_back(kind);
    out.push_back(static_cast<uint8_t>(seq));
    out.push_back(static_cast<uint8_t>(seq >> 8));
    append_le32(out, pid);
    return out;
}

void end_frame(Bytes& out) { out.insert(out.end(), std::begin(FRAME_END_MARKER), std::end(FRAME_END_MARKER)); }

}  // namespace

void recycle_frame(Bytes&& frame) noexcept {
    if (spare_frame_gone) return;
    if (frame.capacity() <= spare_frame.bytes.capacity() || frame.capacity() > KEPT_FRAME_CAPACITY) return;
    spare_frame.bytes = std::move(frame);
}

std::optional<FrameView> view_frame(std::span<const uint8_t> bytes) {
    const size_t n = bytes.size();
    if (n < FRAME_OVERHEAD || bytes[0] != FRAME_START_MARKER || bytes[n - 3] != FRAME_END_MARKER[0] ||
        bytes[n - 2] != FRAME_END_MARKER[1] || bytes[n - 1] != FRAME_END_MARKER[2] || load_le32(&bytes[1]) != n) {
        return std::nullopt;
    }
    return FrameView{bytes[5], static_cast<uint16_t>(bytes[6] | bytes[7] << 8), load_le32(&bytes[8]),
                     bytes.subspan(12, n - FRAME_OVERHEAD)};
}

Bytes encode_request(uint16_t seq, uint32_t pid, std::string_view method, std::span<const uint8_t> args) {
    if (method.size() > std::numeric_limits<uint32_t>::max() - 1) {
        throw std::length_error("method name too long");
    }
    Bytes out = begin_frame(FRAME_KIND_REQUEST, seq, pid, uint64_t{method.size()} + 5 + args.size());
    append_le32(out, static_cast<uint32_t>(method.size() + 1));
    out.insert(out.end(), method.begin(), method.end());
    out.push_back(0);
    out.insert(out.end(), args.begin(), args.end());
    end_frame(out);
    return out;
}

Bytes encode_response(uint16_t seq, uint32_t pid, uint8_t status, std::span<const uint8_t> result) {
    if (status != STATUS_OK) {
        result = {};
    }
    Bytes out = begin_frame(FRAME_KIND_RESPONSE, seq, pid, 1 + uint64_t{result.size()});
    out.push_back(status);
    out.insert(out.end(), result.begin(), result.end());
    end_frame(out);
    return out;
}

Bytes encode_unfit_answer(uint16_t seq, uint32_t pid, uint32_t answer_size) {
    Bytes out = begin_frame(FRAME_KIND_RESPONSE, seq, pid, 5);
    out.push_back(STATUS_DELIVER_FAILED);
    append_le32(out, answer_size);
    end_frame(out);
    return out;
}

uint32_t unfit_answer_size(std::span<const uint8_t> body) {
    if (body.size() < 5 || body[0] != STATUS_DELIVER_FAILED) return 0;
    return load_le32(&body[1]);
}

bool request_fits_frame(uint64_t method_size, uint64_t args_size) {
    constexpr uint64_t packed_name_overhead = 5;
    return FRAME_OVERHEAD + packed_name_overhead + method_size + args_size <= std::numeric_limits<uint32_t>::max();
}

std::optional<RequestBody> decode_request_body(std::span<const uint8_t> body) {
    auto packed = unpack_cstring(body);
    if (!packed) {
        return std::nullopt;
    }
    return RequestBody{packed->text, packed->rest};
}

}  // namespace tarnvel
