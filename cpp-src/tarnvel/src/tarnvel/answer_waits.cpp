#include "answer_waits.hpp"

#include "platform/platform.hpp"
#include "wake_word.hpp"

#include <atomic>
#include <chrono>
#include <utility>

namespace tarnvel {

namespace {

bool ready(const std::future<CallResult>& future) {
    return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

}  // namespace

AnswerWaits::AnswerWaits(uint32_t* word, std::function<void()> take, uint32_t pid)
    : word_(word), take_(std::move(take)), pid_(pid) {}

bool AnswerWaits::wait(const std::future<CallResult>& future) {
    // Before the lock: a fork child may have inherited it held.
    if (ready(future) || platform::current_process_id() != pid_) return false;
    {
        std::lock_guard lock(mutex_);
        // One thread at a time: the waiter word has one bit, and the
        // mailbox one reader at a time anyway.
        if (!open_ || occupied_) return false;
        occupied_ = true;
        waiter_ = std::this_thread::get_id();
    }
    std::atomic_ref<uint32_t> word(*word_);
    for (;;) {
        if (ready(future)) break;
        // Said before the mailbox is read: a writer that commits after this
        // read clears the bit and wakes the word, and the sleep below does
        // not begin (or ends) once the bit is gone.
        word.fetch_or(READER_WAITS, std::memory_order_seq_cst);
        take_();
        if (ready(future)) break;
        platform::wait_shared_word(word_, READER_WAITS);
    }
    // A writer that found the bit woke this thread instead of setting the
    // event: what it wrote may still be in the ring, and nobody else will
    // come for it.
    if ((word.fetch_and(~READER_WAITS, std::memory_order_seq_cst) & READER_WAITS) == 0) take_();
    {
        std::lock_guard lock(mutex_);
        occupied_ = false;
        waiter_ = std::thread::id();
    }
    left_.notify_all();
    return true;
}

void AnswerWaits::wake() noexcept {
    std::lock_guard lock(mutex_);
    if (!occupied_ || waiter_ == std::this_thread::get_id()) return;
    std::atomic_ref<uint32_t>(*word_).fetch_and(~READER_WAITS, std::memory_order_seq_cst);
    platform::wake_shared_word(word_);
}

void AnswerWaits::shut() noexcept {
    std::unique_lock lock(mutex_);
    open_ = false;
    left_.wait(lock, [this] { return !occupied_; });
}

}  // namespace tarnvel
