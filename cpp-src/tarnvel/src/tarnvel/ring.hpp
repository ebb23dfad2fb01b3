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

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>

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

// Owner: whether the record at the head is complete, so that draining now
// would take it. A hint for deciding whether to wait; never throws.
bool head_ready(uint8_t* view, uint64_t size) noexcept;
// Owner: whether writers have reserved room beyond the complete record at the
// head (or there is no such record). Never throws.
bool reserved_beyond_head(uint8_t* view, uint64_t size) noexcept;

enum class AppendResult { ok, bad_header, too_large, full };

// Sender side. `view_size` is the number of bytes accessible from `view`; 0
// (unknown) is a bad header, since the header's capacity alone cannot be
// trusted. Nothing is written unless the result is ok, and never outside the view.
AppendResult append_record(uint8_t* view, uint64_t view_size, std::span<const uint8_t> frame);
// The same for a frame given in pieces, written one after the other.
AppendResult append_record(uint8_t* view, uint64_t view_size, std::span<const std::span<const uint8_t>> pieces,
                           uint32_t* capacity = nullptr);
// Several records, each a frame in pieces, in one reservation of space: all
// or none (too_large when they could never fit together). Writers that send
// several records to one mailbox at once move its write position once.
// With `capacity`, both forms tell the capacity they read in the header (on
// ok), so that the writer need not read it again.
AppendResult append_records(uint8_t* view, uint64_t view_size,
                            std::span<const std::span<const std::span<const uint8_t>>> records,
                            uint32_t* capacity = nullptr);

using DrainClock = std::chrono::steady_clock;

// How long a record may stay at the head of the ring without being complete
// before the reader takes its writer for dead: a writer commits within
// microseconds of its reservation, and a large frame gets a second more for
// every 64 MiB its length field states.
inline constexpr DrainClock::duration ABANDONED_AFTER = std::chrono::seconds(1);
inline constexpr uint64_t ABANDONED_BYTES_PER_SECOND = uint64_t{64} << 20;

// What the reader remembers between drains about a head it could not read.
// Starts empty; owned by the mailbox's one reader.
struct DrainState {
    uint32_t read_pos = 0;  // where the rest of the state applies
    // Set while the head cannot be read: when that was first seen, and the
    // bytes writers had reserved from it by then.
    bool waiting = false;
    DrainClock::time_point since{};
    uint64_t reserved = 0;
    // Bytes from read_pos on whose writers are all done (committed, or dead):
    // what is not a complete record there can be stepped over at once.
    uint64_t settled = 0;
};

// A complete record's frame where it lies in the ring, for a reader that
// copies its parts straight to where they go: one copy out of the ring. Only
// inside drain_records' copy_out: take() clears what it copies.
class RecordFrame {
public:
    RecordFrame(uint8_t* ring_data, uint32_t capacity, uint64_t record_pos, uint32_t size) noexcept
        : data_(ring_data), capacity_(capacity), pos_(record_pos), size_(size) {}
    uint32_t size() const noexcept { return size_; }
    // Copies `n` bytes from `offset` of the frame to `out`; offset + n must
    // not exceed size().
    void copy(size_t offset, uint8_t* out, size_t n) const noexcept;
    // Makes `out` those bytes, copied once (a resize first would write them
    // all twice, which shows on large payloads), and clears them in the ring
    // piece by piece while the piece is still in this core's cache: the
    // reader clears all it has read anyway, and a second pass over a large
    // payload would fetch it again. At most once per frame; nothing is
    // cleared unless `out` could be made.
    void take(size_t offset, size_t n, Bytes& out) const;
    // The same into `n` bytes of memory at `out`, which cannot fail.
    void take(size_t offset, size_t n, uint8_t* out) const noexcept;
    // The `n` bytes from `offset` of the frame where they lie, when they lie
    // in one piece (not across the end of the ring); nothing otherwise.
    // Valid until the drain moves past the record, which then clears them.
    std::optional<std::span<const uint8_t>> in_place(size_t offset, size_t n) const noexcept;
    // The part of the record that take() cleared, as [first, last) offsets
    // from the record's start (its head included), or an empty range.
    std::pair<size_t, size_t> cleared() const noexcept { return {cleared_first_, cleared_last_}; }
    // What `act` does with this frame is quick (an answer's completion, a
    // frame handled in copy_out already): the drain may keep the frame's
    // space from writers until it stops, rather than free it before `act`.
    void act_is_quick() const noexcept { quick_ = true; }
    bool quick() const noexcept { return quick_; }

private:
    // Hands each piece to `sink` right before clearing it.
    template <class Sink>
    void take_pieces(size_t offset, size_t n, const Sink& sink) const;

    uint8_t* data_;
    uint32_t capacity_;
    uint64_t pos_;
    uint32_t size_;
    mutable size_t cleared_first_ = 0;
    mutable size_t cleared_last_ = 0;
    mutable bool quick_ = false;
};

// Owner side, on the mailbox's one reader at a time. Hands each complete frame
// to `copy_out` while it still lies in the ring, then moves read_pos past it
// (writers may reuse the space from then on), then calls `act`; in reservation
// order. For a frame that copy_out marked act_is_quick(), read_pos may move
// later, with the frames after it, but before the drain returns (an eighth of
// the ring at the most stays held so). Should `copy_out` throw, the frame
// stays for the next drain, unless it had taken part of it already: then the
// frame is passed over before the exception goes on. Otherwise as below.
std::optional<DrainClock::time_point> drain_records(
    uint8_t* view, uint64_t view_size, DrainState& state, const std::function<void(const RecordFrame&)>& copy_out,
    const std::function<void()>& act, const std::function<DrainClock::time_point()>& now = DrainClock::now);

// Owner side, on the mailbox's one reader thread. Hands each complete frame, in
// reservation order, to `on_frame` after read_pos has moved past it, so writers
// may reuse the space while it runs. `buffer` is reused across records.
// Returns when the ring is empty or its head cannot be read yet; in the second
// case the result is when to drain again even if no writer signals by then.
// A damaged header makes it re-initialise the mailbox. Heads that no honest
// writer leaves are stepped over (see README, "Mailbox"): at once when their
// own length leads to write_pos or to a complete record, else once every
// record reserved before them is surely complete or abandoned.
std::optional<DrainClock::time_point> drain_records(
    uint8_t* view, uint64_t view_size, Bytes& buffer, DrainState& state,
    const std::function<void(const Bytes&)>& on_frame,
    const std::function<DrainClock::time_point()>& now = DrainClock::now);

}  // namespace tarnvel
