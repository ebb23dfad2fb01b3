// Delivery: the node's outbox and the links to its peers.
//
// Whoever sends a message writes it at once when nothing is queued ahead of
// it and the destination's link is kept and current: a few cheap checks and
// the write, on the sending thread, with no hop to the io thread. Anything
// else (a destination to open afresh, a peer that may be gone, messages
// already waiting) goes through the queue, which the io thread works off one
// message per step. One thread at a time holds the right to deliver, so
// messages leave in the order they were sent.
#include "delivery.hpp"

#include "byte_order.hpp"
#include "frame.hpp"
#include "ring.hpp"
#include "wake_word.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <utility>

namespace tarnvel {

namespace {

// Releases a link that may not be kept on every way out of a delivery.
class UnkeptRelease {
public:
    explicit UnkeptRelease(PeerCache& peers) : peers_(peers) {}
    ~UnkeptRelease() { peers_.release_unkept(); }
    UnkeptRelease(const UnkeptRelease&) = delete;
    UnkeptRelease& operator=(const UnkeptRelease&) = delete;

private:
    PeerCache& peers_;
};

// An answer that no mailbox of its caller could ever hold becomes the short
// failure answer, which any mailbox holds: the call ends at once instead of
// at its time limit. False when the message is a request or already that.
bool shrink_to_failure_answer(OutgoingMessage& message) {
    if (message.expects_reply) {
        return false;
    }
    const OutFrame& frame = message.frame;
    // An answer's body (its status first) starts in its head, after 12 bytes.
    constexpr size_t BODY = 12;
    if (frame.kind() != FRAME_KIND_RESPONSE || frame.head.size() <= BODY) {
        return false;
    }
    const uint64_t body_size = frame.head.size() - BODY + uint64_t{frame.tail.size()};
    if (body_size <= 1) {
        return false;
    }
    const auto seq = static_cast<uint16_t>(frame.head[6] | frame.head[7] << 8);
    const uint32_t pid = load_le32(&frame.head[8]);
    // First the failure that tells the answer's size; in a mailbox too small
    // even for that, the bare status.
    if (frame.head[BODY] == STATUS_DELIVER_FAILED) {
        message.frame = response_frame(seq, pid, STATUS_DELIVER_FAILED, {});
    } else {
        // A frame's body fits its 32-bit length field, so its size does too.
        message.frame = unfit_answer_frame(seq, pid, static_cast<uint32_t>(body_size - 1));
    }
    return true;
}

// The Delivery whose batch the calling thread runs, if any.
thread_local Delivery* batching_here = nullptr;

// After a record is committed: a thread of the owner waiting for it is woken
// to read it; else the owner's event is set if it sleeps.
void wake_owner(platform::PeerLink& link, uint32_t* signalled, uint32_t capacity = 0) noexcept {
    uint32_t* waiter = nullptr;
    switch (wake_needed(link.view(), link.size(), signalled, &waiter, capacity)) {
        case WakeNeeded::waiter:
            platform::wake_shared_word(waiter);
            return;
        case WakeNeeded::event:
            link.signal();
            return;
        case WakeNeeded::none:
            return;
    }
}

}  // namespace

void Delivery::own_payload(OutgoingMessage& message, Bytes spare) {
    try {
        message.frame.tail.own(std::move(spare));
    } catch (...) {
        // No memory for a copy of an answer: its caller is told at once that
        // it did not come, rather than wait for it until its time limit.
        if (!shrink_to_failure_answer(message)) throw;
    }
}

void Delivery::stamp(OutgoingMessage& message) {
    if (!message.expects_reply && message.deadline == std::chrono::steady_clock::time_point::max()) {
        message.deadline = std::chrono::steady_clock::now() + ANSWER_WAIT;
    }
}

bool Delivery::begin_batch() noexcept {
    if (batching_here == this) return false;
    batching_here = this;
    calls_made_ = 0;
    return true;
}

void Delivery::stop_gathering() noexcept {
    // Cleared first: the completions of failed calls send the usual way.
    batching_here = nullptr;
    flush_batch();
    finish_failed();
}

size_t Delivery::end_batch() noexcept {
    stop_gathering();
    return calls_made_;
}

void Delivery::frame_taken() noexcept {
    if (batch_holds_ && ++frames_held_ >= BATCH_MESSAGES) flush_batch();
}

void Delivery::hold_off() noexcept {
    if (batching_here == this) flush_batch();
}

Delivery::BatchPause::BatchPause(Delivery& delivery) noexcept
    : paused_(batching_here == &delivery ? &delivery : nullptr) {
    if (paused_ != nullptr) paused_->stop_gathering();
}

Delivery::BatchPause::~BatchPause() {
    if (paused_ != nullptr) batching_here = paused_;
}

bool Delivery::gather(OutgoingMessage& message) {
    if (!message.expects_reply || message.frame.size() > BATCH_MAX_BYTES || failed_count_ == failed_.size()) {
        // What was gathered goes first.
        flush_batch();
        return false;
    }
    // It waits in the queue, where a borrowed payload would not outlive send.
    Bytes spare;
    if (!spare_payloads_.empty() && message.frame.tail.borrowed()) {
        spare = std::move(spare_payloads_.back());
        spare_payloads_.pop_back();
    }
    own_payload(message, std::move(spare));
    std::unique_lock lock(mutex_);
    if (!batch_holds_) {
        // Behind what already waits, the usual way.
        if (busy_ || !queue_.empty()) return false;
        queue_.push_back(std::move(message));
        busy_ = true;
        batch_holds_ = true;
        frames_held_ = 0;
    } else {
        queue_.push_back(std::move(message));
    }
    if (queue_.size() >= BATCH_MESSAGES) {
        lock.unlock();
        flush_batch();
    }
    return true;
}

void Delivery::flush_batch() noexcept {
    if (!batch_holds_) return;
    // What others add meanwhile is left to the io thread's steps: a flush
    // must end however fast they send.
    size_t left = 0;
    {
        std::lock_guard lock(mutex_);
        left = queue_.size();
    }
    while (left > 0) {
        // The head's run: small frames to one mailbox. Only the holder of the
        // right to deliver takes from the queue and others only add at its
        // end, so these stay where they are while the lock is released.
        std::array<OutgoingMessage*, BATCH_MESSAGES> run{};
        size_t count = 0;
        {
            std::lock_guard lock(mutex_);
            const std::string& mailbox = queue_.front().mailbox_name;
            const size_t most = std::min(left, BATCH_MESSAGES);
            while (count < most && queue_[count].mailbox_name == mailbox &&
                   queue_[count].frame.size() <= BATCH_MAX_BYTES) {
                run[count] = &queue_[count];
                ++count;
            }
            if (count == 0) run[count++] = &queue_.front();
        }
        const size_t done = write_run(run.data(), count);
        {
            std::lock_guard lock(mutex_);
            for (size_t i = 0; i < done; ++i) {
                Bytes spare = queue_.front().frame.tail.release();
                if (spare.capacity() >= SPARE_PAYLOAD_MIN && spare.capacity() <= BATCH_MAX_BYTES &&
                    spare_payloads_.size() < spare_payloads_.capacity()) {
                    spare_payloads_.push_back(std::move(spare));
                }
                queue_.pop_front();
            }
        }
        left -= done;
        if (done < count) break;
    }
    batch_holds_ = false;
    end_turn();
}

size_t Delivery::write_run(OutgoingMessage* const* run, size_t count) noexcept {
    const std::string& mailbox = run[0]->mailbox_name;
    if (count > 1) {
        try {
            if (platform::PeerLink* kept = peers_.current(mailbox)) {
                std::array<std::array<std::span<const uint8_t>, 3>, BATCH_MESSAGES> pieces;
                std::array<std::span<const std::span<const uint8_t>>, BATCH_MESSAGES> records;
                for (size_t k = 0; k < count; ++k) {
                    const OutFrame& frame = run[k]->frame;
                    pieces[k] = {frame.head, frame.tail.bytes(), FRAME_END_MARKER};
                    records[k] = pieces[k];
                }
                uint32_t capacity = 0;
                if (append_records(kept->view(), kept->size(), std::span(records.data(), count), &capacity) ==
                    AppendResult::ok) {
                    awake_budget_.sent(run[count - 1]->frame.size());
                    wake_owner(*kept, peers_.signal_memory(mailbox), capacity);
                    return count;
                }
            }
        } catch (...) {
            // One by one, below.
        }
    }
    // One by one, as a sending thread writes them.
    for (size_t k = 0; k < count; ++k) {
        OutgoingMessage& message = *run[k];
        if (message.expects_reply && failed_count_ == failed_.size()) return k;
        Outcome outcome;
        try {
            if (write_kept(message.mailbox_name, message, outcome) != Attempt::done) return k;
        } catch (...) {
            return k;  // the io thread's steps try it again
        }
        if (message.expects_reply && outcome) failed_[failed_count_++] = {message.pid, message.seq, *outcome};
    }
    return count;
}

void Delivery::finish_failed() {
    const std::array<Failed, BATCH_MESSAGES> failed = failed_;
    const size_t count = failed_count_;
    failed_count_ = 0;
    for (size_t i = 0; i < count; ++i) undelivered_(failed[i].pid, failed[i].seq, failed[i].status);
}

std::optional<uint8_t> Delivery::send(OutgoingMessage message) {
    if (batching_here == this) {
        // Gathered or not (a large one goes the usual way), a call made
        // while the io thread reads has its answer coming soon.
        if (message.expects_reply) ++calls_made_;
        if (gather(message)) return std::nullopt;
    }
    {
        std::unique_lock lock(mutex_);
        if (busy_ || !queue_.empty()) {
            if (message.frame.tail.borrowed()) {
                // A large payload's copy would hold up every other sender.
                lock.unlock();
                own_payload(message);
                lock.lock();
            }
            stamp(message);
            queue_.push_back(std::move(message));
            if (!busy_ || parked_) {
                // Only after a failed post, while every queued message
                // waits for room (this one may go elsewhere), or once the
                // queue emptied while this one was copied: the chain starts
                // again here.
                try {
                    boost::asio::post(io_, [this] { deliver_next(); });
                } catch (...) {
                    if (busy_) return std::nullopt;  // the retry picks it up
                    // Nothing would deliver it: the caller hears of the
                    // failure instead, and the message does not go later.
                    queue_.pop_back();
                    throw;
                }
                busy_ = true;
                parked_ = false;
            }
            return std::nullopt;
        }
        busy_ = true;
    }
    Outcome outcome;
    const Attempt attempt = write_kept(message.mailbox_name, message, outcome);
    if (attempt != Attempt::done) {
        // Opening a peer's objects can wait on another process, and waiting
        // for room is the io thread's work, never a caller's. Nothing was
        // queued when this turn began, so whatever came since goes after it.
        try {
            stamp(message);
            own_payload(message);
            std::lock_guard lock(mutex_);
            queue_.push_front(std::move(message));
        } catch (...) {
            end_turn();
            throw;
        }
    }
    end_turn();
    return attempt == Attempt::done && message.expects_reply ? outcome : std::nullopt;
}

void Delivery::deliver_next() {
    std::optional<OutgoingMessage> message;
    size_t at = 0;
    {
        std::lock_guard lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        // The first message whose destination is not waiting for room. One
        // that waits for room past its deadline goes (a request's call has
        // timed out by then, and the caller of an answer has long stopped
        // waiting); a message that need not wait is written even late.
        while (at < queue_.size()) {
            const OutgoingMessage& m = queue_[at];
            const bool blocked = std::any_of(blocked_.begin(), blocked_.end(), [&](const auto& d) {
                return d.first == m.pid && d.second == m.node_name;
            });
            if (!blocked) break;
            if (m.deadline <= now) {
                queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(at));
                continue;
            }
            ++at;
        }
        if (at == queue_.size()) {
            if (queue_.empty()) {
                busy_ = false;
                blocked_.clear();
                return;
            }
            parked_ = true;
        } else {
            message.emplace(std::move(queue_[at]));
            queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(at));
        }
    }
    if (!message) {
        park();
        return;
    }
    Outcome outcome;
    Attempt attempt = Attempt::done;
    try {
        attempt = deliver(*message, outcome);
        if (attempt == Attempt::full) {
            blocked_.emplace_back(message->pid, message->node_name);
            std::lock_guard lock(mutex_);
            // Back where it was: nothing but this chain takes from the queue.
            queue_.insert(queue_.begin() + static_cast<std::ptrdiff_t>(at), std::move(*message));
        } else {
            backoff_ = FIRST_RETRY;
        }
    } catch (...) {
        // The book's mutex or an allocation failed: this message is lost,
        // the node is not.
        attempt = Attempt::done;
        outcome = STATUS_DELIVER_FAILED;
    }
    end_turn();
    if (attempt == Attempt::done) finish(*message, outcome);
}

void Delivery::park() {
    if (retry_armed_) return;
    retry_armed_ = true;
    retry_.expires_after(backoff_);
    backoff_ = std::min(backoff_ * 2, LAST_RETRY);
    retry_.async_wait([this](const boost::system::error_code& error) {
        retry_armed_ = false;
        if (error) return;
        blocked_.clear();
        {
            std::lock_guard lock(mutex_);
            if (!parked_) return;  // the chain runs and sees the cleared blocks
            parked_ = false;
        }
        deliver_next();
    });
}

Delivery::Attempt Delivery::deliver(OutgoingMessage& message, Outcome& outcome) {
    const UnkeptRelease release(peers_);
    // A kept, current link proves its owner still there: no need for the book.
    if (const Attempt a = write_kept(message.mailbox_name, message, outcome); a != Attempt::no_link) {
        return a;
    }
    // The destination may have left the book since the message was sent.
    const std::optional<std::string> mailbox = directory_.lookup(message.node_name, message.pid);
    if (!mailbox) {
        outcome = STATUS_EXEC_FAILED;
        return Attempt::done;
    }
    if (*mailbox != message.mailbox_name) {
        if (const Attempt a = write_kept(*mailbox, message, outcome); a != Attempt::no_link) {
            return a;
        }
    }
    platform::OpenFailure why = platform::OpenFailure::local;
    platform::PeerLink* link = peers_.get(*mailbox, message.pid, why);
    if (link == nullptr && why == platform::OpenFailure::local) {
        // Short of descriptors or memory here, or a lock held too long: that
        // says nothing about the peer, which stays in the book.
        outcome = STATUS_DELIVER_FAILED;
        return Attempt::done;
    }
    if (link == nullptr || (link->size() != 0 && link->size() < MAILBOX_HEADER_SIZE)) {
        // A mailbox vanishes with its owner's process: the peer is gone, and
        // so are all its slots.
        peers_.forget(*mailbox);
        directory_.purge(message.pid);
        outcome = STATUS_EXEC_FAILED;
        return Attempt::done;
    }
    // Kept from now on: watched on the io loop, so that later messages check
    // it without asking the system. The closing thread, after the io thread
    // has ended, has no loop to watch on.
    if (link->keepable() && !closing_) {
        watch_.watch(*link, message.pid, keeps_wake_area(link->view(), link->size()));
    }
    return write_to(*link, message, outcome, nullptr, &*mailbox);
}

Delivery::Attempt Delivery::write_kept(const std::string& mailbox, OutgoingMessage& message, Outcome& outcome) {
    platform::PeerLink* kept = peers_.current(mailbox);
    if (kept == nullptr) {
        return Attempt::no_link;
    }
    return write_to(*kept, message, outcome, &mailbox, &mailbox);
}

Delivery::Attempt Delivery::write_to(platform::PeerLink& link, OutgoingMessage& message, Outcome& outcome,
                                     const std::string* kept, const std::string* mailbox) {
    // One event per sleep of the owner, however many messages go to it.
    uint32_t* signalled = mailbox != nullptr ? peers_.signal_memory(*mailbox) : nullptr;
    uint32_t capacity = 0;
    const auto append = [&] {
        const std::span<const uint8_t> pieces[] = {message.frame.head, message.frame.tail.bytes(), FRAME_END_MARKER};
        return append_record(link.view(), link.size(), pieces, &capacity);
    };
    AppendResult appended = append();
    while (appended == AppendResult::too_large && shrink_to_failure_answer(message)) {
        appended = append();
    }
    switch (appended) {
        case AppendResult::ok:
            awake_budget_.sent(message.frame.size());
            // A thread of the owner waiting for this answer reads it itself;
            // an owner that is awake reads the record without being woken.
            wake_owner(link, signalled, capacity);
            // A request stays pending until its answer or its time limit.
            outcome = std::nullopt;
            return Attempt::done;
        case AppendResult::full:
            // Its owner is behind; make sure it knows there is work.
            wake_owner(link, signalled);
            return Attempt::full;
        case AppendResult::bad_header:
            if (kept != nullptr) {
                // Its owner closed it (which takes the magic away first) or
                // is renewing it. Nothing was written; opening it afresh
                // decides.
                peers_.forget(*kept);
                return Attempt::no_link;
            }
            break;
        case AppendResult::too_large:
            break;
    }
    outcome = STATUS_DELIVER_FAILED;
    return Attempt::done;
}

void Delivery::end_turn() {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) {
        busy_ = false;
        return;
    }
    try {
        boost::asio::post(io_, [this] { deliver_next(); });
    } catch (...) {
        // Without a step the messages wait for the next send, which starts
        // the chain again.
        busy_ = false;
    }
}

void Delivery::finish(const OutgoingMessage& message, Outcome outcome) {
    if (message.expects_reply && outcome) {
        undelivered_(message.pid, message.seq, *outcome);
    }
}

void Delivery::flush_answers() noexcept {
    closing_ = true;
    std::deque<OutgoingMessage> left;
    {
        std::lock_guard lock(mutex_);
        left.swap(queue_);
    }
    // Nobody else delivers now, so this thread holds the right to.
    for (OutgoingMessage& message : left) {
        if (message.expects_reply) continue;  // its call has ended with the close
        Outcome outcome;
        try {
            (void)deliver(message, outcome);
        } catch (...) {
        }
    }
}

void Delivery::close() noexcept {
    std::lock_guard lock(mutex_);
    queue_.clear();
    parked_ = false;
    peers_.clear();
    watch_.stop();
}

}  // namespace tarnvel
