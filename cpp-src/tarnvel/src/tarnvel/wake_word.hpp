// The wake word: behind a mailbox's ring, its owner says whether it sleeps,
// so that a writer sets the owner's event only when the owner needs it.
//
//   at A = 16 + capacity rounded up to a multiple of 64, in the same mapping:
//   u32 magic "TRVW", u32 word; the mapping is A + 64 bytes
//   word: bit 0 set while the owner sleeps, bits 1-31 count its wake-ups
//
// Owner: before it reads the ring, counts a wake-up and clears the bit (one
// atomic exchange); before it waits for its event it sets the bit (another)
// and reads the ring once more. Writer: once its record is committed, reads
// the word with an atomic read-modify-write that changes nothing; it sets the
// event only when the bit is set, and may skip that when it set the event
// already under the very same word (the owner has not woken since, and that
// event still wakes it). Every change of the word is a read-modify-write, so
// whichever of the two comes first in the word's order, the other sees it:
// either the writer finds the bit and sets the event, or the owner's last
// read of the ring finds the record. A writer that knows nothing of the word
// sets the event after every record, which stays right; so does a writer
// that finds no word (an owner that keeps none).
//
//   at A + 8: u32 waiter word, for a thread of the owner that waits for an
//   answer and reads the ring itself: bit 1 set while it is awake and reading,
//   bit 0 set while it sleeps on this word (a futex, keyed by the object)
//
// Writer, before it looks at the word above: clears bit 0 with an atomic
// and. When bit 0 was set, it wakes the word's sleepers; when bit 1 was, it
// needs to do nothing; in both cases it sets no event (the waiting thread
// reads the ring; the owner's io thread may sleep on). Waiting thread: sets
// bit 1, reads the ring, watches it for a while; then swaps the word to bit 0
// alone, reads the ring, and sleeps only while the word is still bit 0; after
// each wake-up it sets bit 0 again and reads the ring. When it stops, it
// clears the word and reads the ring once more. A writer that knows nothing
// of this word sets the event as before, and the io thread it wakes hands
// the answer over, so it only costs that writer's reader a wake-up more.
#pragma once

#include <cstdint>

namespace tarnvel {

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

// Writer, once its record is committed to the mailbox in the first
// `view_size` bytes of `view`: false only when the owner keeps a wake word
// and is awake, and so will read the record without being woken, or when
// `signalled` (this writer's memory of the word it last set the event under,
// 0 at first; nullptr for none) shows that the owner has not woken since.
// True means: set the event now; `signalled` then remembers the word.
bool owner_needs_signal(uint8_t* view, uint64_t view_size, uint32_t* signalled = nullptr) noexcept;

inline constexpr uint32_t READER_WAITS = 1;  // bits of the waiter word
inline constexpr uint32_t READER_AWAKE = 2;

// Owner: the waiter word of its mailbox.
uint32_t* waiter_word(uint8_t* view, uint64_t bytes) noexcept;

// What a writer found of a waiting thread, once its record is committed.
enum class WaitingReader {
    none,      // no thread reads in the io thread's place: see owner_needs_signal
    reading,   // one is awake and will read the record
    sleeping,  // one slept; its bit is now cleared: wake the word
};
// `word` gets the waiter word when a thread sleeps on it.
WaitingReader find_waiting_reader(uint8_t* view, uint64_t view_size, uint32_t** word) noexcept;

}  // namespace tarnvel
