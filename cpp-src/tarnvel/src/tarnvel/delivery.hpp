// Delivery: every frame a node sends, a request or an answer, is written into
// its destination's mailbox, in the order the node sent them.
#pragma once

#include "awake_budget.hpp"
#include "directory.hpp"
#include "frame.hpp"
#include "peer_cache.hpp"
#include "ring.hpp"
#include "tarnvel/tarnvel.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
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
          retry_(io) {
        spare_payloads_.reserve(BATCH_MESSAGES);
    }

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

    // io thread, around one drain of its mailbox: the small calls that
    // completions make meanwhile are gathered in the queue and written a few
    // at a time, each run of them to one mailbox in one reservation of its
    // ring, so that the ring header's cache line changes hands once per run
    // rather than once per call. While the batch holds the right to deliver,
    // what other threads send queues behind it and leaves with it. A gathered
    // call that cannot be written at once (a peer to open, a full mailbox)
    // goes to the io thread's usual steps with everything behind it. Calls
    // whose delivery fails are finished when the batch ends or pauses, never
    // inside another call. False when a batch already runs on this thread.
    bool begin_batch() noexcept;
    // Writes what is gathered and ends the batch: how many calls were sent
    // on this thread meanwhile, gathered or not.
    size_t end_batch() noexcept;
    // io thread, as the drain takes each frame: the batch holds the right to
    // deliver for a few frames at most, so that a long drain holds nothing up
    // for long. (Completions are quick by contract; a slow one holds up what
    // the batch holds.)
    void frame_taken() noexcept;
    // Any thread, before it may wait: a batch this thread runs writes what
    // it gathered and gives up the right to deliver, which others would
    // otherwise wait for.
    void hold_off() noexcept;
    // io thread, for as long as a method runs: what was gathered goes first,
    // and nothing is gathered meanwhile (a slow method must not hold up calls
    // that are ready, nor the right to deliver).
    class BatchPause {
    public:
        explicit BatchPause(Delivery& delivery) noexcept;
        ~BatchPause();
        BatchPause(const BatchPause&) = delete;
        BatchPause& operator=(const BatchPause&) = delete;

    private:
        Delivery* paused_;
    };
    // Gathered at most this many at a time: more held the peer idle with 16
    // calls outstanding. Larger calls go the usual way: the limit is on the
    // frame, room for a 4 KiB argument with its head and a method's name.
    static constexpr size_t BATCH_MESSAGES = 8;
    static constexpr size_t BATCH_MAX_BYTES = 4096 + 256;

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

    // Told the size of every record written; the inbox tells it of those
    // taken, and its readers stay awake by it.
    AwakeBudget& awake_budget() noexcept { return awake_budget_; }

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
    static void own_payload(OutgoingMessage& message, Bytes spare = {});
    // Hands the right to deliver on: to the io thread while messages wait.
    void end_turn();
    void finish(const OutgoingMessage& message, Outcome outcome);
    // Gathers a request sent from inside a batch; false (nothing done) when
    // it must go the usual way.
    bool gather(OutgoingMessage& message);
    // Writes what waits in the queue while the batch holds the right to
    // deliver, and hands that right on: to nobody once the queue is empty,
    // else to the io thread's steps.
    void flush_batch() noexcept;
    // Writes `count` messages from the head of the queue, all to one mailbox:
    // how many of them are done. It stops at the first that cannot go now.
    size_t write_run(OutgoingMessage* const* run, size_t count) noexcept;
    // Ends the calls whose delivery failed in a batch.
    void finish_failed();
    // This thread gathers no more: what it gathered is written, and the
    // calls that failed are ended.
    void stop_gathering() noexcept;

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
    AwakeBudget awake_budget_;
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

    // io thread only. Set while a batch holds the right to deliver: no step
    // of the io thread's is posted then, and only the batch takes from the
    // queue.
    bool batch_holds_ = false;
    size_t calls_made_ = 0;   // calls sent on this thread since the batch began
    size_t frames_held_ = 0;  // frames taken since the batch took the right
    // Calls whose delivery failed in a batch, to be finished when it ends;
    // with no room left, nothing more is gathered.
    struct Failed {
        uint32_t pid;
        uint16_t seq;
        uint8_t status;
    };
    std::array<Failed, BATCH_MESSAGES> failed_{};
    size_t failed_count_ = 0;
    // The memory of gathered payloads once written, for the next ones to be
    // copied into: an allocation of several KiB per call showed in the
    // profile (smaller ones are cheap). At most a batch's worth, each at
    // most a gathered frame.
    static constexpr size_t SPARE_PAYLOAD_MIN = 1024;
    std::vector<Bytes> spare_payloads_;
};

}  // namespace tarnvel
