// A descriptor watched on the io loop by an Asio descriptor that only
// borrows it (its owner closes it, with whatever protocol it needs), under
// the shared waiting rules of EventWait.
#pragma once

#include <poll.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <cerrno>
#include <functional>
#include <utility>

#include "platform/event_wait.hpp"

namespace tarnvel::platform::detail {

class LoopDescriptor {
public:
    // `fd` < 0: nothing to watch; the owner's start function knows.
    LoopDescriptor(boost::asio::io_context& io, int fd) : descriptor_(io) {
        if (fd >= 0) {
            descriptor_.assign(fd);
        }
    }
    ~LoopDescriptor() {
        // Through the wait, so that no completion already queued calls a
        // function that refers to this object.
        cancel();
        descriptor_.release();
    }
    LoopDescriptor(const LoopDescriptor&) = delete;
    LoopDescriptor& operator=(const LoopDescriptor&) = delete;

    // See EventWait::arm; `start(descriptor, completion)`.
    template <class Start>
    void arm(Start&& start, std::function<void()> on_done) {
        wait_.arm([this, &start](auto completion) { start(descriptor_, std::move(completion)); }, std::move(on_done));
    }

    // Calls `on_readable` once the descriptor itself says it is readable.
    // Asio's end of a bare wait is not proof of that: it keeps each
    // descriptor's state in a pool, and an event that the kernel reported
    // for a descriptor since let go of (a watch of a process that exited and
    // was then reaped, say) can complete the wait of the next descriptor
    // that is given the same state. A wait that is not borne out is waited
    // again; with one io thread, nothing can be reported between the check
    // and the new wait.
    void arm_until_readable(std::function<void()> on_readable) {
        arm(
            [](auto& descriptor, auto completion) {
                descriptor.async_wait(boost::asio::posix::stream_descriptor::wait_read, std::move(completion));
            },
            [this, on_readable = std::move(on_readable)]() mutable {
                if (!readable()) {
                    arm_until_readable(std::move(on_readable));
                    return;
                }
                on_readable();
            });
    }

    void cancel() noexcept { wait_.cancel(descriptor_); }

private:
    // An error counts as readable: the wait said so, and nothing says not.
    bool readable() noexcept {
        pollfd ready{descriptor_.native_handle(), POLLIN, 0};
        int n;
        do {
            n = ::poll(&ready, 1, 0);
        } while (n < 0 && errno == EINTR);
        return n != 0;
    }

    EventWait wait_;
    boost::asio::posix::stream_descriptor descriptor_;
};

}  // namespace tarnvel::platform::detail
