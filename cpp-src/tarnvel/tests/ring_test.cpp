#include "ring.hpp"
#include "frame.hpp"
#include "support/frames.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace tarnvel {
namespace {

// A heap buffer standing in for a mapped view: page-aligned like a mapping and
// exactly `size` bytes long, so the address sanitizer catches any access past it.
class Mailbox {
public:
    explicit Mailbox(uint64_t size, bool initialise = true)
        : size_(size), view_(static_cast<uint8_t*>(::operator new (size, std::align_val_t{4096}))) {
        std::memset(view_, 0xEE, size_);
        if (initialise) {
            init_mailbox(view_, size_);
        }
    }
    ~Mailbox() { ::operator delete (view_, std::align_val_t{4096}); }
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    uint8_t* view() const { return view_; }
    uint64_t size() const { return size_; }
    uint32_t capacity() const { return static_cast<uint32_t>(size_ - MAILBOX_HEADER_SIZE); }
    uint8_t* ring() const { return view_ + MAILBOX_HEADER_SIZE; }

    uint32_t field(size_t offset) const {
        uint32_t v;
        std::memcpy(&v, view_ + offset, 4);
        return v;
    }
    void set_field(size_t offset, uint32_t v) { std::memcpy(view_ + offset, &v, 4); }
    uint32_t write_pos() const { return field(8); }
    uint32_t read_pos() const { return field(12); }
    void set_positions(uint32_t pos) {
        set_field(8, pos);
        set_field(12, pos);
    }

    AppendResult append(const Bytes& frame) { return append_record(view_, size_, frame); }
    // One drain as the owner runs it, on a clock that moves only when told.
    std::vector<Bytes> drain() {
        std::vector<Bytes> frames;
        Bytes buffer;
        due_ = drain_records(
            view_, size_, buffer, state_, [&](const Bytes& f) { frames.push_back(f); }, [this] { return now_; });
        return frames;
    }
    // When the last drain asked to be run again without a signal, as an
    // offset from the clock's current time.
    std::optional<DrainClock::duration> due_in() const {
        if (!due_) return std::nullopt;
        return *due_ - now_;
    }
    void let_time_pass(DrainClock::duration d) { now_ += d; }
    bool ring_is_zero() const {
        return std::all_of(ring(), ring() + capacity(), [](uint8_t b) { return b == 0; });
    }
    Bytes snapshot() const { return Bytes(view_, view_ + size_); }

private:
    uint64_t size_;
    uint8_t* view_;
    DrainState state_;
    DrainClock::time_point now_ = DrainClock::time_point() + std::chrono::hours(1);
    std::optional<DrainClock::time_point> due_;
};

// A recognisable frame of exactly `total` bytes (total >= 15).
Bytes frame_of_size(size_t total, uint16_t seq = 1) {
    Bytes body(total - FRAME_OVERHEAD);
    for (size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<uint8_t>(seq * 13 + i);
    }
    return encode_frame(FRAME_KIND_REQUEST, seq, 77, body);
}

// The record as it lies in the ring, before the wrap rule places it.
Bytes record_bytes(const Bytes& frame) {
    const auto n = static_cast<uint32_t>(frame.size());
    Bytes out = {static_cast<uint8_t>(n),
                 static_cast<uint8_t>(n >> 8),
                 static_cast<uint8_t>(n >> 16),
                 static_cast<uint8_t>(n >> 24),
                 1,
                 0,
                 0,
                 0};
    out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

TEST(Ring, ModulusIsLargestMultipleOfCapacity) {
    EXPECT_EQ(ring_modulus(64), uint64_t{1} << 32);
    EXPECT_EQ(ring_modulus(65), 4294967235u);  // 66076419 * 65
    EXPECT_EQ(ring_modulus(100), 4294967200u);
    EXPECT_EQ(ring_modulus(0xC0000000u), 0xC0000000u);
}

TEST(Ring, InitWritesHeaderAndZeroesRing) {
    Mailbox box(81, false);
    init_mailbox(box.view(), box.size());
    EXPECT_EQ(std::memcmp(box.view(), "TRV1", 4), 0);
    EXPECT_EQ(box.field(4), 65u);
    EXPECT_EQ(box.write_pos(), 0u);
    EXPECT_EQ(box.read_pos(), 0u);
    EXPECT_TRUE(box.ring_is_zero());
    EXPECT_THROW(init_mailbox(box.view(), 16), std::invalid_argument);
}

TEST(Ring, SmallestMailboxTakes57ByteFrameAndRefuses58) {
    Mailbox box(81);
    const Bytes too_big = frame_of_size(58);
    const Bytes before = box.snapshot();
    EXPECT_EQ(box.append(too_big), AppendResult::too_large);
    EXPECT_EQ(box.snapshot(), before);

    const Bytes largest = frame_of_size(57);
    ASSERT_EQ(largest.size() - FRAME_OVERHEAD, 42u);
    EXPECT_EQ(box.append(largest), AppendResult::ok);
    EXPECT_EQ(box.drain(), std::vector<Bytes>{largest});
    EXPECT_EQ(box.read_pos(), 65u);
    EXPECT_EQ(box.write_pos(), 65u);
    EXPECT_TRUE(box.ring_is_zero());
}

TEST(Ring, ExactlyFullAcceptedOneByteShortRefused) {
    Mailbox box(81);
    const Bytes first = frame_of_size(20, 1);  // 28 bytes used, 37 free
    ASSERT_EQ(box.append(first), AppendResult::ok);

    const Bytes one_too_many = frame_of_size(30, 2);  // needs 38
    const Bytes before = box.snapshot();
    EXPECT_EQ(box.append(one_too_many), AppendResult::full);
    EXPECT_EQ(box.snapshot(), before);

    const Bytes exact = frame_of_size(29, 3);  // needs 37
    EXPECT_EQ(box.append(exact), AppendResult::ok);
    EXPECT_EQ(box.append(Bytes{}), AppendResult::full);  // even an 8-byte head no longer fits
    EXPECT_EQ(box.drain(), (std::vector<Bytes>{first, exact}));
    EXPECT_TRUE(box.ring_is_zero());
    // The space is free again once read.
    EXPECT_EQ(box.append(frame_of_size(57)), AppendResult::ok);
}

// Several records in one reservation: all of them or none, each read back as
// a record of its own, wherever the ring's end falls among them.
TEST(Ring, RecordsAppendedTogetherAreAllOrNone) {
    const Bytes a = frame_of_size(20, 1), b = frame_of_size(15, 2), c = frame_of_size(17, 3);
    const auto append_together = [](Mailbox& box, std::initializer_list<const Bytes*> frames) {
        std::vector<std::span<const uint8_t>> pieces;
        for (const Bytes* frame : frames) pieces.emplace_back(*frame);
        std::vector<std::span<const std::span<const uint8_t>>> records;
        for (const auto& piece : pieces) records.emplace_back(&piece, 1);
        return append_records(box.view(), box.size(), records);
    };
    for (uint32_t start = 0; start < 80; start += 7) {
        SCOPED_TRACE(start);
        Mailbox box(96);  // 80 bytes: the three take 28 + 23 + 25 = 76
        box.set_positions(start);
        ASSERT_EQ(append_together(box, {&a, &b, &c}), AppendResult::ok);
        EXPECT_EQ(box.write_pos(), start + 76);
        const Bytes before = box.snapshot();
        EXPECT_EQ(append_together(box, {&b, &b}), AppendResult::full);  // 4 free, 46 needed
        EXPECT_EQ(box.snapshot(), before);
        EXPECT_EQ(box.drain(), (std::vector<Bytes>{a, b, c}));
        EXPECT_TRUE(box.ring_is_zero());
    }
    Mailbox box(96);
    EXPECT_EQ(append_together(box, {&a, &a, &a}), AppendResult::too_large);  // 84 bytes could never fit
}

// Every start offset of a 64-byte ring: length, ready and frame each fall
// across the end at some of them, and each must be placed by the wrap rule
// from its own position.
TEST(Ring, RecordPiecesStraddleTheEnd) {
    const Bytes frame = frame_of_size(20);
    const Bytes record = record_bytes(frame);
    for (uint32_t start = 0; start < 64; ++start) {
        SCOPED_TRACE(start);
        Mailbox box(80);
        box.set_positions(start);
        ASSERT_EQ(box.append(frame), AppendResult::ok);
        EXPECT_EQ(box.write_pos(), start + record.size());
        for (size_t k = 0; k < record.size(); ++k) {
            ASSERT_EQ(box.ring()[(start + k) % 64], record[k]) << "record byte " << k;
        }
        EXPECT_EQ(box.drain(), std::vector<Bytes>{frame});
        EXPECT_EQ(box.read_pos(), start + record.size());
        EXPECT_TRUE(box.ring_is_zero());
    }
}

// Positions wrap at the modulus; just below it records straddle both the ring
// end and the position wrap. With 100 bytes plain 32-bit positions would jump
// from ring offset 95 to 0 at 2^32; the modulus keeps offsets continuous.
TEST(Ring, PositionsWrapAtTheModulus) {
    for (uint32_t capacity : {64u, 100u}) {
        SCOPED_TRACE(capacity);
        const uint64_t modulus = ring_modulus(capacity);
        Mailbox box(capacity + MAILBOX_HEADER_SIZE);
        const auto start = static_cast<uint32_t>(modulus - 3);
        box.set_positions(start);

        // The length field is split by the position wrap.
        const Bytes a = frame_of_size(15, 1);
        ASSERT_EQ(box.append(a), AppendResult::ok);
        EXPECT_EQ(box.write_pos(), 20u);
        const Bytes record = record_bytes(a);
        for (size_t k = 0; k < record.size(); ++k) {
            ASSERT_EQ(box.ring()[(start % capacity + k) % capacity], record[k]) << "record byte " << k;
        }

        // Room is counted across the wrap: read_pos is still below it.
        const uint32_t free_bytes = capacity - 23;
        const Bytes too_big = frame_of_size(free_bytes - 7, 2);
        const Bytes before = box.snapshot();
        EXPECT_EQ(box.append(too_big), AppendResult::full);
        EXPECT_EQ(box.snapshot(), before);
        const Bytes fits = frame_of_size(free_bytes - 8, 3);
        ASSERT_EQ(box.append(fits), AppendResult::ok);
        EXPECT_EQ(box.write_pos(), (start + uint64_t{capacity}) % modulus);
        EXPECT_EQ(box.drain(), (std::vector<Bytes>{a, fits}));
        EXPECT_TRUE(box.ring_is_zero());

        // Positions just below the wrap again, with the reader in the middle.
        box.set_positions(static_cast<uint32_t>(modulus - 40));
        std::vector<Bytes> sent;
        uint64_t expected_write_pos = modulus - 40;
        for (uint16_t i = 0; i < 12; ++i) {
            sent.push_back(frame_of_size(15 + i % 5, i));
            expected_write_pos = (expected_write_pos + sent.back().size() + RECORD_HEADER_SIZE) % modulus;
            ASSERT_EQ(box.append(sent.back()), AppendResult::ok);
            if (i % 2 == 1) {
                const auto got = box.drain();
                ASSERT_EQ(got, (std::vector<Bytes>{sent[i - 1], sent[i]}));
            }
        }
        EXPECT_EQ(box.write_pos(), expected_write_pos);
        EXPECT_LT(expected_write_pos, 300u);  // the positions did wrap
        EXPECT_TRUE(box.ring_is_zero());
    }
}

// Above 2^31 the only multiple of the capacity that fits 32 bits is the
// capacity itself; a ring filled to the last byte would have equal positions
// and read as empty, so one byte stays free.
TEST(Ring, HugeCapacityKeepsOneByteFree) {
    Mailbox box(4096, false);
    std::memcpy(box.view(), "TRV1", 4);
    const uint32_t capacity = 0xC0000000u;
    box.set_field(4, capacity);
    const Bytes frame = frame_of_size(20);
    const uint32_t need = 28;
    box.set_field(8, 100);
    box.set_field(12, 100 + need);  // used = capacity - need
    const Bytes before = box.snapshot();
    // The view is said to be as large as the header claims; the record
    // lands at ring offset 100, inside this buffer.
    const uint64_t claimed_size = uint64_t{capacity} + MAILBOX_HEADER_SIZE;
    EXPECT_EQ(append_record(box.view(), claimed_size, frame), AppendResult::full);
    EXPECT_EQ(box.snapshot(), before);
    box.set_field(12, 100 + need + 1);
    EXPECT_EQ(append_record(box.view(), claimed_size, frame), AppendResult::ok);
    EXPECT_EQ(box.write_pos(), 100 + need);
    EXPECT_EQ(std::memcmp(box.ring() + 108, frame.data(), frame.size()), 0);
}

TEST(Ring, PeerHeaderIsCheckedBeforeAnyWrite) {
    const Bytes frame = frame_of_size(20);
    const auto refused = [&](auto damage) {
        Mailbox box(96);
        damage(box);
        const Bytes before = box.snapshot();
        const AppendResult result = box.append(frame);
        EXPECT_EQ(box.snapshot(), before);
        return result;
    };
    // A capacity beyond the mapped size would steer writes outside the view.
    EXPECT_EQ(refused([](Mailbox& b) { b.set_field(4, 81); }), AppendResult::bad_header);
    EXPECT_EQ(refused([](Mailbox& b) { b.set_field(4, 0xFFFFFFF0u); }), AppendResult::bad_header);
    EXPECT_EQ(refused([](Mailbox& b) { b.set_field(4, 0); }), AppendResult::bad_header);
    EXPECT_EQ(refused([](Mailbox& b) { b.view()[3] = '2'; }), AppendResult::bad_header);
    EXPECT_EQ(refused([](Mailbox& b) { b.set_field(8, static_cast<uint32_t>(ring_modulus(80))); }),
              AppendResult::bad_header);
    EXPECT_EQ(refused([](Mailbox& b) { b.set_field(12, 0xFFFFFFFFu); }), AppendResult::bad_header);
    EXPECT_EQ(refused([](Mailbox& b) { b.set_field(8, 81); }), AppendResult::full);  // used > capacity

    // A view of unknown size (its size could not be queried) bounds nothing:
    // the capacity in its header cannot be checked, so it is not believed.
    {
        Mailbox box(96);
        const Bytes before = box.snapshot();
        EXPECT_EQ(append_record(box.view(), 0, frame), AppendResult::bad_header);
        EXPECT_EQ(box.snapshot(), before);
    }

    // A smaller capacity than the view allows is fine: only the bound matters.
    Mailbox box(96);
    box.set_field(4, 40);
    EXPECT_EQ(box.append(frame), AppendResult::ok);
    EXPECT_EQ(box.append(frame), AppendResult::full);
}

// Records with honest heads go to the decoder as they are, whatever their
// frames hold; it drops the bad ones.
TEST(Ring, CompleteRecordsAreHandedOnUndecoded) {
    Mailbox box(272);
    const Bytes bad_marker = [] {
        Bytes f = frame_of_size(18, 6);
        f.back() = 0;
        return f;
    }();
    const Bytes good = frame_of_size(30, 7);
    ASSERT_EQ(box.append(bad_marker), AppendResult::ok);
    ASSERT_EQ(box.append(Bytes{}), AppendResult::ok);
    ASSERT_EQ(box.append(good), AppendResult::ok);
    const auto frames = box.drain();
    EXPECT_EQ(frames, (std::vector<Bytes>{bad_marker, Bytes{}, good}));
    std::vector<uint16_t> decoded;
    for (const Bytes& f : frames) {
        if (auto frame = decode_frame(f)) {
            decoded.push_back(frame->seq);
        }
    }
    EXPECT_EQ(decoded, std::vector<uint16_t>{7});
    EXPECT_TRUE(box.ring_is_zero());
}

// Heads that cannot be read: garbage a writer committed, and reservations
// that were never committed. Whatever is stepped over is zeroed, and the
// records behind arrive whole; a reservation that may still be being written
// is never stepped over before the time a writer gets.
TEST(Ring, UnreadableHeadsAreSteppedOverWithoutTouchingLiveRecords) {
    const auto put = [](Mailbox& box, std::initializer_list<uint8_t> head) {
        std::memcpy(box.ring() + box.write_pos(), head.begin(), head.size());
        box.set_field(8, box.write_pos() + static_cast<uint32_t>(head.size()));
    };
    const Bytes a = frame_of_size(20, 1);
    const Bytes b = frame_of_size(24, 2);
    const Bytes c = frame_of_size(16, 3);
    const Bytes d = frame_of_size(15, 4);

    // Committed garbage whose own length, or bare head, leads to a complete
    // record or to write_pos: stepped over at once.
    {
        Mailbox box(272);
        Bytes damaged = record_bytes(a);
        damaged[4] = 2;  // ready 2, the length right
        for (uint8_t byte : damaged) put(box, {byte});
        ASSERT_EQ(box.append(b), AppendResult::ok);
        put(box, {0, 0, 0, 0, 7, 0, 0, 0});  // a bare head, ready 7
        ASSERT_EQ(box.append(c), AppendResult::ok);
        put(box, {0xFF, 0xFF, 0, 0, 1, 0, 0, 0});  // a length beyond write_pos
        ASSERT_EQ(box.append(d), AppendResult::ok);
        put(box, {0, 0, 0, 0, 1, 0, 1, 0});  // ready 1 in its low byte only, ending at write_pos
        EXPECT_EQ(box.drain(), (std::vector<Bytes>{b, c, d}));
        EXPECT_EQ(box.due_in(), std::nullopt);
        EXPECT_EQ(box.read_pos(), box.write_pos());
        EXPECT_TRUE(box.ring_is_zero());
    }

    // A reservation never committed, ahead of complete records: they wait
    // until its writer has had its second, then arrive. So do the records
    // behind garbage that leads nowhere: a length past the ring, and one
    // that lies, whose head stands before a complete record.
    {
        Mailbox box(272);
        put(box, {0, 0, 0, 0, 0, 0, 0, 0});
        put(box, {0, 0, 0, 0, 0, 0, 0, 0});  // a 16-byte reservation, nothing written
        ASSERT_EQ(box.append(a), AppendResult::ok);
        put(box, {0x00, 0x10, 0, 0, 1, 0, 0, 0});
        put(box, {40, 0, 0, 0, 1, 0, 0, 0});
        ASSERT_EQ(box.append(b), AppendResult::ok);
        const Bytes before = box.snapshot();
        EXPECT_TRUE(box.drain().empty());
        EXPECT_EQ(box.due_in(), ABANDONED_AFTER);
        box.let_time_pass(ABANDONED_AFTER - std::chrono::milliseconds(1));
        EXPECT_TRUE(box.drain().empty());
        EXPECT_EQ(box.snapshot(), before);
        box.let_time_pass(std::chrono::milliseconds(1));
        EXPECT_EQ(box.drain(), (std::vector<Bytes>{a, b}));
        EXPECT_EQ(box.due_in(), std::nullopt);
        EXPECT_EQ(box.read_pos(), box.write_pos());
        EXPECT_TRUE(box.ring_is_zero());
    }

    // Only what was reserved when the head was first found stuck counts as
    // settled: a record reserved later, still being written, waits for its
    // own writer even once the stuck head is gone.
    {
        Mailbox box(272);
        put(box, {0, 0, 0, 0, 0, 0, 0, 0});
        EXPECT_TRUE(box.drain().empty());
        box.let_time_pass(std::chrono::milliseconds(500));
        ASSERT_EQ(box.append(a), AppendResult::ok);
        const uint32_t late = box.write_pos() - static_cast<uint32_t>(record_bytes(a).size());
        box.ring()[late + 4] = 0;  // its writer has not committed yet
        EXPECT_TRUE(box.drain().empty());
        EXPECT_EQ(box.due_in(), std::chrono::milliseconds(500));
        box.let_time_pass(std::chrono::milliseconds(500));
        EXPECT_TRUE(box.drain().empty());
        EXPECT_EQ(box.read_pos(), late);
        EXPECT_EQ(box.due_in(), ABANDONED_AFTER);
        box.ring()[late + 4] = 1;
        EXPECT_EQ(box.drain(), std::vector<Bytes>{a});
    }
}

TEST(Ring, FragmentShorterThanARecordHeadIsConsumed) {
    Mailbox box(96);
    box.ring()[0] = 9;
    box.ring()[1] = 9;
    box.set_field(8, 3);
    EXPECT_TRUE(box.drain().empty());
    EXPECT_EQ(box.read_pos(), 3u);
    EXPECT_TRUE(box.ring_is_zero());
    const Bytes frame = frame_of_size(20);
    ASSERT_EQ(box.append(frame), AppendResult::ok);
    EXPECT_EQ(box.drain(), std::vector<Bytes>{frame});
}

TEST(Ring, DrainStopsAtIncompleteHeadAndResumes) {
    Mailbox box(96);
    const Bytes a = frame_of_size(20, 1);
    const Bytes b = frame_of_size(20, 2);
    ASSERT_EQ(box.append(a), AppendResult::ok);
    ASSERT_EQ(box.append(b), AppendResult::ok);
    box.ring()[4] = 0;  // a's writer has reserved but not yet committed
    EXPECT_TRUE(box.drain().empty());
    EXPECT_EQ(box.read_pos(), 0u);
    box.ring()[4] = 1;
    EXPECT_EQ(box.drain(), (std::vector<Bytes>{a, b}));
}

// A frame whose act is quick may keep its space from writers until the drain
// stops; one whose act may be slow (a method) has it freed first, and a
// copy_out that throws leaves the frames before it freed and its own in place.
TEST(Ring, ReadSpaceIsFreedBeforeASlowActAndWhenTheDrainStops) {
    Mailbox box(4096);
    constexpr uint32_t RECORD = RECORD_HEADER_SIZE + 20;
    for (uint16_t seq = 1; seq <= 5; ++seq) ASSERT_EQ(box.append(frame_of_size(20, seq)), AppendResult::ok);
    DrainState state;
    uint16_t seq = 0;
    std::vector<uint32_t> read_pos_in_slow_act;
    const auto drain = [&](bool throw_at_last) {
        return drain_records(
            box.view(), box.size(), state,
            [&](const RecordFrame& record) {
                seq = static_cast<uint16_t>(seq + 1);
                if (seq == 5 && throw_at_last) {
                    seq = 4;
                    throw std::bad_alloc();
                }
                if (seq != 3) record.act_is_quick();
            },
            [&] {
                if (seq == 3) read_pos_in_slow_act.push_back(box.read_pos());
            });
    };
    EXPECT_THROW(drain(true), std::bad_alloc);
    EXPECT_EQ(read_pos_in_slow_act, std::vector<uint32_t>{3 * RECORD});
    EXPECT_EQ(box.read_pos(), 4 * RECORD);
    EXPECT_FALSE(drain(false).has_value());
    EXPECT_EQ(seq, 5);
    EXPECT_EQ(box.read_pos(), 5 * RECORD);
    EXPECT_TRUE(box.ring_is_zero());
}

TEST(Ring, DamagedOwnHeaderIsReinitialised) {
    struct Damage {
        const char* what;
        void (*apply)(Mailbox&);
    };
    const Damage damages[] = {
        {"magic", [](Mailbox& b) { b.view()[0] = 'X'; }},
        {"capacity beyond the view", [](Mailbox& b) { b.set_field(4, 0xFFFFFF00u); }},
        {"capacity below the view", [](Mailbox& b) { b.set_field(4, 8); }},
        {"read_pos past the modulus", [](Mailbox& b) { b.set_field(12, 0xFFFFFFF0u); }},
        {"write_pos past the modulus", [](Mailbox& b) { b.set_field(8, 0xFFFFFFF0u); }},
        {"more used than the capacity", [](Mailbox& b) { b.set_field(8, 1000); }},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        Mailbox box(116);  // capacity 100: positions wrap below 2^32
        ASSERT_EQ(box.append(frame_of_size(20)), AppendResult::ok);
        damage.apply(box);
        EXPECT_TRUE(box.drain().empty());
        EXPECT_EQ(std::memcmp(box.view(), "TRV1", 4), 0);
        EXPECT_EQ(box.field(4), 100u);
        EXPECT_EQ(box.read_pos(), box.write_pos());
        EXPECT_TRUE(box.ring_is_zero());
        const Bytes frame = frame_of_size(30);
        ASSERT_EQ(box.append(frame), AppendResult::ok);
        EXPECT_EQ(box.drain(), std::vector<Bytes>{frame});
    }
}

// Writers on threads race for space in a small ring while a reader drains it;
// every record must arrive whole and each writer's records in the order it
// reserved them. Run under the thread sanitizer this also checks the ordering
// of the ready flag and the positions.
struct ConcurrentCase {
    uint32_t capacity;
    int64_t start_below_modulus;  // < 0: start at 0
};

class RingConcurrency : public ::testing::TestWithParam<ConcurrentCase> {};

TEST_P(RingConcurrency, WritersLandWholeAndInOrder) {
    constexpr int writers = 4;
    constexpr int per_writer = 2000;
    const ConcurrentCase param = GetParam();
    Mailbox box(param.capacity + MAILBOX_HEADER_SIZE);
    if (param.start_below_modulus >= 0) {
        box.set_positions(
            static_cast<uint32_t>(ring_modulus(param.capacity) - static_cast<uint64_t>(param.start_below_modulus)));
    }
    const auto body_for = [](int writer, int i) {
        Bytes body(static_cast<size_t>((i * 7 + writer * 3) % 50));
        for (size_t j = 0; j < body.size(); ++j) {
            body[j] = static_cast<uint8_t>(writer * 31 + i + static_cast<int>(j));
        }
        return body;
    };

    std::atomic<bool> give_up{false};
    std::atomic<int> unexpected_results{0};
    std::vector<std::thread> threads;
    for (int writer = 0; writer < writers; ++writer) {
        threads.emplace_back([&, writer] {
            for (int i = 0; i < per_writer && !give_up.load(); ++i) {
                const Bytes frame = encode_frame(FRAME_KIND_REQUEST, static_cast<uint16_t>(i),
                                                 static_cast<uint32_t>(writer), body_for(writer, i));
                for (;;) {
                    const AppendResult r = append_record(box.view(), box.size(), frame);
                    if (r == AppendResult::ok) {
                        break;
                    }
                    if (r != AppendResult::full) {
                        unexpected_results.fetch_add(1);
                        return;
                    }
                    if (give_up.load()) {
                        return;
                    }
                    std::this_thread::yield();
                }
            }
        });
    }

    int received = 0;
    int bad_frames = 0;
    int out_of_order = 0;
    int expected_seq[writers] = {};
    // Guards against a hang only; nothing here measures speed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    Bytes buffer;
    DrainState state;
    // A stopped clock: a writer descheduled between its reservation and its
    // commit must not look abandoned on a loaded machine.
    const auto frozen = [] { return DrainClock::time_point{}; };
    while (received < writers * per_writer && std::chrono::steady_clock::now() < deadline) {
        drain_records(
            box.view(), box.size(), buffer, state,
            [&](const Bytes& bytes) {
            ++received;
            const auto frame = decode_frame(bytes);
            if (!frame || frame->pid >= writers) {
                ++bad_frames;
                return;
            }
            const int writer = static_cast<int>(frame->pid);
            if (frame->seq != expected_seq[writer] || frame->body != body_for(writer, frame->seq)) {
                ++out_of_order;
            }
            expected_seq[writer] = frame->seq + 1;
            },
            frozen);
        std::this_thread::yield();
    }
    give_up.store(true);
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(unexpected_results.load(), 0);
    EXPECT_EQ(received, writers * per_writer);
    EXPECT_EQ(bad_frames, 0);
    EXPECT_EQ(out_of_order, 0);
    EXPECT_EQ(box.read_pos(), box.write_pos());
    EXPECT_TRUE(box.ring_is_zero());
}

INSTANTIATE_TEST_SUITE_P(Rings, RingConcurrency, ::testing::Values(ConcurrentCase{1024, -1}, ConcurrentCase{1000, 300}),
                         [](const auto& info) {
                             return info.param.start_below_modulus < 0 ? "PowerOfTwoFromZero"
                                                                       : "OddSizeAcrossPositionWrap";
                         });

}  // namespace
}  // namespace tarnvel
