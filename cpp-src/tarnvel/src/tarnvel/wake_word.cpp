#include "wake_word.hpp"

#include "ring.hpp"

#include <atomic>
#include <cstdint>
#include <optional>

namespace tarnvel {

namespace {

constexpr uint64_t STATE_OFFSET = 4;   // within the wake area
constexpr uint64_t WAITER_OFFSET = 8;  // within the wake area

std::atomic_ref<uint32_t> word_at(uint8_t* view, uint64_t offset) {
    return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(view + offset));
}

bool aligned(const uint8_t* view) {
    return reinterpret_cast<uintptr_t>(view) % std::atomic_ref<uint32_t>::required_alignment == 0;
}

// Where a writer finds the owner's wake area, or nothing: an owner without
// one, a damaged header, a view too small.
std::optional<uint64_t> wake_area_in(uint8_t* view, uint64_t view_size, uint32_t capacity = 0) noexcept {
    if (view == nullptr || !aligned(view) || view_size < MAILBOX_HEADER_SIZE) return std::nullopt;
    if (capacity == 0) capacity = word_at(view, 4).load(std::memory_order_relaxed);
    const uint64_t at = wake_area_offset(capacity);
    if (at + WAKE_AREA_SIZE > view_size) return std::nullopt;  // an owner without a word
    if (word_at(view, at).load(std::memory_order_acquire) != WAKE_MAGIC) return std::nullopt;
    return at;
}

}  // namespace

uint64_t wake_area_offset(uint32_t capacity) {
    const uint64_t end = MAILBOX_HEADER_SIZE + uint64_t{capacity};
    return (end + WAKE_AREA_SIZE - 1) / WAKE_AREA_SIZE * WAKE_AREA_SIZE;
}

uint64_t mailbox_mapping_size(uint64_t bytes) { return wake_area_offset(mailbox_capacity(bytes)) + WAKE_AREA_SIZE; }

void init_wake_word(uint8_t* view, uint64_t bytes) {
    const uint64_t at = wake_area_offset(mailbox_capacity(bytes));
    word_at(view, at + STATE_OFFSET).store(OWNER_ASLEEP, std::memory_order_relaxed);
    word_at(view, at + WAITER_OFFSET).store(0, std::memory_order_relaxed);
    word_at(view, at).store(WAKE_MAGIC, std::memory_order_release);
}

void say_owner_awake(uint8_t* view, uint64_t bytes, uint32_t& wakes) noexcept {
    wakes = (wakes + 1) & 0x7FFFFFFFu;
    word_at(view, wake_area_offset(mailbox_capacity(bytes)) + STATE_OFFSET)
        .exchange(wakes << 1, std::memory_order_seq_cst);
    wake_fence();
}

void say_owner_asleep(uint8_t* view, uint64_t bytes, uint32_t wakes) noexcept {
    word_at(view, wake_area_offset(mailbox_capacity(bytes)) + STATE_OFFSET)
        .exchange((wakes << 1) | OWNER_ASLEEP, std::memory_order_seq_cst);
    wake_fence();
}

bool keeps_wake_area(uint8_t* view, uint64_t view_size) noexcept {
    return wake_area_in(view, view_size).has_value();
}

uint32_t* waiter_word(uint8_t* view, uint64_t bytes) noexcept {
    return reinterpret_cast<uint32_t*>(view + wake_area_offset(mailbox_capacity(bytes)) + WAITER_OFFSET);
}

WakeNeeded wake_needed(uint8_t* view, uint64_t view_size, uint32_t* signalled, uint32_t** waiter,
                       uint32_t capacity) noexcept {
    const std::optional<uint64_t> area = wake_area_in(view, view_size, capacity);
    if (!area) return WakeNeeded::event;
    // After the record's commit, before either word is read: see the header.
    wake_fence();
    std::atomic_ref<uint32_t> reader = word_at(view, *area + WAITER_OFFSET);
    uint32_t readers = look_after_fence(reader);
    if ((readers & READER_WAITS) != 0) {
        // Only one writer wakes it: the one whose and still found the bit.
        readers = reader.fetch_and(~READER_WAITS, std::memory_order_seq_cst);
        if ((readers & READER_WAITS) != 0) {
            *waiter = reinterpret_cast<uint32_t*>(view + *area + WAITER_OFFSET);
            return WakeNeeded::waiter;
        }
    }
    if ((readers & READER_AWAKE) != 0) return WakeNeeded::none;
    const uint32_t word = look_after_fence(word_at(view, *area + STATE_OFFSET));
    if ((word & OWNER_ASLEEP) == 0) return WakeNeeded::none;
    if (signalled != nullptr) {
        if (*signalled == word) return WakeNeeded::none;
        *signalled = word;
    }
    return WakeNeeded::event;
}

}  // namespace tarnvel
