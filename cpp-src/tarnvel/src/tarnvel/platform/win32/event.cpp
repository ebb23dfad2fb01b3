#include "../platform.hpp"
#include "tarnvel/tarnvel.hpp"

#include <boost/asio/windows/object_handle.hpp>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace tarnvel::platform {

namespace {

std::string event_name(const std::string& mailbox_name) {
    return mailbox_name + "_e";
}

}  // namespace

struct MailboxEvent::Native {
    Native(boost::asio::io_context& io, HANDLE handle) : raw(handle), waiter(io, handle) {}

    HANDLE raw;  // owned by waiter; kept apart so reset() needs no lock
    // Shared with every pending handler: a completion that was already queued
    // when the event went away still reads a live flag.
    std::shared_ptr<std::atomic<bool>> closed = std::make_shared<std::atomic<bool>>(false);
    // The object_handle is not safe for concurrent use, and cancel() comes
    // from caller threads while the io thread re-arms the wait.
    std::mutex waiter_mutex;
    // Last, so that nothing can throw once it owns the handle.
    boost::asio::windows::object_handle waiter;
};

MailboxEvent::MailboxEvent(boost::asio::io_context& io, const std::string& mailbox_name) {
    HANDLE handle = nullptr;
    try {
        handle = CreateEventA(nullptr, TRUE, FALSE, event_name(mailbox_name).c_str());
        if (handle == nullptr) {
            throw Error(ErrorKind::os_failure, "CreateEvent failed");
        }
        native_ = std::make_unique<Native>(io, handle);
    } catch (...) {
        // The waiter was never built, so the handle is still ours. Running
        // out of memory is one more way of failing to create the event.
        if (handle != nullptr) {
            CloseHandle(handle);
        }
        throw Error(ErrorKind::os_failure, "CreateEvent failed");
    }
}

// Destroying the waiter afterwards closes the handle.
MailboxEvent::~MailboxEvent() {
    cancel();
}

MailboxEvent::MailboxEvent(MailboxEvent&&) noexcept = default;

MailboxEvent& MailboxEvent::operator=(MailboxEvent&& other) noexcept {
    if (this != &other) {
        // Ends like a destroyed event: cancelled first, so that no completion
        // already queued calls its function afterwards.
        MailboxEvent replaced(std::move(*this));
        native_ = std::move(other.native_);
    }
    return *this;
}

void MailboxEvent::reset() noexcept {
    if (native_) {
        ResetEvent(native_->raw);
    }
}

void MailboxEvent::async_wait(std::function<void()> on_signalled) {
    if (!native_) {
        return;
    }
    std::lock_guard lock(native_->waiter_mutex);
    // A wait armed after cancel() would never be cancelled.
    if (native_->closed->load()) {
        return;
    }
    native_->waiter.async_wait([closed = native_->closed, raw = native_->raw,
                                on_signalled = std::move(on_signalled)](boost::system::error_code ec) {
        if (!ec && !closed->load()) {
            ResetEvent(raw);
            on_signalled();
        }
    });
}

void MailboxEvent::cancel() noexcept {
    if (!native_) {
        return;
    }
    // The flag goes first: a wait that completes between the two steps finds
    // it set and does not call its function.
    if (native_->closed->exchange(true)) {
        return;
    }
    std::lock_guard lock(native_->waiter_mutex);
    boost::system::error_code ignored;
    native_->waiter.cancel(ignored);
}

// Windows has no fork(), so there is never an inherited handle to drop.
void MailboxEvent::abandon() noexcept {}

void signal_mailbox_event(const std::string& mailbox_name) noexcept {
    try {
        HANDLE handle = OpenEventA(EVENT_MODIFY_STATE, FALSE, event_name(mailbox_name).c_str());
        if (handle == nullptr) {
            return;
        }
        SetEvent(handle);
        CloseHandle(handle);
    } catch (...) {
        // Only the name's allocation can throw; a missed signal is no worse
        // than a missing event.
    }
}

}  // namespace tarnvel::platform
