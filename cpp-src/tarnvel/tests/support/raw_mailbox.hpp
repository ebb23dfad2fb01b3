// A node's mailbox seen from outside, byte by byte: header fields, raw
// records (including ones no honest sender would write) and frames encoded
// by hand, so the tests check the wire format rather than restate the code.
#pragma once

#include "tarnvel/tarnvel.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tarnvel::test {

inline constexpr uint32_t RAW_MAILBOX_MAGIC = 0x31565254;  // "TRV1"
inline constexpr size_t RAW_HEADER_SIZE = 16;

struct MailboxHeader {
    uint32_t magic = 0;
    uint32_t capacity = 0;
    uint32_t write_pos = 0;
    uint32_t read_pos = 0;
};

MailboxHeader read_mailbox_header(const uint8_t* view);
void write_mailbox_header(uint8_t* view, const MailboxHeader& header);
// Every byte of the ring data is zero.
bool ring_is_zero(const uint8_t* view);
// `n` bytes of the ring starting at position `pos`, wrapped at its end.
Bytes read_ring(const uint8_t* view, uint32_t pos, size_t n);

// The frames of the complete records between read_pos and write_pos of a
// mailbox nobody reads, in ring order.
std::vector<Bytes> unread_frames(const uint8_t* view);

// Appends a record whose length field says `length_field` but which carries
// `payload` (an honest sender makes them agree): reserves 8 + payload bytes
// by compare-and-swap, writes the head with ready 0, the payload, then
// `ready` last (an honest sender's 1; 0 leaves the record as a writer that
// died before its commit would). False when the ring has no room. Positions
// must be far from 2^32.
bool append_raw_record(uint8_t* view, uint32_t length_field, std::span<const uint8_t> payload, uint8_t ready = 1);

// Any body, any kind; the markers and the length field are right.
Bytes encode_raw_frame(uint8_t kind, uint16_t seq, uint32_t pid, std::span<const uint8_t> body);
Bytes encode_request_frame(uint16_t seq, uint32_t pid, std::string_view method, std::string_view args);

struct RawFrame {
    uint8_t kind = 0;
    uint16_t seq = 0;
    uint32_t pid = 0;
    Bytes body;
};
std::optional<RawFrame> decode_raw_frame(const Bytes& frame);

}  // namespace tarnvel::test
