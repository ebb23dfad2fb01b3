// The reading side of the node's own mailbox: the io thread, and a thread
// waiting for its call's answer, which may read the mailbox in its place.
#pragma once

#include "frame.hpp"
#include "ring.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace tarnvel {

// Drains what writers have committed, steps over damaged or abandoned
// records, and comes back by itself while a head stays unreadable, which no
// writer's signal would do (its timer is armed only then).
class MailboxReader {
public:
    using FrameHandler = std::function<void(ReceivedFrame&&)>;
    // A waiting thread's part of a frame: true when it has acted on it (and
    // may have moved parts out of it).
    using FrameTaker = std::function<bool(ReceivedFrame&)>;

    // The io thread's look at a record before it is read out: true when it
    // has acted on the frame where it lies (the drain then clears it and
    // moves on). What it throws leaves the record for a later drain, so it
    // must not throw once it has acted.
    using InPlaceTaker = std::function<bool(const RecordFrame&)>;

    // The mailbox (`view`, `size`) outlives the reader.
    MailboxReader(boost::asio::io_context& io, uint8_t* view, uint64_t size, FrameHandler on_frame,
                  InPlaceTaker in_place = {});

    // io thread: hands every frame a waiting thread left for it, then every
    // readable frame, to `on_frame`, in the order they were written, unless
    // `in_place` acted on it first; what that throws costs its frame only.
    // Never throws. Returns how many it took.
    size_t drain() noexcept;
    // What a waiting thread's drain came to.
    struct WaiterDrain {
        // The io thread has work from it: frames it was left, or a head that
        // could not be read yet (a drain of its own retries that).
        bool for_io_thread = false;
        // Nothing more can be taken for now: that head, or the io thread is
        // draining.
        bool stalled = false;
        // Nothing was read: the io thread is draining.
        bool io_thread_draining = false;
        // An answer too long to read here waits at the head for memory of
        // this size (see WaiterSpace); 0 otherwise.
        uint64_t wants_space = 0;
        // The space was read into.
        bool space_used = false;
    };
    // Memory a waiting thread offers for an answer longer than it reads into
    // a vector of its own: an answer with STATUS_OK whose result is exactly
    // as long is read into it. With none yet but `may_ask`, such an answer
    // is left at the head, not to the io thread, and the drain says how much
    // it wants: the thread comes back with it.
    struct WaiterSpace {
        std::span<uint8_t> bytes;
        bool may_ask = false;
    };
    // Any thread but the io thread: offers the readable frames to `take` up
    // to the first it refuses, and keeps that one and every one behind it for
    // the io thread's next drain, in order.
    // Unless `wait_for_io_thread`, takes nothing (stalled) while the io
    // thread drains, which may last as long as a method it runs. A frame
    // longer than `largest` bytes is not read here: it stays in the ring,
    // with every frame behind it, for the io thread (stalled).
    WaiterDrain drain_for(const FrameTaker& take, bool wait_for_io_thread, uint64_t largest,
                          WaiterSpace space) noexcept;
    // How many drains have begun, its retry timer's included: what a drain
    // has done once (refreshing links, say) is known by its number. io thread.
    uint64_t drains() const noexcept { return drains_; }

private:
    void schedule_retry(std::optional<DrainClock::time_point> due);

    uint8_t* view_;
    uint64_t size_;
    FrameHandler on_frame_;
    InPlaceTaker in_place_;
    // One reader at a time; guards state_ and left_.
    std::mutex mutex_;
    DrainState state_;
    std::vector<ReceivedFrame> left_;  // frames a waiting thread left for the io thread, in order
    boost::asio::steady_timer retry_timer_;
    std::optional<DrainClock::time_point> retry_due_;
    uint64_t drains_ = 0;
};

}  // namespace tarnvel
