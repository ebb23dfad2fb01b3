// The wake word: behind a mailbox's ring, its owner says whether it sleeps,
// so that a writer sets the owner's event only when the owner needs it.
//
//   at A = 16 + capacity rounded up to a multiple of 64, in the same mapping:
//   u32 magic "TRVW", u32 word; the mapping is A + 64 bytes
//   word: bit 0 set while the owner sleeps, bits 1-31 count its wake-ups
//
// Owner: before it reads the ring, counts a wake-up and clears the bit (one
// atomic exchange); before it waits for its event it sets the bit (another)
// and reads the ring once more; a sequentially consistent fence follows each
// exchange. Writer: once its record is committed, a sequentially consistent
// fence, then a load of the word (an atomic read-modify-write that changes
// nothing does as well); it sets the event only when the bit is set, and may
// skip that when it set the event already under the very same word (the
// owner has not woken since, and that event still wakes it). With the fences
// on both sides, whichever of the two comes first, the other sees it: either
// the writer finds the bit and sets the event, or the owner's last read of
// the ring finds the record. A load, unlike a read-modify-write, leaves the
// word's cache line shared, so the owner's core keeps it while writers look.
// A writer that knows nothing of the word sets the event after every record,
// which stays right; so does a writer that finds no word (an owner that keeps
// none).
//
//   at A + 8: u32 waiter word, for a thread of the owner that waits for an
//   answer and reads the ring itself: bit 1 set while it is awake and reading,
//   bit 0 set while it sleeps on this word (a futex, keyed by the object)
//
// Writer, after the fence above and before it looks at the state word:
// loads the waiter word. When bit 0 is set, it clears it with an atomic and
// and, if it was still set, wakes the word's sleepers; when bit 1 is set, it
// needs to do nothing; in both cases it sets no event (the waiting thread
// reads the ring; the owner's io thread may sleep on). Waiting thread (each
// change a read-modify-write, followed by a fence): sets bit 1, reads the
// ring, watches it for a while; then swaps the word to bit 0 alone, reads
// the ring, and sleeps only while the word is still bit 0; after each
// wake-up it swaps the word to bit 0 again and reads the ring. When it stops,
// it clears the word and reads the ring once more. The io thread, before it
// sleeps, clears the word when no thread waits. A writer that knows nothing
// of this word sets the event as before, and the io thread it wakes hands the
// answer over, so it only costs that writer's reader a wake-up more.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarnvel {

// The sequentially consistent fence both sides of the words need, and the
// look at a word after it. ThreadSanitizer takes no standalone fence: built
// with it, the look is a read-modify-write that changes nothing instead,
// which orders the same on its own.
inline void wake_fence() noexcept {
#if !defined(__SANITIZE_THREAD__)
    std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}
inline uint32_t look_after_fence(std::atomic_ref<uint32_t> word) noexcept {
#if defined(__SANITIZE_THREAD__)
    return word.fetch_or(0, std::memory_order_seq_cst);
#else
    return word.load(std::memory_order_relaxed);
#endif
}

inline constexpr uint32_t WAKE_MAGIC = 0x57565254;  // "TRVW"
inline constexpr uint32_t OWNER_ASLEEP = 1;         // the bit of the word
inline constexpr uint64_t WAKE_AREA_SIZE = 64;

// Where the wake area of a mailbox with this capacity starts.
uint64_t wake_area_offset(uint32_t capacity);
// The mapping an owner makes for a mailbox of `bytes` (its header and ring),
// with the wake area behind it.
uint64_t mailbox_mapping_size(uint64_t bytes);

// Owner, at construction, after init_mailbox(view, bytes): the word says
// "asleep" until the owner first reads the ring.
void init_wake_word(uint8_t* view, uint64_t bytes);
// Owner: it is awake (counting the wake-up in `wakes`), or about to sleep.
void say_owner_awake(uint8_t* view, uint64_t bytes, uint32_t& wakes) noexcept;
void say_owner_asleep(uint8_t* view, uint64_t bytes, uint32_t wakes) noexcept;

inline constexpr uint32_t READER_WAITS = 1;  // bits of the waiter word
inline constexpr uint32_t READER_AWAKE = 2;

// Owner: the waiter word of its mailbox.
uint32_t* waiter_word(uint8_t* view, uint64_t bytes) noexcept;

// Writer, once its record is committed to the mailbox in the first
// `view_size` bytes of `view`: whom it must wake. `signalled` is this
// writer's memory of the state word it last set the event under (0 at
// first; nullptr for none); when the result is `event` it remembers the word.
// `capacity` is the one the writer's append found in the header (0: read it
// again): the reader moves that cache line all the time, so a second look
// at it is a second miss.
enum class WakeNeeded {
    none,    // the owner's io thread or a waiting thread of it is awake, or
             // the event was set under this very word already
    event,   // set the owner's event (also when the owner keeps no word)
    waiter,  // wake `*waiter`, the waiter word: a thread slept on it
};
WakeNeeded wake_needed(uint8_t* view, uint64_t view_size, uint32_t* signalled, uint32_t** waiter,
                       uint32_t capacity = 0) noexcept;

// Whether the owner of this mailbox keeps the wake area. Such an owner also
// takes its mailbox's magic away before it removes its objects, so that the
// next append to it fails on its own.
bool keeps_wake_area(uint8_t* view, uint64_t view_size) noexcept;

}  // namespace tarnvel
