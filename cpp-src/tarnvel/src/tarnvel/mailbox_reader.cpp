#include "mailbox_reader.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

namespace tarnvel {

namespace {

constexpr auto RETRY_AFTER_FAILURE = std::chrono::milliseconds(100);

}  // namespace

MailboxReader::MailboxReader(boost::asio::io_context& io, uint8_t* view, uint64_t size, FrameHandler on_frame,
                             InPlaceTaker in_place)
    : view_(view), size_(size), on_frame_(std::move(on_frame)), in_place_(std::move(in_place)), retry_timer_(io) {}

size_t MailboxReader::drain() noexcept {
    std::lock_guard lock(mutex_);
    ++drains_;
    size_t taken = 0;
    const auto act = [this, &taken](ReceivedFrame&& frame) {
        ++taken;
        // A failure while acting on one frame (a damaged book mutex, no
        // memory for the answer) costs that frame only.
        try {
            on_frame_(std::move(frame));
        } catch (...) {
        }
    };
    // Written before anything still in the ring.
    for (ReceivedFrame& frame : left_) act(std::move(frame));
    left_.clear();
    // Frames whose markers or length are wrong are dropped here.
    std::optional<ReceivedFrame> current;
    try {
        schedule_retry(drain_records(
            view_, size_, state_,
            [&](const RecordFrame& record) {
                if (in_place_ && in_place_(record)) {
                    ++taken;
                    record.act_is_quick();  // nothing left to do
                    return;
                }
                current = receive_frame(record);
                // An answer's completion is quick; a method may not be.
                if (current && current->kind == FRAME_KIND_RESPONSE) record.act_is_quick();
            },
            [&] {
                if (current) act(std::move(*current));
                current.reset();
            }));
    } catch (...) {
        // No memory for the frame at the head: it stays there (unless part of
        // it was taken already: then it was passed over), and no writer will
        // signal for it again.
        try {
            schedule_retry(DrainClock::now() + RETRY_AFTER_FAILURE);
        } catch (...) {
        }
    }
    return taken;
}

namespace {

// Thrown out of a copy, before anything is read, to leave a frame in the ring.
struct LeftInRing {};

}  // namespace

MailboxReader::WaiterDrain MailboxReader::drain_for(const FrameTaker& take, bool wait_for_io_thread, uint64_t largest,
                                                    WaiterSpace space) noexcept {
    std::unique_lock lock(mutex_, std::defer_lock);
    if (wait_for_io_thread) {
        lock.lock();
    } else if (!lock.try_lock()) {
        return WaiterDrain{false, true, true};
    }
    bool retry = false;
    bool left_in_ring = false;
    uint64_t wants_space = 0;
    bool space_used = false;
    std::optional<ReceivedFrame> current;
    try {
        retry = drain_records(
                    view_, size_, state_,
                    [&](const RecordFrame& record) {
                        std::span<uint8_t> into;
                        if (record.size() > largest) {
                            const std::optional<size_t> result = answer_result_size(record);
                            // Not behind frames left for the io thread: this
                            // one would be left too.
                            if (result && !space_used && *result == space.bytes.size() && left_.empty()) {
                                into = space.bytes;
                            } else {
                                // Not for a frame the io thread is to take anyway.
                                if (result && space.may_ask && space.bytes.empty() && left_.empty()) {
                                    wants_space = *result;
                                }
                                throw LeftInRing{};
                            }
                        }
                        // Room to leave the frame, made while a failure still
                        // leaves it in the ring: once it is read out, leaving
                        // it must not fail.
                        if (left_.size() == left_.capacity()) left_.reserve(std::max<size_t>(8, 2 * left_.size()));
                        current = receive_frame(record, into);
                        // Once read into, the space is the frame's, whatever
                        // the frame came to.
                        space_used = space_used || !into.empty();
                        // This thread only finishes calls that may run
                        // anywhere, and leaves the rest to the io thread.
                        record.act_is_quick();
                    },
                    [&] {
                        if (!current) return;
                        bool taken = false;
                        try {
                            // Behind a frame left for the io thread, every
                            // frame is left too: it acts on them in the
                            // order they were written (a request before the
                            // answer its sender wrote after it).
                            if (left_.empty()) taken = take(*current);
                        } catch (...) {
                            // Whatever the waiting thread could not act on is
                            // the io thread's to try.
                        }
                        if (!taken && !current->payload_in_space.empty()) {
                            // The space is this thread's until it stops
                            // waiting: what the io thread gets is its own.
                            try {
                                current->payload.assign(current->payload_in_space.begin(),
                                                        current->payload_in_space.end());
                                current->payload_in_space = {};
                            } catch (...) {
                                taken = true;  // no memory: dropped, and the call ends by its time limit
                            }
                        }
                        if (!taken) left_.push_back(std::move(*current));
                        current.reset();
                    })
                    .has_value();
    } catch (const LeftInRing&) {
        left_in_ring = true;
    } catch (...) {
        retry = true;  // no memory: the io thread's drain tries again, and retries
    }
    // An answer left for want of space is this thread's to come back for.
    const bool for_io = retry || (left_in_ring && wants_space == 0) || !left_.empty();
    return WaiterDrain{for_io, retry || (left_in_ring && wants_space == 0), false, wants_space, space_used};
}

void MailboxReader::schedule_retry(std::optional<DrainClock::time_point> due) {
    if (due == retry_due_) return;
    if (!due) {
        retry_due_.reset();
        retry_timer_.cancel();
        return;
    }
    retry_timer_.expires_at(*due);
    retry_timer_.async_wait([this](const boost::system::error_code& error) {
        if (error) return;
        retry_due_.reset();
        drain();
    });
    retry_due_ = due;
}

}  // namespace tarnvel
