// The mailbox: a ring in shared memory that any number of processes append
// records to without a lock and that only its owner reads.
//
//   header (16 bytes): magic "TRV1", u32 capacity, u32 write_pos, u32 read_pos
//   ring data: `capacity` bytes of records
//   record: u32 length L, u32 ready (0 while written, 1 once complete), L frame bytes
//
// A piece at position q starts at ring offset q mod capacity and continues at
// offset 0 when it reaches the end; each field of a record is placed from its
// own position, so even a 4-byte field may be split across the end.
//
// The view must be 4-byte aligned (a mapping is page-aligned); an unaligned
// view is refused rather than touched.
#pragma once

#include "tarnvel/tarnvel.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace tarnvel {

inline constexpr uint32_t MAILBOX_MAGIC = 0x31565254;  // "TRV1"
inline constexpr size_t MAILBOX_HEADER_SIZE = 16;
inline constexpr size_t RECORD_HEADER_SIZE = 8;

// Positions run modulo this: the largest multiple of capacity that fits in 32
// bits (2^32 itself when capacity is a power of two, where it is plain u32
// arithmetic). Keeping it a multiple of capacity keeps ring offsets continuous
// where the positions wrap. 0 for capacity 0.
uint64_t ring_modulus(uint32_t capacity);

// The capacity a mailbox of `size` bytes gets: size - 16, cut to 32 bits.
uint32_t mailbox_capacity(uint64_t size);

// Owner, at construction: magic, capacity, both positions 0, ring zeroed.
// Throws std::invalid_argument when `size` leaves no ring at all.
void init_mailbox(uint8_t* view, uint64_t size);

// Owner, at close: the magic goes, so that a sender still holding the
// mailbox open finds a bad header instead of writing into a mailbox nobody
// will read again.
void retire_mailbox(uint8_t* view, uint64_t size) noexcept;

enum class AppendResult { ok, bad_header, too_large, full };

// Sender side. `view_size` is the number of bytes accessible from `view` (0 when
// unknown: the header's capacity is then trusted). Nothing is written unless
// the result is ok, and never outside the view.
AppendResult append_record(uint8_t* view, uint64_t view_size, std::span<const uint8_t> frame);

// Owner side, on the mailbox's one reader thread. Hands each complete frame, in
// reservation order, to `on_frame` after read_pos has moved past it, so writers
// may reuse the space while it runs. `buffer` is reused across records. Returns
// when the ring is empty or the record at its head is still being written.
// Record heads that cannot be honest are skipped; a damaged header makes it
// re-initialise the mailbox.
void drain_records(uint8_t* view, uint64_t view_size, Bytes& buffer,
                   const std::function<void(const Bytes&)>& on_frame);

}  // namespace tarnvel
