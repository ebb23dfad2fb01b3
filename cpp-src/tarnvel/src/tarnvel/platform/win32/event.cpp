#include "names.hpp"
#include "platform/event_wait.hpp"
#include "platform/platform.hpp"
#include "platform/win32/section.hpp"
#include "tarnvel/tarnvel.hpp"

#include <windows.h>
#include <boost/asio/windows/object_handle.hpp>

#include <utility>

namespace tarnvel::platform {

struct MailboxEvent::Native {
    Native(boost::asio::io_context& io, HANDLE handle) : raw(handle), waiter(io, handle) {}

    HANDLE raw;  // owned by waiter; kept apart so that a completion needs no lock
    detail::EventWait wait;
    // Last, so that nothing can throw once it owns the handle.
    boost::asio::windows::object_handle waiter;
};

MailboxEvent::MailboxEvent(boost::asio::io_context& io, const std::string& mailbox_name) {
    HANDLE handle = nullptr;
    try {
        handle = CreateEventA(nullptr, TRUE, FALSE, mailbox_event_name(mailbox_name).c_str());
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

MailboxEvent::MailboxEvent(MailboxEvent&&) noexcept = default;

// Destroying the waiter afterwards closes the handle.
MailboxEvent::~MailboxEvent() { cancel(); }

void MailboxEvent::async_wait(std::function<void()> on_signalled) {
    if (!native_) {
        return;
    }
    Native& native = *native_;
    native.wait.arm([&native](auto completion) { native.waiter.async_wait(std::move(completion)); },
                    [raw = native.raw, on_signalled = std::move(on_signalled)] {
                        ResetEvent(raw);
                        on_signalled();
                    });
}

void MailboxEvent::cancel() noexcept {
    if (!native_) {
        return;
    }
    native_->wait.cancel(native_->waiter);
}

// Windows has no fork(), so there is never an inherited handle to drop.
void MailboxEvent::abandon() noexcept {}

namespace detail {

void set_mailbox_event(const std::string& mailbox_name) noexcept {
    try {
        HANDLE handle = OpenEventA(EVENT_MODIFY_STATE, FALSE, mailbox_event_name(mailbox_name).c_str());
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

}  // namespace detail

}  // namespace tarnvel::platform
