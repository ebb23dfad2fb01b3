#include "support/raw_mailbox.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace tarnvel::test {

namespace {

uint32_t get_u32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void append_u32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The positions are read and written by the owner's io thread as well.
uint32_t load_position(const uint8_t* view, size_t offset) {
    return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(view) + offset))
        .load(std::memory_order_acquire);
}

void write_ring(uint8_t* view, uint32_t capacity, uint32_t pos, const uint8_t* data, size_t n) {
    uint8_t* ring = view + RAW_HEADER_SIZE;
    for (size_t i = 0; i < n; ++i) ring[(pos + i) % capacity] = data[i];
}

}  // namespace

MailboxHeader read_mailbox_header(const uint8_t* view) {
    return {get_u32(view), get_u32(view + 4), load_position(view, 8), load_position(view, 12)};
}

void write_mailbox_header(uint8_t* view, const MailboxHeader& header) {
    put_u32(view, header.magic);
    put_u32(view + 4, header.capacity);
    put_u32(view + 8, header.write_pos);
    put_u32(view + 12, header.read_pos);
}

bool ring_is_zero(const uint8_t* view) {
    const uint32_t capacity = get_u32(view + 4);
    const uint8_t* ring = view + RAW_HEADER_SIZE;
    return std::all_of(ring, ring + capacity, [](uint8_t b) { return b == 0; });
}

Bytes read_ring(const uint8_t* view, uint32_t pos, size_t n) {
    const uint32_t capacity = get_u32(view + 4);
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = view[RAW_HEADER_SIZE + (pos + i) % capacity];
    return out;
}

std::vector<Bytes> unread_frames(const uint8_t* view) {
    std::vector<Bytes> frames;
    const auto header = read_mailbox_header(view);
    uint32_t pos = header.read_pos;
    while (pos != header.write_pos) {
        if (header.write_pos - pos < 8) break;
        const Bytes head = read_ring(view, pos, 8);
        const uint8_t ready =
            std::atomic_ref<uint8_t>(const_cast<uint8_t&>(view[RAW_HEADER_SIZE + (pos + 4) % header.capacity]))
                .load(std::memory_order_acquire);
        const uint32_t length = get_u32(head.data());
        if (ready != 1 || length > header.write_pos - pos - 8) break;
        frames.push_back(read_ring(view, pos + 8, length));
        pos += 8 + length;
    }
    return frames;
}

bool append_raw_record(uint8_t* view, uint32_t length_field, std::span<const uint8_t> payload, uint8_t ready) {
    const uint32_t capacity = get_u32(view + 4);
    const uint32_t need = static_cast<uint32_t>(8 + payload.size());
    std::atomic_ref<uint32_t> write_pos(*reinterpret_cast<uint32_t*>(view + 8));
    uint32_t w = write_pos.load(std::memory_order_acquire);
    for (;;) {
        const uint32_t r = load_position(view, 12);
        if (need + (w - r) > capacity) return false;
        if (write_pos.compare_exchange_weak(w, w + need, std::memory_order_acq_rel)) break;
    }
    uint8_t head[8];
    put_u32(head, length_field);
    put_u32(head + 4, 0);
    write_ring(view, capacity, w, head, sizeof head);
    write_ring(view, capacity, w + 8, payload.data(), payload.size());
    // ready is published through its first byte, the other three stay 0.
    std::atomic_ref<uint8_t>(view[RAW_HEADER_SIZE + (w + 4) % capacity]).store(ready, std::memory_order_release);
    return true;
}

Bytes encode_raw_frame(uint8_t kind, uint16_t seq, uint32_t pid, std::span<const uint8_t> body) {
    Bytes frame;
    frame.push_back(0xAA);
    append_u32(frame, static_cast<uint32_t>(body.size() + 15));
    frame.push_back(kind);
    frame.push_back(static_cast<uint8_t>(seq));
    frame.push_back(static_cast<uint8_t>(seq >> 8));
    append_u32(frame, pid);
    frame.insert(frame.end(), body.begin(), body.end());
    frame.insert(frame.end(), {0xBB, 0xCC, 0xDD});
    return frame;
}

Bytes encode_request_frame(uint16_t seq, uint32_t pid, std::string_view method, std::string_view args) {
    Bytes body;
    append_u32(body, static_cast<uint32_t>(method.size() + 1));
    body.insert(body.end(), method.begin(), method.end());
    body.push_back(0);
    body.insert(body.end(), args.begin(), args.end());
    return encode_raw_frame(1, seq, pid, body);
}

std::optional<RawFrame> decode_raw_frame(const Bytes& frame) {
    if (frame.size() < 15 || frame[0] != 0xAA || get_u32(frame.data() + 1) != frame.size()) return std::nullopt;
    const size_t end = frame.size() - 3;
    if (frame[end] != 0xBB || frame[end + 1] != 0xCC || frame[end + 2] != 0xDD) return std::nullopt;
    RawFrame f;
    f.kind = frame[5];
    f.seq = static_cast<uint16_t>(frame[6] | frame[7] << 8);
    f.pid = get_u32(frame.data() + 8);
    f.body.assign(frame.begin() + 12, frame.begin() + static_cast<std::ptrdiff_t>(end));
    return f;
}

}  // namespace tarnvel::test
