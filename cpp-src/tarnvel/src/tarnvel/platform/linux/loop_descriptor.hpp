// A descriptor watched on the io loop by an Asio descriptor that only
// borrows it (its owner closes it, with whatever protocol it needs), under
// the shared waiting rules of EventWait.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

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
        boost::system::error_code ignored;
        descriptor_.cancel(ignored);
        descriptor_.release();
    }
    LoopDescriptor(const LoopDescriptor&) = delete;
    LoopDescriptor& operator=(const LoopDescriptor&) = delete;

    // See EventWait::arm; `start(descriptor, completion)`.
    template <class Start>
    void arm(Start&& start, std::function<void()> on_done) {
        wait_.arm([this, &start](auto completion) { start(descriptor_, std::move(completion)); }, std::move(on_done));
    }

    void cancel() noexcept { wait_.cancel(descriptor_); }

private:
    EventWait wait_;
    boost::asio::posix::stream_descriptor descriptor_;
};

}  // namespace tarnvel::platform::detail
