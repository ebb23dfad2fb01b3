// A thread waiting for a call's future reads the node's mailbox itself and
// sleeps on the mailbox's waiter word, so that the answer wakes it directly:
// one thread woken per answer, where going through the io thread wakes two.
#pragma once

#include "awake_budget.hpp"
#include "tarnvel/tarnvel.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <span>
#include <thread>

namespace tarnvel {

// How a waiting thread's read meets a drain of the io thread's: it waits for
// the drain to end, or takes nothing, or takes nothing and has the io thread
// look once more after its drain (for records whose writers woke nobody
// because this thread was there to read them).
enum class WhileIoDrains { wait, skip, hand_over };

// What a waiting thread's read of the mailbox came to.
struct WaiterTake {
    // It can take nothing more for now (a head that cannot be read yet,
    // frames the io thread has still to act on, or the io thread draining):
    // it sleeps rather than watches.
    bool stalled = false;
    // An answer longer than the thread reads into a vector of its own waits
    // at the head for memory of this size; 0 otherwise.
    uint64_t wants_space = 0;
    // The memory the thread offered was read into.
    bool space_used = false;
};

class AnswerWaits {
public:
    // `word`: the waiter word of the node's mailbox, mapped until shut()
    // returns. `take(busy, largest, space, may_ask)`: reads the mailbox for a
    // waiting thread, finishing the calls whose answers it finds; never
    // throws. Frames longer than `largest` it leaves to the io thread,
    // except an answer whose result fits `space` exactly, which it reads
    // there; with no space yet but `may_ask`, it leaves such an answer at
    // the head and says how much it wants.
    // `ready`: whether a record waits to be read, a cheap look.
    // `crowded`: whether writers have reserved room behind the head record
    // (or the head is no complete record).
    // `budget`: how long past the usual while to stay awake; it must outlive
    // every wait (shut() ends them).
    // `pid`: the node's process.
    using Take = std::function<WaiterTake(WhileIoDrains, uint64_t, std::span<uint8_t>, bool)>;
    AnswerWaits(uint32_t* word, Take take, std::function<bool()> ready, std::function<bool()> crowded,
                const AwakeBudget& budget, uint32_t pid);
    AnswerWaits(const AnswerWaits&) = delete;
    AnswerWaits& operator=(const AnswerWaits&) = delete;

    // Returns once `done()` holds, having read the mailbox meanwhile, or at
    // `until`, or at close. False at once when this thread cannot wait here (another
    // thread does, the node is closing, a fork child): it then waits in its
    // own way. Whatever makes `done()` true elsewhere calls wake() after.
    // Without an `until` it may also wait while the io thread drains (which
    // may last as long as a method it runs); with one, never. Frames longer
    // than `largest` it leaves to the io thread.
    // With `space`, the first answer longer than `largest` is read into the
    // memory it gives (see Tarnvel::AnswerSpace), asked for with no lock
    // held and while writers wake the io thread as if nobody waited here.
    bool wait(const std::function<bool()>& done,
              std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max(),
              uint64_t largest = UINT64_MAX, const Tarnvel::AnswerSpace* space = nullptr);
    // Returns once `future` is ready, as above.
    bool wait(const std::future<CallResult>& future);
    // Reads what the mailbox holds now, for a thread about to wait in its
    // own way; never sleeps. Nothing is read while another thread reads
    // here, once the node is closing, or in a fork child.
    void take_now();
    // A future's call has ended, or whatever else the waiting thread waits
    // for: it looks again, unless it is the one that ended it. Any thread.
    void wake() noexcept;
    // For close, once every call of the node has ended: has the waiting
    // thread leave, whatever it waits for, waits for it and lets no other in.
    void shut() noexcept;
    // io thread, before it sleeps: with no thread waiting, whatever another
    // process wrote into the word is cleared, so that it cannot keep writers
    // from setting the event.
    void clear_if_unused() noexcept;

private:
    // Makes the calling thread the one reading here; false when it cannot be.
    bool enter();
    void leave();
    // Spins until a record is ready to be read or `over()` holds (true), or
    // until `until` (false).
    template <class Over>
    bool watch(const Over& over, std::chrono::steady_clock::time_point until);

    uint32_t* word_;
    Take take_;
    std::function<bool()> record_ready_;
    std::function<bool()> crowded_;
    const AwakeBudget& budget_;
    uint32_t pid_;
    std::mutex mutex_;
    std::condition_variable left_;
    bool open_ = true;       // guarded by mutex_
    bool occupied_ = false;  // guarded by mutex_: a thread waits here
    std::atomic<bool> closing_{false};
    std::thread::id waiter_;  // guarded by mutex_
};

}  // namespace tarnvel
