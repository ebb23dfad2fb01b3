#include "ring.hpp"

#include "byte_order.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace tarnvel {

namespace {

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

// The ring data area with the position arithmetic both sides must agree on.
// Every piece is addressed as (record position, offset within the record), so
// a field is placed from its own position and may be split across the end.
class Ring {
public:
    Ring(uint8_t* view, uint32_t capacity)
        : data_(view + MAILBOX_HEADER_SIZE), capacity_(capacity), modulus_(ring_modulus(capacity)) {}

    uint64_t modulus() const { return modulus_; }
    uint64_t used(uint64_t w, uint64_t r) const { return (w + modulus_ - r) % modulus_; }
    uint32_t advance(uint64_t pos, uint64_t n) const {
        return static_cast<uint32_t>((pos + n) % modulus_);
    }

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
    void read(uint64_t pos, size_t k, uint8_t* dst, size_t n) const {
        if (n == 0) {
            return;
        }
        const size_t off = offset(pos, k);
        const size_t first = std::min<size_t>(n, capacity_ - off);
        std::memcpy(dst, data_ + off, first);
        std::memcpy(dst + first, data_, n - first);
    }
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
    size_t offset(uint64_t pos, size_t k) const { return (pos % capacity_ + k) % capacity_; }

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
    return static_cast<uint32_t>(
        std::min<uint64_t>(size - MAILBOX_HEADER_SIZE, std::numeric_limits<uint32_t>::max()));
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

AppendResult append_record(uint8_t* view, uint64_t view_size, std::span<const uint8_t> frame) {
    if (!aligned(view) || (view_size != 0 && view_size < MAILBOX_HEADER_SIZE)) {
        return AppendResult::bad_header;
    }
    if (header_field(view, MAGIC_OFFSET).load(std::memory_order_acquire) != MAILBOX_MAGIC) {
        return AppendResult::bad_header;
    }
    // Read once: everything below is bounded by this value, so a header that
    // changes under us cannot steer a write outside the view.
    const uint32_t capacity = header_field(view, CAPACITY_OFFSET).load(std::memory_order_relaxed);
    if (capacity == 0 || (view_size != 0 && uint64_t{capacity} + MAILBOX_HEADER_SIZE > view_size)) {
        return AppendResult::bad_header;
    }
    const Ring ring(view, capacity);
    const uint64_t need = uint64_t{frame.size()} + RECORD_HEADER_SIZE;
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
            if (read_pos.load(std::memory_order_acquire) != r ||
                write_pos.load(std::memory_order_relaxed) != w) {
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

    ring.store_u32(w, 0, static_cast<uint32_t>(frame.size()));
    // ready is already 0 in a zeroed ring; the stores keep the record's own
    // statement of it. They are atomic because the reader may be polling the flag.
    for (size_t k = 0; k < 4; ++k) {
        ring.atomic_byte(w, READY_OFFSET + k).store(0, std::memory_order_relaxed);
    }
    ring.write(w, FRAME_OFFSET, frame.data(), frame.size());
    // ready is 0 or 1, so its low byte carries it; a byte store works where the
    // field is unaligned or split across the end, and release publishes the
    // record's other bytes with it.
    ring.atomic_byte(w, READY_OFFSET).store(1, std::memory_order_release);
    return AppendResult::ok;
}

void drain_records(uint8_t* view, uint64_t view_size, Bytes& buffer,
                   const std::function<void(const Bytes&)>& on_frame) {
    if (!aligned(view) || view_size <= MAILBOX_HEADER_SIZE) {
        return;
    }
    // What init wrote for this size; the header is checked against it rather
    // than believed, since any process that may write to the mailbox can damage it.
    const uint32_t capacity = mailbox_capacity(view_size);
    const Ring ring(view, capacity);
    auto write_pos = header_field(view, WRITE_POS_OFFSET);
    auto read_pos = header_field(view, READ_POS_OFFSET);

    for (;;) {
        const uint32_t magic = header_field(view, MAGIC_OFFSET).load(std::memory_order_relaxed);
        const uint32_t capacity_field = header_field(view, CAPACITY_OFFSET).load(std::memory_order_relaxed);
        const uint32_t r = read_pos.load(std::memory_order_relaxed);  // only this thread stores it
        const uint32_t w = write_pos.load(std::memory_order_acquire);
        if (magic != MAILBOX_MAGIC || capacity_field != capacity || r >= ring.modulus() ||
            w >= ring.modulus() || ring.used(w, r) > capacity) {
            // Start afresh, both positions at 0 as at construction. The ring's
            // content and records in flight are lost, but nothing is read from
            // outside the view and the reader does not wait forever on
            // positions no writer will ever reach.
            write_header(view, view_size);
            return;
        }
        const uint64_t used = ring.used(w, r);
        if (used == 0) {
            return;
        }

        // What the head costs when it cannot be an honest record: its 8 bytes,
        // or the few before write_pos when not even those are there.
        uint64_t step = std::min<uint64_t>(RECORD_HEADER_SIZE, used);
        bool deliver = false;
        if (used >= RECORD_HEADER_SIZE) {
            const uint8_t ready_low = ring.atomic_byte(r, READY_OFFSET).load(std::memory_order_acquire);
            if (ready_low == 0) {
                return;  // still being written; its writer's signal brings us back
            }
            // Free space is zero and writers only ever store 0 and then 1 there:
            // any other value is garbage, to be skipped rather than waited for.
            bool ready_is_one = ready_low == 1;
            for (size_t k = 1; k < 4; ++k) {
                ready_is_one = ready_is_one &&
                               ring.atomic_byte(r, READY_OFFSET + k).load(std::memory_order_relaxed) == 0;
            }
            const uint32_t length = ring.load_u32(r, 0);
            // An honest record lies wholly before write_pos; a length that
            // reaches past it would read bytes nobody has written yet.
            if (ready_is_one && length <= capacity && RECORD_HEADER_SIZE + length <= used) {
                buffer.resize(length);
                ring.read(r, FRAME_OFFSET, buffer.data(), length);
                step = RECORD_HEADER_SIZE + length;
                deliver = true;
            }
        }
        // Zeroed before read_pos moves past it, so a writer that reserves this
        // space later finds ready = 0 until it commits.
        ring.zero(r, step);
        read_pos.store(ring.advance(r, step), std::memory_order_release);
        if (deliver) {
            on_frame(buffer);
        }
    }
}

}  // namespace tarnvel
