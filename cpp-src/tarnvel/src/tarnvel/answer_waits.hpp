// A thread waiting for a call's future reads the node's mailbox itself and
// sleeps on the mailbox's waiter word, so that the answer wakes it directly:
// one thread woken per answer, where going through the io thread wakes two.
#pragma once

#include "tarnvel/tarnvel.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace tarnvel {

// How a waiting thread's read meets a drain of the io thread's: it waits for
// the drain to end, or takes nothing, or takes nothing and has the io thread
// look once more after its drain (for records whose writers woke nobody
// because this thread was there to read them).
enum class WhileIoDrains { wait, skip, hand_over };

class AnswerWaits {
public:
    // `word`: the waiter word of the node's mailbox, mapped until shut()
    // returns. `take`: reads the mailbox for a waiting thread, finishing the
    // calls whose answers it finds; never throws; true when the thread can
    // take nothing more for now (a head that cannot be read yet, frames the
    // io thread has still to act on, or the io thread draining), so that it
    // sleeps rather than watches; frames longer than its second argument it
    // leaves to the io thread.
    // `ready`: whether a record waits to be read, a cheap look.
    // `pid`: the node's process.
    AnswerWaits(uint32_t* word, std::function<bool(WhileIoDrains, uint64_t)> take, std::function<bool()> ready,
                uint32_t pid);
    AnswerWaits(const AnswerWaits&) = delete;
    AnswerWaits& operator=(const AnswerWaits&) = delete;

    // Returns once `done()` holds, having read the mailbox meanwhile, or at
    // `until`, or at close. False at once when this thread cannot wait here (another
    // thread does, the node is closing, a fork child): it then waits in its
    // own way. Whatever makes `done()` true elsewhere calls wake() after.
    // Without an `until` it may also wait while the io thread drains (which
    // may last as long as a method it runs); with one, never. Frames longer
    // than `largest` it leaves to the io thread.
    bool wait(const std::function<bool()>& done,
              std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max(),
              uint64_t largest = UINT64_MAX);
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
    std::function<bool(WhileIoDrains, uint64_t)> take_;
    std::function<bool()> record_ready_;
    uint32_t pid_;
    std::mutex mutex_;
    std::condition_variable left_;
    bool open_ = true;       // guarded by mutex_
    bool occupied_ = false;  // guarded by mutex_: a thread waits here
    std::atomic<bool> closing_{false};
    std::thread::id waiter_;  // guarded by mutex_
};

}  // namespace tarnvel
