// The inbox: the node's own mailbox and its event, read on the io thread.
// Each frame is acted on here: an answer finishes a pending call, a request
// runs its method and is answered.
#pragma once

#include "answer_waits.hpp"
#include "delivery.hpp"
#include "directory.hpp"
#include "held_names.hpp"
#include "mailbox_reader.hpp"
#include "pending_calls.hpp"
#include "platform/platform.hpp"
#include "registry.hpp"
#include "tarnvel/tarnvel.hpp"
#include "workers.hpp"

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace tarnvel {

// Where a request came from: its answer goes back under the same key.
struct Caller {
    uint32_t pid = 0;
    uint16_t seq = 0;
};

class Inbox {
public:
    // The parts the inbox hands its work to; all outlive it.
    struct Links {
        MethodRegistry& registry;  // runs requests
        PendingCalls& calls;       // takes answers
        Directory& directory;      // addresses replies
        Delivery& outbox;          // carries replies
        Workers& workers;          // runs handlers, when the node has any
    };

    // Makes the mailbox under the held name and its event. `pid` is the
    // node's own, the sender of its replies; once `stopping` is set, frames
    // still drained are dropped.
    Inbox(boost::asio::io_context& io, const std::atomic<bool>& stopping, uint32_t pid, MailboxNameHold name,
          uint64_t bytes, Links links);
    // Retires the mailbox, so that writers see it gone, and releases it.
    ~Inbox();
    Inbox(const Inbox&) = delete;
    Inbox& operator=(const Inbox&) = delete;

    // io thread: drains what is there and waits for more.
    void start();
    // io thread: acts on what is in the mailbox now.
    void drain() noexcept { take_records(); }
    // Where a thread waiting for a future reads its answer in the io
    // thread's place; none where the platform cannot offer it.
    const std::shared_ptr<AnswerWaits>& answer_waits() const noexcept { return waits_; }
    // Once the io thread has ended: ends the wait.
    void stop() noexcept;
    // In a fork child: drops the handles without releasing what they name.
    void abandon() noexcept;
    // From now on answers are dropped, whoever gives them; waits for the ones
    // being sent. For close, before the parts replies use are released.
    void close_replies() noexcept;

    // Sends the answer to `caller`'s request: the result only with STATUS_OK.
    // io thread, or any thread through a Reply.
    void reply(const Caller& caller, uint8_t status, Payload result);

    class Gate;

private:
    // io thread: the owner's round, from a wake-up to its next sleep.
    void wake();
    // Drains what writers have committed: how many frames it took.
    size_t take_records() noexcept;
    // Waits a little, awake, for another record; true once one is there.
    bool linger() const noexcept;
    void dispatch(ReceivedFrame&& frame);
    // A waiting thread's part of a frame: true once acted on (or dropped).
    bool answer_here(ReceivedFrame& frame);
    // A thread reading answers in the io thread's place (one waiting for an
    // answer, or take_answers()): finishes the calls whose answers are in the
    // mailbox now and whose completions may run anywhere, and leaves the rest
    // to the io thread. Frames longer than `largest` are left to the io
    // thread, except an answer the thread has `space` for, or may ask for
    // (see AnswerWaits).
    WaiterTake take_for_waiter(WhileIoDrains busy, uint64_t largest, std::span<uint8_t> space, bool may_ask) noexcept;
    void serve(const Caller& caller, ReceivedFrame&& request);
    // The drain's look at a record: runs an in-place method's request where
    // it lies; false leaves the record to be read out as usual.
    bool serve_in_place(const RecordFrame& record);
    // The same for an answer whose call's completion reads it in place.
    bool answer_in_place(const RecordFrame& record);
    // Before a request is acted on: false once the node is stopping.
    bool ready_to_serve() noexcept;

    boost::asio::io_context& io_;
    const std::atomic<bool>& stopping_;
    uint32_t pid_;
    uint64_t bytes_;       // the mailbox's header and ring, without its wake word
    uint64_t served_ = 0;  // io thread: requests taken so far
    // io thread: whether the completions of the last drain sent calls.
    bool sent_calls_ = false;
    uint32_t wakes_ = 0;   // io thread: wake-ups counted in the wake word
    // io thread: the number of the drain that last refreshed the kept links.
    uint64_t links_fresh_in_ = 0;
    Links links_;
    MailboxNameHold name_;
    std::optional<platform::SharedMapping> mailbox_;
    std::unique_ptr<platform::MailboxEvent> event_;
    std::optional<MailboxReader> reader_;
    // Shared with every Reply made here, which may outlive the inbox.
    std::shared_ptr<Gate> gate_;
    std::shared_ptr<AnswerWaits> waits_;
    // Set while a drain for what a waiting thread left is posted.
    std::atomic<bool> handover_posted_{false};
};

}  // namespace tarnvel
