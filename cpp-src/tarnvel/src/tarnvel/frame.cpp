#include "frame.hpp"

#include "byte_order.hpp"
#include "packed_string.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace tarnvel {

namespace {

// Where a frame's body starts: behind its marker, length, kind, seq and pid.
constexpr size_t BODY = 12;

// The head of a frame whose body has `body_size` bytes; the caller appends
// the body's first field.
decltype(OutFrame::head) begin_frame(uint8_t kind, uint16_t seq, uint32_t pid, uint64_t body_size, size_t head_room) {
    if (body_size > std::numeric_limits<uint32_t>::max() - FRAME_OVERHEAD) {
        throw std::length_error("frame body too large");
    }
    const auto total = static_cast<uint32_t>(body_size + FRAME_OVERHEAD);
    uint8_t head[BODY];
    head[0] = FRAME_START_MARKER;
    store_le32(head + 1, total);
    head[5] = kind;
    head[6] = static_cast<uint8_t>(seq);
    head[7] = static_cast<uint8_t>(seq >> 8);
    store_le32(head + 8, pid);
    decltype(OutFrame::head) out;
    out.reserve(sizeof head + head_room);
    out.insert(out.end(), head, head + sizeof head);
    return out;
}

// Whether the record's frame ends with its end marker.
bool ends_right(const RecordFrame& record) {
    uint8_t tail[3];
    record.copy(record.size() - 3, tail, sizeof tail);
    return tail[0] == FRAME_END_MARKER[0] && tail[1] == FRAME_END_MARKER[1] && tail[2] == FRAME_END_MARKER[2];
}

// An answer's status, and the size of the answer that could not fit for a
// failed delivery that tells it. `start` holds the frame's first BODY + 5
// bytes, or all of a shorter body. An empty body is a failure.
struct AnswerHead {
    uint8_t status = STATUS_EXEC_FAILED;
    uint64_t unfit_answer_bytes = 0;
};

AnswerHead answer_head(const uint8_t* start, size_t body) {
    if (body == 0) return {};
    AnswerHead head{start[BODY], 0};
    if (head.status == STATUS_DELIVER_FAILED && body >= 5) head.unfit_answer_bytes = load_le32(&start[BODY + 1]);
    return head;
}

// A request's packed method name, as unpack_cstring() reads it, and where
// its argument bytes start in the frame (they run up to the end marker).
struct MethodField {
    std::string name;
    size_t args_at = 0;
};

// `start` holds the frame's first BODY + 4 bytes, or all of a shorter body.
std::optional<MethodField> read_method(const RecordFrame& record, const uint8_t* start, size_t body) {
    const uint32_t field = body >= 4 ? load_le32(&start[BODY]) : 0;
    if (field == 0 || uint64_t{field} + 4 > body) return std::nullopt;
    MethodField method;
    method.name.resize(field);  // with its terminator, dropped below
    record.copy(BODY + 4, reinterpret_cast<uint8_t*>(method.name.data()), field);
    if (method.name.back() != '\0') return std::nullopt;
    method.name.pop_back();
    method.args_at = BODY + 4 + field;
    return method;
}

}  // namespace

Bytes OutFrame::joined() const {
    Bytes out;
    out.reserve(size());
    out.insert(out.end(), head.begin(), head.end());
    const std::span<const uint8_t> payload = tail.bytes();
    out.insert(out.end(), payload.begin(), payload.end());
    out.insert(out.end(), std::begin(FRAME_END_MARKER), std::end(FRAME_END_MARKER));
    return out;
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

std::optional<size_t> answer_result_size(const RecordFrame& record) {
    const size_t n = record.size();
    if (n < FRAME_OVERHEAD + 1) return std::nullopt;
    uint8_t start[BODY + 1];
    record.copy(0, start, sizeof start);
    if (start[0] != FRAME_START_MARKER || load_le32(&start[1]) != n || start[5] != FRAME_KIND_RESPONSE ||
        start[BODY] != STATUS_OK) {
        return std::nullopt;
    }
    return n - FRAME_OVERHEAD - 1;
}

std::optional<ReceivedFrame> receive_frame(const RecordFrame& record, std::span<uint8_t> space) {
    const size_t n = record.size();
    if (n < FRAME_OVERHEAD) return std::nullopt;
    // In the ring's order: the start in one small copy, the payload, and the
    // end marker last, which the payload's copy has brought into the cache.
    uint8_t start[BODY + 8];
    const size_t started = std::min(n - 3, sizeof start);
    record.copy(0, start, started);
    if (start[0] != FRAME_START_MARKER || load_le32(&start[1]) != n) return std::nullopt;
    ReceivedFrame frame;
    frame.kind = start[5];
    frame.seq = static_cast<uint16_t>(start[6] | start[7] << 8);
    frame.pid = load_le32(&start[8]);
    const size_t body = n - FRAME_OVERHEAD;
    if (frame.kind == FRAME_KIND_RESPONSE) {
        const AnswerHead head = answer_head(start, body);
        frame.status = head.status;
        frame.unfit_answer_bytes = head.unfit_answer_bytes;
        // Only STATUS_OK carries a result (and has a body, its status).
        if (frame.status == STATUS_OK && !space.empty() && space.size() == body - 1) {
            record.take(BODY + 1, body - 1, space.data());
            frame.payload_in_space = space;
        } else if (frame.status == STATUS_OK) {
            record.take(BODY + 1, body - 1, frame.payload);
        }
        if (!ends_right(record)) return std::nullopt;
        return frame;
    }
    if (frame.kind == FRAME_KIND_REQUEST) {
        std::optional<MethodField> method = read_method(record, start, body);
        frame.body_ok = method.has_value();
        if (method) {
            frame.method = std::move(method->name);
            record.take(method->args_at, n - 3 - method->args_at, frame.payload);
        }
    }
    if (!ends_right(record)) return std::nullopt;
    return frame;
}

std::optional<ResponseInRing> response_in_ring(const RecordFrame& record) {
    const size_t n = record.size();
    if (n < FRAME_OVERHEAD) return std::nullopt;
    uint8_t start[BODY + 5];
    record.copy(0, start, std::min(n - 3, sizeof start));
    if (start[0] != FRAME_START_MARKER || load_le32(&start[1]) != n || start[5] != FRAME_KIND_RESPONSE ||
        !ends_right(record)) {
        return std::nullopt;
    }
    const size_t body = n - FRAME_OVERHEAD;
    const AnswerHead head = answer_head(start, body);
    ResponseInRing response;
    response.seq = static_cast<uint16_t>(start[6] | start[7] << 8);
    response.pid = load_le32(&start[8]);
    response.status = head.status;
    response.unfit_answer_bytes = head.unfit_answer_bytes;
    if (response.status == STATUS_OK) {
        const std::optional<std::span<const uint8_t>> result = record.in_place(BODY + 1, body - 1);
        if (!result) return std::nullopt;
        response.result = *result;
    }
    return response;
}

std::optional<RequestInRing> request_in_ring(const RecordFrame& record) {
    const size_t n = record.size();
    if (n < FRAME_OVERHEAD + 4) return std::nullopt;
    uint8_t start[BODY + 4];
    record.copy(0, start, sizeof start);
    if (start[0] != FRAME_START_MARKER || load_le32(&start[1]) != n || start[5] != FRAME_KIND_REQUEST ||
        !ends_right(record)) {
        return std::nullopt;
    }
    std::optional<MethodField> method = read_method(record, start, n - FRAME_OVERHEAD);
    if (!method) return std::nullopt;
    const std::optional<std::span<const uint8_t>> args = record.in_place(method->args_at, n - 3 - method->args_at);
    if (!args) return std::nullopt;
    return RequestInRing{static_cast<uint16_t>(start[6] | start[7] << 8), load_le32(&start[8]), std::move(method->name),
                         *args};
}

OutFrame request_frame(uint16_t seq, uint32_t pid, std::string_view method, Payload args) {
    if (method.size() > std::numeric_limits<uint32_t>::max() - 1) {
        throw std::length_error("method name too long");
    }
    OutFrame frame;
    frame.head =
        begin_frame(FRAME_KIND_REQUEST, seq, pid, uint64_t{method.size()} + 5 + args.size(), method.size() + 5);
    append_le32(frame.head, static_cast<uint32_t>(method.size() + 1));
    frame.head.insert(frame.head.end(), method.begin(), method.end());
    frame.head.push_back(0);
    frame.tail = std::move(args);
    return frame;
}

OutFrame response_frame(uint16_t seq, uint32_t pid, uint8_t status, Payload result) {
    if (status != STATUS_OK) {
        result.clear();
    }
    OutFrame frame;
    frame.head = begin_frame(FRAME_KIND_RESPONSE, seq, pid, 1 + uint64_t{result.size()}, 1);
    frame.head.push_back(status);
    frame.tail = std::move(result);
    return frame;
}

Bytes encode_request(uint16_t seq, uint32_t pid, std::string_view method, std::span<const uint8_t> args) {
    return request_frame(seq, pid, method, Payload::borrowed(args)).joined();
}

Bytes encode_response(uint16_t seq, uint32_t pid, uint8_t status, std::span<const uint8_t> result) {
    return response_frame(seq, pid, status, Payload::borrowed(result)).joined();
}

OutFrame unfit_answer_frame(uint16_t seq, uint32_t pid, uint32_t answer_size) {
    OutFrame frame;
    frame.head = begin_frame(FRAME_KIND_RESPONSE, seq, pid, 5, 5);
    frame.head.push_back(STATUS_DELIVER_FAILED);
    append_le32(frame.head, answer_size);
    return frame;
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
