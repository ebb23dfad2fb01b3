#include "answer_waits.hpp"

#include "cpu_pause.hpp"
#include "platform/platform.hpp"
#include "wake_word.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <utility>

namespace tarnvel {

namespace {

// How long a waiting thread stays awake, watching the ring, before it sleeps:
// an answer that comes within this is read without a wake-up, which takes
// tens of microseconds on a busy or virtual machine. Longer costs idle CPU.
// Large records add to it (AwakeBudget).
constexpr auto STAY_AWAKE = std::chrono::microseconds(20);
// After this much of it, the watch lets other threads have the processor now
// and then: callers in many processes on few cores would otherwise hold the
// cores their peers (and the server) need, each until its time slice ends.
constexpr auto WATCH_ALONE = std::chrono::microseconds(5);
constexpr auto YIELD_EVERY = std::chrono::microseconds(2);

bool ready(const std::future<CallResult>& future) {
    return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

}  // namespace

AnswerWaits::AnswerWaits(uint32_t* word, Take take, std::function<bool()> ready, std::function<bool()> crowded,
                         const AwakeBudget& budget, uint32_t pid)
    : word_(word),
      take_(std::move(take)),
      record_ready_(std::move(ready)),
      crowded_(std::move(crowded)),
      budget_(budget),
      pid_(pid) {}

bool AnswerWaits::enter() {
    // Before the lock: a fork child may have inherited it held.
    if (platform::current_process_id() != pid_) return false;
    std::lock_guard lock(mutex_);
    // One thread at a time: the waiter word speaks for one, and the mailbox
    // has one reader at a time anyway.
    if (!open_ || occupied_) return false;
    occupied_ = true;
    waiter_ = std::this_thread::get_id();
    return true;
}

void AnswerWaits::leave() {
    {
        std::lock_guard lock(mutex_);
        occupied_ = false;
        waiter_ = std::thread::id();
    }
    left_.notify_all();
}

void AnswerWaits::take_now() {
    // enter() refuses a closed node, whose mailbox may be gone, and a fork
    // child, whose mappings are.
    if (!enter()) return;
    take_(WhileIoDrains::skip, UINT64_MAX, {}, false);
    leave();
}

bool AnswerWaits::wait(const std::future<CallResult>& future) {
    return wait([&future] { return ready(future); });
}

bool AnswerWaits::wait(const std::function<bool()>& done, std::chrono::steady_clock::time_point until,
                       uint64_t largest, const Tarnvel::AnswerSpace* space) {
    if (done() || !enter()) return false;
    std::atomic_ref<uint32_t> word(*word_);
    const bool bounded = until != std::chrono::steady_clock::time_point::max();
    // A bounded wait never waits for the io thread's drain, which may last as
    // long as a method it runs; what it cannot read then is the io thread's.
    const WhileIoDrains busy = bounded ? WhileIoDrains::hand_over : WhileIoDrains::wait;
    // On every way out, a throwing `done` too: a writer that saw this thread
    // awake, or cleared the bit and woke it, set no event, so what it wrote
    // may still be in the ring, and nobody else will come for it.
    struct Leaving {
        AnswerWaits& waits;
        std::atomic_ref<uint32_t>& word;
        WhileIoDrains busy;
        uint64_t largest;
        ~Leaving() {
            word.exchange(0, std::memory_order_seq_cst);
            wake_fence();
            waits.take_(busy, largest, {}, false);
            waits.leave();
        }
    } const leaving{*this, word, busy, largest};
    // Said before the mailbox is read: a writer that commits after this sees
    // a reader awake and needs to wake nobody.
    word.fetch_or(READER_AWAKE, std::memory_order_seq_cst);
    wake_fence();
    // A close lets the thread go whatever it waits for.
    const auto over = [&] { return closing_.load() || done(); };
    const auto awake_until = std::min(until, std::chrono::steady_clock::now() + budget_.beyond(STAY_AWAKE));
    bool awake = true;
    std::span<uint8_t> space_bytes;
    bool may_ask = space != nullptr && *space;
    for (;;) {
        const WaiterTake taken = take_(busy, largest, space_bytes, may_ask);
        if (taken.space_used) space_bytes = {};
        if (taken.wants_space > 0 && may_ask) {
            // Once: what comes later and is as long goes to the io thread.
            may_ask = false;
            // Meanwhile, which may take a while (a Python thread waits for
            // the interpreter lock), writers wake the io thread as if nobody
            // waited here; the answer stays at the head for this thread,
            // unless the io thread gets to it first.
            word.exchange(0, std::memory_order_seq_cst);
            wake_fence();
            // Records that writers wrote behind it while this thread said it
            // was reading, and so signalled nobody, must not wait that long:
            // all of them go to the io thread (the answer too). Read after
            // the word is cleared: a writer that saw it set had reserved
            // its room before.
            if (!crowded_()) {
                try {
                    space_bytes = (*space)(taken.wants_space);
                } catch (...) {
                    space_bytes = {};
                }
                if (space_bytes.size() != taken.wants_space) space_bytes = {};
            }
            word.fetch_or(READER_AWAKE, std::memory_order_seq_cst);
            wake_fence();
            continue;
        }
        const bool stalled = taken.stalled;
        if (over()) break;
        if (awake) {
            // A head that stays unreadable would look ready to the watch
            // again and again: the io thread's retry deals with it.
            if (!stalled && watch(over, awake_until)) continue;
            // Asleep from here on: a writer that commits after this sees the
            // bit, clears it and wakes the word; the record of one that came
            // before is found by the read that follows, before any sleep.
            word.exchange(READER_WAITS, std::memory_order_seq_cst);
            wake_fence();
            awake = false;
            continue;
        }
        if (std::chrono::steady_clock::now() >= until) break;
        // Only while the bit is still set: once a writer (or the end of the
        // call) cleared it, this returns at once.
        platform::wait_shared_word(word_, READER_WAITS, until);
        // An exchange, not an or: bits another process wrote into the word
        // would keep it from ever holding the value the sleep waits on.
        word.exchange(READER_WAITS, std::memory_order_seq_cst);
        wake_fence();
    }
    return true;
}

template <class Over>
bool AnswerWaits::watch(const Over& over, std::chrono::steady_clock::time_point until) {
    auto next_yield = std::chrono::steady_clock::now() + WATCH_ALONE;
    for (unsigned i = 1;; ++i) {
        if (record_ready_()) return true;
        cpu_pause();
        if (i % 64 != 0) continue;
        if (over()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return false;
        if (now >= next_yield) {
            std::this_thread::yield();
            next_yield = now + YIELD_EVERY;
        }
    }
}

void AnswerWaits::wake() noexcept {
    // A fork child must not touch a lock its parent may have held.
    if (platform::current_process_id() != pid_) return;
    std::lock_guard lock(mutex_);
    if (!occupied_ || waiter_ == std::this_thread::get_id()) return;
    std::atomic_ref<uint32_t>(*word_).fetch_and(~READER_WAITS, std::memory_order_seq_cst);
    platform::wake_shared_word(word_);
}

void AnswerWaits::clear_if_unused() noexcept {
    std::atomic_ref<uint32_t> word(*word_);
    if (word.load(std::memory_order_relaxed) == 0) return;
    std::lock_guard lock(mutex_);
    if (!occupied_) word.store(0, std::memory_order_relaxed);
}

void AnswerWaits::shut() noexcept {
    std::unique_lock lock(mutex_);
    open_ = false;
    // Every call has ended, but a thread may wait for more than its call (a
    // Python Future's signal, set once its done-callbacks have run, and one
    // of them may be closing the node): it leaves now.
    closing_.store(true);
    if (occupied_) {
        std::atomic_ref<uint32_t>(*word_).fetch_and(~READER_WAITS, std::memory_order_seq_cst);
        platform::wake_shared_word(word_);
    }
    left_.wait(lock, [this] { return !occupied_; });
}

}  // namespace tarnvel
