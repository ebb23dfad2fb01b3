// What a mailbox event's wait does the same way on every platform: a wait
// armed after cancel() never starts, and one that completes after it never
// calls its function, whichever thread cancels.
#pragma once

#include <boost/system/error_code.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace tarnvel::platform::detail {

class EventWait {
public:
    // Calls `start(completion)` to begin the platform's wait, unless cancel()
    // has been called; `completion(ec)` then calls `on_signalled` only if the
    // wait ended without error and cancel() has not been called since.
    template <class Start>
    void arm(Start&& start, std::function<void()> on_signalled) {
        std::lock_guard lock(mutex_);
        // A wait armed after cancel() would never be cancelled.
        if (closed_->load()) {
            return;
        }
        start([closed = closed_, on_signalled = std::move(on_signalled)](const boost::system::error_code& ec) {
            if (!ec && !closed->load()) {
                on_signalled();
            }
        });
    }

    // Idempotent: cancels the waits on `io_object` (an Asio descriptor or
    // object handle) the first time only.
    template <class IoObject>
    void cancel(IoObject& io_object) noexcept {
        // The flag goes first: a wait that completes between the two steps
        // finds it set and does not call its function.
        if (closed_->exchange(true)) {
            return;
        }
        std::lock_guard lock(mutex_);
        boost::system::error_code ignored;
        io_object.cancel(ignored);
    }

private:
    // Shared with every pending handler: a completion that was already queued
    // when the event went away still reads a live flag.
    std::shared_ptr<std::atomic<bool>> closed_ = std::make_shared<std::atomic<bool>>(false);
    // The platform's descriptor or handle is not safe for concurrent use, and
    // cancel() comes from caller threads while the io thread re-arms the wait.
    std::mutex mutex_;
};

}  // namespace tarnvel::platform::detail
