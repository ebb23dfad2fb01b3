// The reading side of the node's own mailbox, on the io thread.
#pragma once

#include "ring.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace tarnvel {

// Drains what writers have committed, steps over damaged or abandoned
// records, and comes back by itself while a head stays unreadable, which no
// writer's signal would do (its timer is armed only then).
class MailboxReader {
public:
    using FrameHandler = std::function<void(const Bytes&)>;

    // The mailbox (`view`, `size`) outlives the reader.
    MailboxReader(boost::asio::io_context& io, uint8_t* view, uint64_t size, FrameHandler on_frame);

    // Hands every readable frame to `on_frame`; what that throws costs its
    // frame only. io thread; never throws. Returns how many it took.
    size_t drain() noexcept;
    // How many drains have begun, its retry timer's included: what a drain
    // has done once (refreshing links, say) is known by its number.
    uint64_t drains() const noexcept { return drains_; }

private:
    void schedule_retry(std::optional<DrainClock::time_point> due);

    uint8_t* view_;
    uint64_t size_;
    FrameHandler on_frame_;
    Bytes buffer_;
    DrainState state_;
    boost::asio::steady_timer retry_timer_;
    std::optional<DrainClock::time_point> retry_due_;
    uint64_t drains_ = 0;
};

}  // namespace tarnvel
