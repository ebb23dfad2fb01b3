#include "inbox.hpp"

#include "cpu_pause.hpp"
#include "frame.hpp"
#include "reply.hpp"
#include "ring.hpp"
#include "wake_word.hpp"

#include <boost/asio/post.hpp>

#include <chrono>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>

namespace tarnvel {

// Where the replies of one inbox go: to it while it takes them, nowhere once
// close has shut it.
class Inbox::Gate {
public:
    Gate(Inbox& inbox, uint32_t pid) : inbox_(&inbox), pid_(pid) {}

    void send(const Caller& caller, uint8_t status, Payload&& result) noexcept {
        // A fork child may hold a copy of a reply: the answer is the parent's
        // to give, and the child must not touch the parent's locks.
        if (platform::current_process_id() != pid_) return;
        std::shared_lock lock(mutex_);
        if (inbox_ == nullptr) return;
        try {
            inbox_->reply(caller, status, std::move(result));
        } catch (...) {
            // No memory or a failed book mutex: the caller's time limit ends
            // its call.
        }
    }

    void shut() noexcept {
        std::unique_lock lock(mutex_);
        inbox_ = nullptr;
    }

private:
    std::shared_mutex mutex_;
    Inbox* inbox_;  // guarded by mutex_
    uint32_t pid_;
};

namespace {

class RequestReply final : public Reply::State {
public:
    RequestReply(std::shared_ptr<Inbox::Gate> gate, const Caller& caller) : gate_(std::move(gate)), caller_(caller) {}
    ~RequestReply() override { answer(STATUS_EXEC_FAILED, {}); }

private:
    void deliver(uint8_t status, Payload result) noexcept override { gate_->send(caller_, status, std::move(result)); }

    std::shared_ptr<Inbox::Gate> gate_;
    Caller caller_;
};

// How long the io thread stays awake after its last record, watching for the
// next: a peer in a conversation writes again within this, and finds it awake
// (no signal, no wake-up). Longer costs idle CPU; shorter, wake-ups. Large
// records add to it (AwakeBudget).
constexpr auto LINGER = std::chrono::microseconds(50);

// How many rounds of reading one turn of the io loop may take while records
// keep coming: more delays timers and posted work by up to that many rounds.
constexpr unsigned ROUNDS_PER_TURN = 16;

// The outcome an answer carries; its result moved out of the frame.
CallResult outcome_of(ReceivedFrame& frame) {
    return CallResult{frame.status, std::move(frame.payload), frame.unfit_answer_bytes,
                      !frame.payload_in_space.empty()};
}

template <class Handler, class Args>
void run_handler(const Handler& handler, Args args, const Reply& reply) noexcept {
    try {
        handler(std::move(args), reply);
    } catch (...) {
        reply.fail();
    }
}

}  // namespace

Inbox::Inbox(boost::asio::io_context& io, const std::atomic<bool>& stopping, uint32_t pid, MailboxNameHold name,
             uint64_t bytes, Links links)
    : io_(io), stopping_(stopping), pid_(pid), bytes_(bytes), links_(links), name_(std::move(name)) {
    mailbox_.emplace(platform::SharedMapping::create(name_.name(), mailbox_mapping_size(bytes), "mailbox"));
    init_mailbox(mailbox_->view(), bytes_);
    init_wake_word(mailbox_->view(), bytes_);
    try {
        reader_.emplace(
            io, mailbox_->view(), bytes_, [this](ReceivedFrame&& frame) { dispatch(std::move(frame)); },
            [this](const RecordFrame& record) { return answer_in_place(record) || serve_in_place(record); });
        event_ = std::make_unique<platform::MailboxEvent>(io, name_.name());
        gate_ = std::make_shared<Gate>(*this, pid);
        if (platform::shared_word_waits()) {
            waits_ = std::make_shared<AnswerWaits>(
                waiter_word(mailbox_->view(), bytes_),
                [this](WhileIoDrains busy, uint64_t largest, std::span<uint8_t> space, bool may_ask) {
                    return take_for_waiter(busy, largest, space, may_ask);
                },
                [this] { return head_ready(mailbox_->view(), bytes_); },
                [this] { return reserved_beyond_head(mailbox_->view(), bytes_); }, links_.outbox.awake_budget(),
                pid);
        }
    } catch (...) {
        // Its name goes with the mapping: as at any removal, the magic first.
        retire_mailbox(mailbox_->view(), bytes_);
        throw;
    }
}

Inbox::~Inbox() {
    close_replies();
    if (mailbox_) retire_mailbox(mailbox_->view(), bytes_);
}

void Inbox::close_replies() noexcept {
    if (gate_) gate_->shut();
}

void Inbox::start() { wake(); }

void Inbox::stop() noexcept {
    if (event_) event_->cancel();
}

void Inbox::abandon() noexcept {
    // The event's io object must never be destroyed in a fork child: it would
    // reach into the parent's io machinery.
    if (event_) {
        event_->abandon();
        (void)event_.release();
    }
    if (mailbox_) mailbox_->abandon();
    mailbox_.reset();
}

void Inbox::wake() {
    // Awake from here on: writers need not set the event while the records
    // are read and for a little while after.
    say_owner_awake(mailbox_->view(), bytes_, wakes_);
    for (unsigned round = 1;; ++round) {
        const uint64_t served = served_;
        take_records();
        // Only a node that has just answered requests, or whose completions
        // have just sent calls, stays awake for what comes next (their
        // answers come within microseconds): one that only took answers
        // hands them to waiting threads, which need the processor more than
        // a watch on an empty ring does.
        if ((served_ == served && !sent_calls_) || !linger()) break;
        // More came. A few rounds per turn of the io loop: between turns it
        // runs whatever else waits (timers, posted work), and looks at its
        // descriptors, which costs a system call each time.
        if (round == ROUNDS_PER_TURN) {
            try {
                boost::asio::post(io_, [this] { wake(); });
                return;
            } catch (...) {
                break;  // no memory to post: wait for the event instead, as below
            }
        }
    }
    // Asleep, then one more look: a record committed before this is taken
    // now, and the writer of any later one sees the word and sets the event.
    // A completed wait has reset the event before it calls back, so a set
    // that comes after this wakes it.
    if (waits_) waits_->clear_if_unused();
    say_owner_asleep(mailbox_->view(), bytes_, wakes_);
    take_records();
    event_->async_wait([this] { wake(); });
}

size_t Inbox::take_records() noexcept {
    const bool batch = links_.outbox.begin_batch();
    const size_t taken = reader_->drain();
    if (batch) sent_calls_ = links_.outbox.end_batch() > 0;
    return taken;
}

bool Inbox::linger() const noexcept {
    const auto start = std::chrono::steady_clock::now();
    const auto until = start + links_.outbox.awake_budget().beyond(LINGER);
    for (unsigned i = 1;; ++i) {
        if (head_ready(mailbox_->view(), bytes_)) return true;
        if (stopping_.load(std::memory_order_relaxed)) return false;
        cpu_pause();
        if (i % 64 != 0) continue;
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return false;
        // The peer may need this very core for what it is writing: past the
        // usual while, the watch gives way to any thread that can run.
        if (now >= start + LINGER) std::this_thread::yield();
    }
}

void Inbox::dispatch(ReceivedFrame&& frame) {
    links_.outbox.frame_taken();
    links_.outbox.awake_budget().taken(frame.payload.size() + frame.payload_in_space.size());
    // A handler may have closed the node; what the drain still takes from
    // the ring is dropped.
    if (stopping_) return;
    if (frame.kind == FRAME_KIND_RESPONSE) {
        links_.calls.answer(frame.pid, frame.seq, outcome_of(frame));
        return;
    }
    if (frame.kind == FRAME_KIND_REQUEST) serve(Caller{frame.pid, frame.seq}, std::move(frame));
}

bool Inbox::answer_here(ReceivedFrame& frame) {
    if (stopping_) return true;  // dropped, as the io thread would
    // Requests run where the node runs its methods.
    if (frame.kind != FRAME_KIND_RESPONSE) return frame.kind != FRAME_KIND_REQUEST;
    links_.outbox.awake_budget().taken(frame.payload.size() + frame.payload_in_space.size());
    CallResult result = outcome_of(frame);
    if (links_.calls.answer_anywhere(frame.pid, frame.seq, result)) return true;
    // The io thread's after all (a result in the waiting thread's memory is
    // copied for it as the frame is left).
    frame.payload = std::move(result.result);
    return false;
}

WaiterTake Inbox::take_for_waiter(WhileIoDrains busy, uint64_t largest, std::span<uint8_t> space,
                                  bool may_ask) noexcept {
    // While the io thread has yet to act on frames left for it, nothing more
    // is read here: what is left stays bounded by what one drain finds, and
    // the io thread's drain, which comes soon, takes the rest. (Should the
    // post have failed, this thread goes on reading.)
    if (handover_posted_.load()) return WaiterTake{true};
    const MailboxReader::WaiterDrain drained =
        reader_->drain_for([this](ReceivedFrame& frame) { return answer_here(frame); },
                           busy == WhileIoDrains::wait, largest, MailboxReader::WaiterSpace{space, may_ask});
    const bool look_again = drained.io_thread_draining && busy == WhileIoDrains::hand_over;
    // One drain posted at a time, however often the waiting thread comes.
    if ((drained.for_io_thread || look_again) && !handover_posted_.exchange(true)) {
        try {
            boost::asio::post(io_, [this] {
                handover_posted_ = false;
                take_records();
            });
        } catch (...) {
            // No memory to post: what was left waits for the io thread's next drain.
            handover_posted_ = false;
        }
    }
    return WaiterTake{drained.stalled, drained.wants_space, drained.space_used};
}

bool Inbox::ready_to_serve() noexcept {
    // The completions the pause finished may have closed the node.
    if (stopping_) return false;
    if (links_fresh_in_ != reader_->drains()) {
        // Its sender may have removed its objects just before it wrote: that
        // is seen before the request is acted on, and so before anything
        // goes back (a system call only while a link to a peer that does not
        // mark its removal is kept). Once per drain (its retry timer's too),
        // at its first request: a batch of answers alone sends nothing back.
        links_.outbox.refresh_links();
        links_fresh_in_ = reader_->drains();
    }
    return true;
}

bool Inbox::answer_in_place(const RecordFrame& record) {
    // Most nodes make no such calls: their answers are read once, as usual.
    if (!links_.calls.any_in_place()) return false;
    const std::optional<ResponseInRing> answer = response_in_ring(record);
    if (!answer) return false;
    if (stopping_) return true;  // dropped, as dispatch drops it
    const CallResultView outcome{answer->status, BytesView(answer->result), answer->unfit_answer_bytes};
    if (!links_.calls.answer_in_place(answer->pid, answer->seq, outcome)) return false;
    links_.outbox.frame_taken();
    links_.outbox.awake_budget().taken(answer->result.size());
    return true;
}

bool Inbox::serve_in_place(const RecordFrame& record) {
    const bool with_workers = links_.workers.size() > 0;
    if (!links_.registry.has_in_place(with_workers)) return false;
    const std::optional<RequestInRing> request = request_in_ring(record);
    if (!request) return false;
    const std::optional<MethodRegistry::FoundInPlace> method = links_.registry.find_in_place(request->method);
    if (!method || (!method->on_io_thread && with_workers)) return false;
    // Acted on from here: nothing below throws.
    links_.outbox.frame_taken();
    links_.outbox.awake_budget().taken(request->args.size());
    if (stopping_) return true;
    ++served_;
    const Delivery::BatchPause pause(links_.outbox);
    if (!ready_to_serve()) return true;
    const Caller caller{request->pid, request->seq};
    std::optional<Reply> answer;
    try {
        answer.emplace(std::make_shared<RequestReply>(gate_, caller));
    } catch (...) {
        return true;  // no memory: the caller's time limit ends its call
    }
    run_handler(method->handler, BytesView(request->args), *answer);
    return true;
}

void Inbox::serve(const Caller& caller, ReceivedFrame&& request) {
    ++served_;
    const Delivery::BatchPause pause(links_.outbox);
    if (!ready_to_serve()) return;
    if (!request.body_ok) {
        reply(caller, STATUS_EXEC_FAILED, {});
        return;
    }
    std::optional<MethodRegistry::Found> method =
        links_.registry.find_handler(std::move(request.method), [&] { reply(caller, STATUS_EXEC_FAILED, {}); });
    if (!method) return;
    Reply answer(std::make_shared<RequestReply>(gate_, caller));
    Bytes args = std::move(request.payload);
    if (!method->on_io_thread && links_.workers.size() > 0) {
        Workers::Job job = [handler = std::move(method->handler), args = std::move(args), answer]() mutable {
            run_handler(handler, std::move(args), answer);
        };
        // When no worker could start, it runs here, as on a node without them.
        if (!links_.workers.post(job)) job();
        return;
    }
    run_handler(method->handler, std::move(args), answer);
}

void Inbox::reply(const Caller& caller, uint8_t status, Payload result) {
    // Addressed by pid alone: to the node of the first slot that carries it.
    std::optional<BookEntry> to = links_.directory.entry_of(caller.pid);
    // Nobody to address: the caller's call ends by its time-out.
    if (!to || to->node_name.empty()) return;
    OutFrame frame = response_frame(caller.seq, pid_, status, std::move(result));
    links_.outbox.send(OutgoingMessage{std::move(to->node_name), caller.pid, std::move(to->mailbox_name),
                                       std::move(frame), false, caller.seq});
}

}  // namespace tarnvel
