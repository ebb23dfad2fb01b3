// Delivery: every frame a node sends, a request or an answer, is written into
// its destination's mailbox, in the order the node sent them.
#pragma once

#include "directory.hpp"
#include "frame.hpp"
#include "peer_cache.hpp"
#include "ring.hpp"
#include "tarnvel/tarnvel.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnvel {

struct OutgoingMessage {
    std::string node_name;
    uint32_t pid = 0;
    // Where the sender found the destination in the book a moment ago.
    std::string mailbox_name;
    OutFrame frame;
    // True for the request of a call: a failed delivery finishes that call.
    bool expects_reply = false;
    uint16_t seq = 0;
    // How long it may wait for room in a full mailbox: a request until its
    // call's time limit, an answer (left at max) for the node's own bound.
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

class Delivery {
public:
    // Told of a request the io thread could not deliver: the status that
    // ends its call.
    using Undelivered = std::function<void(uint32_t pid, uint16_t seq, uint8_t status)>;

    // How long an answer may wait for room in its caller's mailbox; the
    // caller has given up on it by then in all but the longest calls.
    static constexpr std::chrono::seconds ANSWER_WAIT{30};
    // How often a message that waits for room tries again: from the first
    // to the last, doubling while nothing moves.
    static constexpr std::chrono::microseconds FIRST_RETRY{100};
    static constexpr std::chrono::microseconds LAST_RETRY{5000};

    // `owner_gone` hears, on the io thread, of the end of a process this
    // node keeps a link to.
    Delivery(Directory& directory, boost::asio::io_context& io, Undelivered undelivered,
             platform::LinkWatch::OwnerGone owner_gone)
        : directory_(directory),
          io_(io),
          undelivered_(std::move(undelivered)),
          watch_(io, std::move(owner_gone)),
          retry_(io) {}

    // Writes the message from the calling thread when nothing is queued ahead
    // of it and its destination's link is kept and current; otherwise queues
    // it for the io thread, which looks the destination up again and opens
    // it. A message that finds its destination's mailbox full waits in the
    // queue until there is room or its deadline has passed; only one that
    // could never fit fails at once (an answer is then replaced by a short
    // failure answer). Messages to one destination leave in the order they
    // were sent. A request that fails on the calling thread is not finished
    // here: its status is returned, for the caller to finish the call once
    // it holds no lock. A payload the message borrows is copied only when
    // the message is queued.
    std::optional<uint8_t> send(OutgoingMessage message);

    // io thread: takes in what the system has noted about the kept links
    // (their owners' ends, removed objects). Run after reading messages and
    // before acting on them: whatever their senders removed first is seen.
    void refresh_links() noexcept { watch_.refresh(); }

    // For close, once the io thread and every handler have ended: the answers
    // still queued go out, one try each, without waiting for room (they were
    // handed over before the close, and their callers wait for them).
    void flush_answers() noexcept;
    // Drops every kept link; for close, once no thread sends any more.
    void close() noexcept;

private:
    // What became of one message: nothing to report, or the status that
    // ends its call.
    using Outcome = std::optional<uint8_t>;
    // What one try at a message came to: done (with its outcome), no usable
    // kept link (opening afresh decides), or a full mailbox (wait).
    enum class Attempt { done, no_link, full };

    void deliver_next();  // io thread, one message per step
    // io thread: nothing can move until a retry; arms one if none is armed.
    void park();
    // Writes through the kept, current link to `mailbox`, if there is one.
    // A link whose header went bad is dropped.
    Attempt write_kept(const std::string& mailbox, OutgoingMessage& message, Outcome& outcome);
    // Appends to the link and signals its owner. A bad header drops a kept
    // link (named by `kept`) and fails the delivery through a fresh one.
    // `mailbox` names the link when it is kept.
    Attempt write_to(platform::PeerLink& link, OutgoingMessage& message, Outcome& outcome,
                     const std::string* kept = nullptr, const std::string* mailbox = nullptr);
    Attempt deliver(OutgoingMessage& message, Outcome& outcome);
    // Stamps an answer's deadline as it starts to wait.
    static void stamp(OutgoingMessage& message);
    // Makes a message that is about to wait own its payload; an answer that
    // cannot becomes the short failure answer. Throws for a request.
    static void own_payload(OutgoingMessage& message);
    // Hands the right to deliver on: to the io thread while messages wait.
    void end_turn();
    void finish(const OutgoingMessage& message, Outcome outcome);

    Directory& directory_;
    boost::asio::io_context& io_;
    Undelivered undelivered_;

    std::mutex mutex_;
    std::deque<OutgoingMessage> queue_;  // guarded by mutex_
    // The right to deliver: held by one thread at a time, from taking a
    // message to ending its turn, and always while messages wait (the io
    // thread's chain of steps holds it then). Its holder alone uses peers_.
    bool busy_ = false;  // guarded by mutex_
    // Set while the holder of the right to deliver waits for a retry with
    // every queued message blocked; a new message ends the wait.
    bool parked_ = false;  // guarded by mutex_
    PeerCache peers_;
    // io thread: watches the links in peers_, so that checking one costs no
    // system call.
    platform::LinkWatch watch_;

    // io thread only: destinations found full since the last retry (their
    // later messages wait behind the first), the retry timer and its step.
    std::vector<std::pair<uint32_t, std::string>> blocked_;
    boost::asio::steady_timer retry_;
    bool retry_armed_ = false;
    // Set by flush_answers: the io thread has ended.
    bool closing_ = false;
    std::chrono::microseconds backoff_ = FIRST_RETRY;
};

}  // namespace tarnvel
