#include "ring.hpp"

#include "byte_order.hpp"
#include "frame.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <span>
#include <stdexcept>
#include <tuple>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace tarnvel {

namespace {

// A record's commit is a release and its reading an acquire, through memory
// that the writer and the owner map at different addresses (twice, when both
// are in one process). The thread sanitizer knows memory only by address, so
// it is told of that order on a stand-in that every mapping shares.
#if defined(__SANITIZE_THREAD__)
char record_order_token;
inline void record_committed() noexcept { __tsan_release(&record_order_token); }
inline void record_taken() noexcept { __tsan_acquire(&record_order_token); }
#else
inline void record_committed() noexcept {}
inline void record_taken() noexcept {}
#endif

// Header fields are shared little-endian integers and are accessed in place as
// native ones; the lock-free guarantee is what makes them usable across processes.
static_assert(std::endian::native == std::endian::little, "mailbox header fields are little-endian");
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint8_t>::is_always_lock_free);

constexpr size_t MAGIC_OFFSET = 0;
constexpr size_t CAPACITY_OFFSET = 4;
constexpr size_t WRITE_POS_OFFSET = 8;
constexpr size_t READ_POS_OFFSET = 12;
constexpr size_t READY_OFFSET = 4;  // within a record
constexpr size_t FRAME_OFFSET = 8;  // within a record

bool aligned(const uint8_t* view) {
    return reinterpret_cast<uintptr_t>(view) % std::atomic_ref<uint32_t>::required_alignment == 0;
}

std::atomic_ref<uint32_t> header_field(uint8_t* view, size_t offset) {
    return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(view + offset));
}

// x mod m, for an x that is mostly below 2m: a subtraction where it is
// enough, since a division costs tens of cycles and the ring's arithmetic
// runs several times per record on each side.
uint64_t reduce(uint64_t x, uint64_t m) {
    if (x < m) return x;
    x -= m;
    return x < m ? x : x % m;
}

// The ring offset of byte k of the piece at position pos: (pos mod capacity
// + k) mod capacity. Positions fit in 32 bits, whose division is the cheaper.
size_t ring_offset(uint32_t capacity, uint64_t pos, size_t k) {
    const uint64_t base = pos <= UINT32_MAX ? static_cast<uint32_t>(pos) % capacity : pos % capacity;
    return static_cast<size_t>(reduce(base + k, capacity));
}

// The `n` bytes of the piece at (record position `pos`, offset `k`) in ring
// data of `capacity` bytes, as Ring::read finds them (see Ring::offset): up to
// the end of the data, then from its start. n never exceeds the capacity, so
// the piece wraps at most once.
std::array<std::span<const uint8_t>, 2> ring_runs(const uint8_t* data, uint32_t capacity, uint64_t pos, size_t k,
                                                  size_t n) {
    if (n == 0) return {};
    const size_t off = ring_offset(capacity, pos, k);
    const size_t first = std::min<size_t>(n, capacity - off);
    return {std::span<const uint8_t>(data + off, first), std::span<const uint8_t>(data, n - first)};
}

void read_ring(const uint8_t* data, uint32_t capacity, uint64_t pos, size_t k, uint8_t* dst, size_t n) {
    for (const auto& run : ring_runs(data, capacity, pos, k, n)) {
        if (run.empty()) continue;
        std::memcpy(dst, run.data(), run.size());
        dst += run.size();
    }
}

// The ring data area with the position arithmetic both sides must agree on.
// Every piece is addressed as (record position, offset within the record), so
// a field is placed from its own position and may be split across the end.
class Ring {
public:
    Ring(uint8_t* view, uint32_t capacity)
        : data_(view + MAILBOX_HEADER_SIZE), capacity_(capacity), modulus_(ring_modulus(capacity)) {}

    uint64_t modulus() const { return modulus_; }
    // Positions are below the modulus, and n never exceeds it.
    uint64_t used(uint64_t w, uint64_t r) const { return reduce(w + modulus_ - r, modulus_); }
    uint32_t advance(uint64_t pos, uint64_t n) const { return static_cast<uint32_t>(reduce(pos + n, modulus_)); }

    uint8_t& byte_at(uint64_t pos, size_t k) const { return data_[offset(pos, k)]; }
    std::atomic_ref<uint8_t> atomic_byte(uint64_t pos, size_t k) const {
        return std::atomic_ref<uint8_t>(byte_at(pos, k));
    }

    // n never exceeds the capacity, so a piece wraps at most once.
    void write(uint64_t pos, size_t k, const uint8_t* src, size_t n) const {
        if (n == 0) {
            return;
        }
        const size_t off = offset(pos, k);
        const size_t first = std::min<size_t>(n, capacity_ - off);
        std::memcpy(data_ + off, src, first);
        std::memcpy(data_, src + first, n - first);
    }
    void read(uint64_t pos, size_t k, uint8_t* dst, size_t n) const { read_ring(data_, capacity_, pos, k, dst, n); }
    void zero(uint64_t pos, size_t n) const {
        const size_t off = offset(pos, 0);
        const size_t first = std::min<size_t>(n, capacity_ - off);
        std::memset(data_ + off, 0, first);
        std::memset(data_, 0, n - first);
    }

    void store_u32(uint64_t pos, size_t k, uint32_t v) const {
        uint8_t b[4];
        store_le32(b, v);
        write(pos, k, b, 4);
    }
    uint32_t load_u32(uint64_t pos, size_t k) const {
        uint8_t b[4];
        read(pos, k, b, 4);
        return load_le32(b);
    }

private:
    // The modulus is a multiple of the capacity, so (pos mod capacity) + k taken
    // mod capacity is the offset of position pos + k even across the wrap.
    size_t offset(uint64_t pos, size_t k) const { return ring_offset(capacity_, pos, k); }

    uint8_t* data_;
    uint32_t capacity_;
    uint64_t modulus_;
};

void write_header(uint8_t* view, uint64_t size) {
    const uint32_t capacity = mailbox_capacity(size);
    // Senders look at the magic first: while it is wrong they refuse the mailbox.
    header_field(view, MAGIC_OFFSET).store(0, std::memory_order_relaxed);
    // A zero ring is what lets the reader trust ready: a reserved range that its
    // writer has not reached yet reads 0 there, never a stale 1.
    std::memset(view + MAILBOX_HEADER_SIZE, 0, capacity);
    header_field(view, CAPACITY_OFFSET).store(capacity, std::memory_order_relaxed);
    header_field(view, WRITE_POS_OFFSET).store(0, std::memory_order_relaxed);
    header_field(view, READ_POS_OFFSET).store(0, std::memory_order_relaxed);
    header_field(view, MAGIC_OFFSET).store(MAILBOX_MAGIC, std::memory_order_release);
}

// What an honest writer leaves once it is done: ready exactly 01 00 00 00
// and a frame with both markers, its own length, a known kind, ending within
// `room` bytes of `pos`. Used to find record boundaries after garbage.
bool looks_complete(const Ring& ring, uint64_t pos, uint64_t room) {
    if (room < RECORD_HEADER_SIZE + FRAME_OVERHEAD ||
        ring.atomic_byte(pos, READY_OFFSET).load(std::memory_order_acquire) != 1) {
        return false;
    }
    for (size_t k = 1; k < 4; ++k) {
        if (ring.atomic_byte(pos, READY_OFFSET + k).load(std::memory_order_relaxed) != 0) {
            return false;
        }
    }
    const uint32_t length = ring.load_u32(pos, 0);
    if (length < FRAME_OVERHEAD || RECORD_HEADER_SIZE + length > room ||
        ring.byte_at(pos, FRAME_OFFSET) != FRAME_START_MARKER || ring.load_u32(pos, FRAME_OFFSET + 1) != length) {
        return false;
    }
    const uint8_t kind = ring.byte_at(pos, FRAME_OFFSET + 5);
    if (kind != FRAME_KIND_REQUEST && kind != FRAME_KIND_RESPONSE) {
        return false;
    }
    for (size_t k = 0; k < 3; ++k) {
        if (ring.byte_at(pos, FRAME_OFFSET + length - 3 + k) != FRAME_END_MARKER[k]) {
            return false;
        }
    }
    return true;
}

// True when a record may start at `pos`, `room` bytes before the end of what
// is known to be reserved: at that end itself, or where a complete record lies.
bool boundary_at(const Ring& ring, uint64_t pos, uint64_t room) { return room == 0 || looks_complete(ring, pos, room); }

// How many bytes from the unreadable head at r can be stepped over without
// touching a record that a live writer may still be writing; 0 when none yet.
//
// `settled` bytes from r have no live writer: any complete record among them
// is honest, so the garbage ends where the first one starts (or with them).
// Otherwise only a head its writer is done with (`committed`) is stepped
// over, by its own length or as a bare 8-byte head, and only when that leads
// to write_pos or to a complete record: each reservation is at least a
// head, and one whose length is true ends exactly there.
uint64_t step_over_unreadable_head(const Ring& ring, uint64_t r, uint64_t used, uint64_t settled, bool committed) {
    const uint64_t known = settled > 0 ? std::min(settled, used) : used;
    if (settled == 0 && !committed) {
        return 0;
    }
    if (known < RECORD_HEADER_SIZE) {
        return known;
    }
    const uint64_t claimed = RECORD_HEADER_SIZE + uint64_t{ring.load_u32(r, 0)};
    if (claimed <= known && boundary_at(ring, ring.advance(r, claimed), known - claimed)) {
        return claimed;
    }
    if (boundary_at(ring, ring.advance(r, RECORD_HEADER_SIZE), known - RECORD_HEADER_SIZE)) {
        return RECORD_HEADER_SIZE;
    }
    if (settled == 0) {
        return 0;
    }
    for (uint64_t k = 1; k + RECORD_HEADER_SIZE + FRAME_OVERHEAD <= known; ++k) {
        if (looks_complete(ring, ring.advance(r, k), known - k)) {
            return k;
        }
    }
    return known;
}

}  // namespace

uint64_t ring_modulus(uint32_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    constexpr uint64_t span = uint64_t{1} << 32;
    return span / capacity * capacity;
}

uint32_t mailbox_capacity(uint64_t size) {
    if (size <= MAILBOX_HEADER_SIZE) {
        return 0;
    }
    return static_cast<uint32_t>(std::min<uint64_t>(size - MAILBOX_HEADER_SIZE, std::numeric_limits<uint32_t>::max()));
}

void init_mailbox(uint8_t* view, uint64_t size) {
    if (size <= MAILBOX_HEADER_SIZE || !aligned(view)) {
        throw std::invalid_argument("mailbox view too small or unaligned");
    }
    write_header(view, size);
}

void retire_mailbox(uint8_t* view, uint64_t size) noexcept {
    if (view != nullptr && size > MAILBOX_HEADER_SIZE && aligned(view)) {
        header_field(view, MAGIC_OFFSET).store(0, std::memory_order_release);
    }
}

bool head_ready(uint8_t* view, uint64_t size) noexcept {
    const uint32_t capacity = mailbox_capacity(size);
    if (view == nullptr || !aligned(view) || capacity == 0) {
        return false;
    }
    const Ring ring(view, capacity);
    // Acquire: a thread other than the reader may look, and the bytes at the
    // head were last cleared by the reader before it moved read_pos there.
    const uint32_t r = header_field(view, READ_POS_OFFSET).load(std::memory_order_acquire);
    const uint32_t w = header_field(view, WRITE_POS_OFFSET).load(std::memory_order_acquire);
    if (r == w || r >= ring.modulus()) {
        return false;
    }
    return ring.atomic_byte(r, READY_OFFSET).load(std::memory_order_acquire) == 1;
}

bool reserved_beyond_head(uint8_t* view, uint64_t size) noexcept {
    const uint32_t capacity = mailbox_capacity(size);
    if (view == nullptr || !aligned(view) || capacity == 0) return true;
    const Ring ring(view, capacity);
    const uint32_t r = header_field(view, READ_POS_OFFSET).load(std::memory_order_acquire);
    const uint32_t w = header_field(view, WRITE_POS_OFFSET).load(std::memory_order_acquire);
    if (r >= ring.modulus() || w >= ring.modulus()) return true;
    const uint64_t used = ring.used(w, r);
    if (used < RECORD_HEADER_SIZE || ring.atomic_byte(r, READY_OFFSET).load(std::memory_order_acquire) != 1) {
        return true;
    }
    // Byte by byte, atomically: the io thread may be clearing the head as it
    // takes it (the answer is a hint then anyway).
    uint32_t length = 0;
    for (size_t k = 0; k < 4; ++k) {
        length |= uint32_t{ring.atomic_byte(r, k).load(std::memory_order_relaxed)} << (8 * k);
    }
    return used > RECORD_HEADER_SIZE + uint64_t{length};
}

AppendResult append_record(uint8_t* view, uint64_t view_size, std::span<const uint8_t> frame) {
    const std::span<const uint8_t> pieces[] = {frame};
    return append_record(view, view_size, pieces);
}

AppendResult append_record(uint8_t* view, uint64_t view_size, std::span<const std::span<const uint8_t>> pieces,
                           uint32_t* capacity) {
    const std::span<const std::span<const uint8_t>> records[] = {pieces};
    return append_records(view, view_size, records, capacity);
}

AppendResult append_records(uint8_t* view, uint64_t view_size,
                            std::span<const std::span<const std::span<const uint8_t>>> records,
                            uint32_t* capacity_found) {
    if (!aligned(view) || view_size < MAILBOX_HEADER_SIZE) {
        return AppendResult::bad_header;
    }
    if (header_field(view, MAGIC_OFFSET).load(std::memory_order_acquire) != MAILBOX_MAGIC) {
        return AppendResult::bad_header;
    }
    // Read once: everything below is bounded by this value, so a header that
    // changes under us cannot steer a write outside the view.
    const uint32_t capacity = header_field(view, CAPACITY_OFFSET).load(std::memory_order_relaxed);
    if (capacity == 0 || uint64_t{capacity} + MAILBOX_HEADER_SIZE > view_size) {
        return AppendResult::bad_header;
    }
    const Ring ring(view, capacity);
    const auto frame_size = [](std::span<const std::span<const uint8_t>> pieces) {
        uint64_t size = 0;
        for (const auto& piece : pieces) size += piece.size();
        return size;
    };
    uint64_t need = 0;
    for (const auto& pieces : records) need += RECORD_HEADER_SIZE + frame_size(pieces);
    if (need > capacity) {
        return AppendResult::too_large;
    }

    auto write_pos = header_field(view, WRITE_POS_OFFSET);
    auto read_pos = header_field(view, READ_POS_OFFSET);
    uint32_t w = 0;
    for (;;) {
        // read_pos first: with write_pos loaded after it, the space found free
        // stays free, and the acquire makes the reader's zeroing of it visible.
        const uint32_t r = read_pos.load(std::memory_order_acquire);
        w = write_pos.load(std::memory_order_relaxed);
        if (r >= ring.modulus() || w >= ring.modulus()) {
            return AppendResult::bad_header;
        }
        const uint64_t used = ring.used(w, r);
        if (used > capacity) {
            // Records read and written between the two loads can make a sound
            // ring look overfull; only a pair of positions that holds still
            // is taken at its word.
            if (read_pos.load(std::memory_order_acquire) != r || write_pos.load(std::memory_order_relaxed) != w) {
                continue;
            }
            return AppendResult::full;
        }
        // With a capacity above 2^31 the modulus is the capacity itself, and a
        // completely full ring would read as empty: one byte stays free there.
        if (need + used > capacity || need + used >= ring.modulus()) {
            return AppendResult::full;
        }
        if (write_pos.compare_exchange_weak(w, ring.advance(w, need), std::memory_order_acq_rel,
                                            std::memory_order_relaxed)) {
            break;
        }
    }

    // Every record's length and ready = 0 first: a reader that has taken
    // one of them finds the next one's head in place, whatever the space held
    // before. Then each record is written and committed on its own, so the
    // reader takes them one by one, as records of separate appends.
    uint64_t at_pos = w;
    for (const auto& pieces : records) {
        const uint64_t size = frame_size(pieces);
        ring.store_u32(at_pos, 0, static_cast<uint32_t>(size));
        // ready is already 0 in a zeroed ring; the stores keep the record's own
        // statement of it. They are atomic because the reader may be polling the flag.
        for (size_t k = 0; k < 4; ++k) {
            ring.atomic_byte(at_pos, READY_OFFSET + k).store(0, std::memory_order_relaxed);
        }
        at_pos = ring.advance(at_pos, RECORD_HEADER_SIZE + size);
    }
    at_pos = w;
    for (const auto& pieces : records) {
        size_t at = FRAME_OFFSET;
        for (const auto& piece : pieces) {
            ring.write(at_pos, at, piece.data(), piece.size());
            at += piece.size();
        }
        // ready is 0 or 1, so its low byte carries it; a byte store works where the
        // field is unaligned or split across the end, and release publishes the
        // record's other bytes with it.
        record_committed();
        ring.atomic_byte(at_pos, READY_OFFSET).store(1, std::memory_order_release);
        at_pos = ring.advance(at_pos, RECORD_HEADER_SIZE + frame_size(pieces));
    }
    if (capacity_found != nullptr) *capacity_found = capacity;
    return AppendResult::ok;
}

void RecordFrame::copy(size_t offset, uint8_t* out, size_t n) const noexcept {
    read_ring(data_, capacity_, pos_, FRAME_OFFSET + offset, out, n);
}

std::optional<std::span<const uint8_t>> RecordFrame::in_place(size_t offset, size_t n) const noexcept {
    if (offset > size_ || n > size_ - offset) return std::nullopt;
    const auto runs = ring_runs(data_, capacity_, pos_, FRAME_OFFSET + offset, n);
    if (!runs[1].empty()) return std::nullopt;
    return runs[0];
}

template <class Sink>
void RecordFrame::take_pieces(size_t offset, size_t n, const Sink& sink) const {
    // It clears what it reads: never past the frame, into the next record.
    offset = std::min<size_t>(offset, size_);
    n = std::min<size_t>(n, size_ - offset);
    // Small enough to stay in the first-level cache between copy and clear.
    constexpr size_t PIECE = 16 * 1024;
    const bool clear = cleared_first_ == cleared_last_;
    for (const auto& run : ring_runs(data_, capacity_, pos_, FRAME_OFFSET + offset, n)) {
        for (size_t at = 0; at < run.size(); at += PIECE) {
            const auto piece = run.subspan(at, std::min(PIECE, run.size() - at));
            sink(piece);
            // The piece as a place to write: ring_runs hands out read-only views.
            if (clear) std::memset(data_ + (piece.data() - data_), 0, piece.size());
        }
    }
    if (clear) {
        cleared_first_ = FRAME_OFFSET + offset;
        cleared_last_ = FRAME_OFFSET + offset + n;
    }
}

void RecordFrame::take(size_t offset, size_t n, Bytes& out) const {
    out.clear();
    out.reserve(std::min<size_t>(n, size_ - std::min<size_t>(offset, size_)));
    take_pieces(offset, n, [&out](std::span<const uint8_t> piece) { out.insert(out.end(), piece.begin(), piece.end()); });
}

void RecordFrame::take(size_t offset, size_t n, uint8_t* out) const noexcept {
    take_pieces(offset, n, [&out](std::span<const uint8_t> piece) {
        std::memcpy(out, piece.data(), piece.size());
        out += piece.size();
    });
}

std::optional<DrainClock::time_point> drain_records(uint8_t* view, uint64_t view_size, Bytes& buffer, DrainState& state,
                                                    const std::function<void(const Bytes&)>& on_frame,
                                                    const std::function<DrainClock::time_point()>& now) {
    return drain_records(
        view, view_size, state, [&buffer](const RecordFrame& frame) { frame.take(0, frame.size(), buffer); },
        [&] { on_frame(buffer); }, now);
}

std::optional<DrainClock::time_point> drain_records(uint8_t* view, uint64_t view_size, DrainState& state,
                                                    const std::function<void(const RecordFrame&)>& copy_out,
                                                    const std::function<void()>& act,
                                                    const std::function<DrainClock::time_point()>& now) {
    if (!aligned(view) || view_size <= MAILBOX_HEADER_SIZE) {
        return std::nullopt;
    }
    // What init wrote for this size; the header is checked against it rather
    // than believed, since any process that may write to the mailbox can damage it.
    const uint32_t capacity = mailbox_capacity(view_size);
    const Ring ring(view, capacity);
    auto write_pos = header_field(view, WRITE_POS_OFFSET);
    auto read_pos = header_field(view, READ_POS_OFFSET);

    // The header shares its cache line with every writer's reservation, so
    // the reader looks at it only when it has read up to the write position
    // it last saw, and tells writers of the space it freed once per eighth
    // of the ring (64 KiB at most) and whenever it stops: each look and each
    // store would otherwise take the line from the writers' core and back.
    const uint64_t publish_every = std::min<uint64_t>(capacity / 8, 64 * 1024);
    uint32_t r = 0;
    uint32_t w = 0;
    bool known = false;
    uint64_t unpublished = 0;
    const auto publish = [&]() noexcept {
        if (unpublished == 0) return;
        read_pos.store(r, std::memory_order_release);
        unpublished = 0;
    };
    struct Published {
        const decltype(publish)& run;
        ~Published() { run(); }
    } const published{publish};

    for (;;) {
        bool fresh = false;
        if (!known || ring.used(w, r) == 0) {
            publish();
            const uint32_t magic = header_field(view, MAGIC_OFFSET).load(std::memory_order_relaxed);
            const uint32_t capacity_field = header_field(view, CAPACITY_OFFSET).load(std::memory_order_relaxed);
            r = read_pos.load(std::memory_order_relaxed);  // only this thread stores it
            w = write_pos.load(std::memory_order_acquire);
            if (magic != MAILBOX_MAGIC || capacity_field != capacity || r >= ring.modulus() || w >= ring.modulus() ||
                ring.used(w, r) > capacity) {
                // Start afresh, both positions at 0 as at construction. The ring's
                // content and records in flight are lost, but nothing is read from
                // outside the view and the reader does not wait forever on
                // positions no writer will ever reach.
                write_header(view, view_size);
                state = DrainState{};
                return std::nullopt;
            }
            if (state.read_pos != r) {
                state = DrainState{};  // the position was moved under us: nothing known holds
                state.read_pos = r;
            }
            if (ring.used(w, r) == 0) {
                state.waiting = false;
                state.settled = 0;
                return std::nullopt;
            }
            known = true;
            fresh = true;
        }
        const uint64_t used = ring.used(w, r);

        uint64_t step = 0;
        bool deliver = false;
        // What copy_out cleared already, as offsets in the record.
        size_t cleared_first = 0;
        size_t cleared_last = 0;
        std::exception_ptr failed;
        bool quick = false;
        bool committed = false;
        if (used < RECORD_HEADER_SIZE) {
            step = used;  // a fragment: every reservation holds at least a whole head
        } else {
            const uint8_t ready_low = ring.atomic_byte(r, READY_OFFSET).load(std::memory_order_acquire);
            bool high_bytes_zero = true;
            for (size_t k = 1; k < 4; ++k) {
                high_bytes_zero =
                    high_bytes_zero && ring.atomic_byte(r, READY_OFFSET + k).load(std::memory_order_relaxed) == 0;
            }
            if (ready_low == 1 && high_bytes_zero) {
                record_taken();
                const uint32_t length = ring.load_u32(r, 0);
                // An honest record lies wholly before write_pos; a length that
                // reaches past it would read bytes nobody has written yet.
                if (length <= capacity && RECORD_HEADER_SIZE + length <= used) {
                    const RecordFrame frame(view + MAILBOX_HEADER_SIZE, capacity, r, length);
                    try {
                        copy_out(frame);
                        deliver = true;
                    } catch (...) {
                        // Left whole, the record stays for the next drain; with
                        // part of it cleared it could only be read wrong, so it
                        // is passed over, and the failure reported after.
                        if (frame.cleared().first == frame.cleared().second) throw;
                        failed = std::current_exception();
                    }
                    step = RECORD_HEADER_SIZE + length;
                    std::tie(cleared_first, cleared_last) = frame.cleared();
                    quick = frame.quick();
                }
            }
            // Free space is zero and writers store only 0 and then 1 in
            // ready, so all zero is a writer yet to commit (or one that
            // died first); anything else is garbage its writer is done with.
            committed = ready_low != 0 || !high_bytes_zero;
        }
        if (!deliver && !failed) {
            if (!fresh) {
                known = false;  // what to wait for or step over is judged on a fresh look
                continue;
            }
            if (used >= RECORD_HEADER_SIZE) {
                step = step_over_unreadable_head(ring, r, used, state.settled, committed);
                if (step == 0) {
                    if (!state.waiting) {
                        state.waiting = true;
                        state.since = now();
                        state.reserved = used;
                    }
                    DrainClock::time_point due = state.since + ABANDONED_AFTER;
                    if (now() < due) {
                        return due;
                    }
                    // Read only now: until the writer is done its length may still change.
                    const uint32_t length = ring.load_u32(r, 0);
                    if (RECORD_HEADER_SIZE + length <= state.reserved) {
                        due += std::chrono::milliseconds(uint64_t{length} * 1000 / ABANDONED_BYTES_PER_SECOND);
                    }
                    if (now() < due) {
                        return due;
                    }
                    // Every record reserved before the head was first seen is
                    // now complete or abandoned.
                    state.settled = std::min(state.reserved, used);
                    step = step_over_unreadable_head(ring, r, used, state.settled, true);
                }
            }
        }
        // Zeroed before read_pos moves past it, so a writer that reserves this
        // space later finds ready = 0 until it commits. The head atomically:
        // another thread may be looking at its ready field (head_ready).
        const uint64_t head = std::min<uint64_t>(step, RECORD_HEADER_SIZE);
        for (size_t k = 0; k < head; ++k) ring.atomic_byte(r, k).store(0, std::memory_order_relaxed);
        if (cleared_first < cleared_last) {
            if (cleared_first > head) ring.zero(ring.advance(r, head), cleared_first - head);
            if (step > cleared_last) ring.zero(ring.advance(r, cleared_last), step - cleared_last);
        } else if (step > head) {
            ring.zero(ring.advance(r, head), step - head);
        }
        const uint32_t next = ring.advance(r, step);
        r = next;
        unpublished += step;
        if (unpublished >= publish_every) publish();
        if (!deliver) known = false;
        state.read_pos = next;
        state.waiting = false;
        state.settled = state.settled > step ? state.settled - step : 0;
        if (failed) std::rethrow_exception(failed);
        if (deliver) {
            // A slow act (a method on this thread) must not hold the space
            // of what has been read.
            if (!quick) publish();
            act();
        }
    }
}

}  // namespace tarnvel
