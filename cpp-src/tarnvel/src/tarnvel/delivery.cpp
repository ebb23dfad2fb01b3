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

#include "ring.hpp"

#include <boost/asio/post.hpp>

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

}  // namespace

std::optional<uint8_t> Delivery::send(OutgoingMessage message) {
    {
        std::lock_guard lock(mutex_);
        if (busy_ || !queue_.empty()) {
            queue_.push_back(std::move(message));
            if (!busy_) {
                busy_ = true;
                // Only after a failed post: the chain starts again here.
                try {
                    boost::asio::post(io_, [this] { deliver_next(); });
                } catch (...) {
                    busy_ = false;
                    throw;
                }
            }
            return std::nullopt;
        }
        busy_ = true;
    }
    Outcome outcome;
    const bool written = write_kept(message.mailbox_name, message, outcome);
    if (!written) {
        // Opening a peer's objects can wait on another process: that is the
        // io thread's work, never a caller's.
        try {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(message));
        } catch (...) {
            end_turn();
            throw;
        }
    }
    end_turn();
    return written && message.expects_reply ? outcome : std::nullopt;
}

void Delivery::deliver_next() {
    std::optional<OutgoingMessage> message;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) {
            busy_ = false;
            return;
        }
        message.emplace(std::move(queue_.front()));
        queue_.pop_front();
    }
    Outcome outcome;
    try {
        outcome = deliver(*message);
    } catch (...) {
        // The book's mutex or an allocation failed: this message is lost,
        // the node is not.
        outcome = STATUS_DELIVER_FAILED;
    }
    end_turn();
    finish(*message, outcome);
}

Delivery::Outcome Delivery::deliver(const OutgoingMessage& message) {
    // The destination may have left the book since the message was sent.
    const std::optional<std::string> mailbox = directory_.lookup(message.node_name, message.pid);
    if (!mailbox) {
        return STATUS_EXEC_FAILED;
    }
    const UnkeptRelease release(peers_);
    if (Outcome outcome; write_kept(*mailbox, message, outcome)) {
        return outcome;
    }
    platform::OpenFailure why = platform::OpenFailure::local;
    platform::PeerLink* link = peers_.get(*mailbox, message.pid, why);
    if (link == nullptr && why == platform::OpenFailure::local) {
        // Short of descriptors or memory here, or a lock held too long: that
        // says nothing about the peer, which stays in the book.
        return STATUS_DELIVER_FAILED;
    }
    if (link == nullptr || (link->size() != 0 && link->size() < MAILBOX_HEADER_SIZE)) {
        // A mailbox vanishes with its owner's process: the peer is gone, and
        // so are all its slots.
        peers_.forget(*mailbox);
        directory_.purge(message.pid);
        return STATUS_EXEC_FAILED;
    }
    return finish_write(*link, append_record(link->view(), link->size(), message.frame));
}

bool Delivery::write_kept(const std::string& mailbox, const OutgoingMessage& message, Outcome& outcome) {
    platform::PeerLink* kept = peers_.current(mailbox);
    if (kept == nullptr) {
        return false;
    }
    const AppendResult appended = append_record(kept->view(), kept->size(), message.frame);
    if (appended == AppendResult::bad_header) {
        // Its owner closed it (which takes the magic away first) or is
        // renewing it. Nothing was written; opening it afresh decides.
        peers_.forget(mailbox);
        return false;
    }
    outcome = finish_write(*kept, appended);
    return true;
}

Delivery::Outcome Delivery::finish_write(platform::PeerLink& link, AppendResult appended) {
    if (appended != AppendResult::ok) {
        return STATUS_DELIVER_FAILED;
    }
    link.signal();
    // A request stays pending until its answer or its time limit.
    return std::nullopt;
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

void Delivery::close() noexcept {
    std::lock_guard lock(mutex_);
    queue_.clear();
    peers_.clear();
}

}  // namespace tarnvel
