// The mailbox event: a FIFO whose owner holds it open read-write. A byte in
// it means "set"; draining it resets. Since the owner's descriptor is also a
// writer, the FIFO never reports end-of-file, and a byte written after a
// drain always makes it readable again, so no wake-up is lost.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <string>
#include <utility>

#include "names.hpp"
#include "platform/event_wait.hpp"
#include "platform/linux/event_fifo.hpp"
#include "platform/linux/fifo_reads.hpp"
#include "platform/linux/object_lifetime.hpp"
#include "platform/platform.hpp"
#include "tarnvel/tarnvel.hpp"

namespace tarnvel::platform {

using namespace detail;

struct MailboxEvent::Native {
    Native(boost::asio::io_context& io, ShmObject&& event_object)
        : object(std::move(event_object)), reads(io, object.fd()) {}

    // Releases the descriptor with the flock protocol, after the loop has
    // let go of it.
    ShmObject object;
    // Where a wait puts the bytes it takes out of the FIFO; shared with the
    // pending read, which may complete after the event is gone.
    std::shared_ptr<std::array<char, 256>> reset_buffer = std::make_shared<std::array<char, 256>>();
    EventWait wait;
    FifoReads reads;
};

MailboxEvent::MailboxEvent(boost::asio::io_context& io, const std::string& mailbox_name) {
    CreateHooks hooks;
    // A FIFO holds no data once nobody has it open, so a leftover needs no
    // clearing.
    hooks.initialise = [](int) { return true; };
    hooks.check_existing = [](int) { return Existing::usable; };
    try {
        ShmObject object;
        if (create_object(ObjectKind::evt, mailbox_event_name(mailbox_name), hooks, object) != CreateOutcome::created) {
            throw Error(ErrorKind::os_failure, "CreateEvent failed");
        }
        native_ = std::make_unique<Native>(io, std::move(object));
    } catch (...) {
        // Registering with the io_context or allocating failed; the object
        // was released on the way out.
        throw Error(ErrorKind::os_failure, "CreateEvent failed");
    }
}

MailboxEvent::MailboxEvent(MailboxEvent&&) noexcept = default;

MailboxEvent::~MailboxEvent() {
    if (native_ && native_->object.dropped()) {
        // Inherited through fork(): see abandon().
        static_cast<void>(native_.release());
        return;
    }
    cancel();
}

void MailboxEvent::async_wait(std::function<void()> on_signalled) {
    // In a fork child the io machinery is the parent's.
    if (!native_ || native_->object.dropped()) {
        return;
    }
    // A read rather than a wait for readability: the read is the reset, and
    // one that emptied the FIFO lets the next wait go to the kernel at once,
    // with no read first (see FifoReads).
    Native& n = *native_;
    n.wait.arm(
        [&n](auto completion) {
            n.reads.async_read(n.reset_buffer->data(), n.reset_buffer->size(),
                               [buffer = n.reset_buffer, completion = std::move(completion)](
                                   const boost::system::error_code& ec) { completion(ec); });
        },
        std::move(on_signalled));
}

void MailboxEvent::cancel() noexcept {
    if (!native_ || native_->object.dropped()) {
        return;
    }
    native_->wait.cancel(native_->reads);
}

void MailboxEvent::abandon() noexcept {
    if (!native_) {
        return;
    }
    // A no-op when the fork already closed the descriptor.
    native_->object.abandon();
    // The descriptor is registered with the epoll instance the child shares
    // with its parent: deregistering it, or running its destructor, would
    // remove the parent's registration. It is leaked on purpose.
    static_cast<void>(native_.release());
}

namespace detail {

ObjectFd open_event_for_setting(std::string_view mailbox_name) noexcept {
    try {
        const std::string path = object_path(ObjectKind::evt, mailbox_event_name(mailbox_name));
        ObjectFd fd = ObjectFd::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0);
        if (fd.get() >= 0 && !is_expected_file(fd.get(), ObjectKind::evt)) {
            fd.close();
        }
        return fd;
    } catch (...) {
        // Only the name's allocation can throw; a missed signal is no worse
        // than a missing event.
        return ObjectFd();
    }
}

void write_signal_byte(int fd) noexcept {
    const char byte = 1;
    ssize_t written;
    do {
        written = ::write(fd, &byte, 1);
    } while (written < 0 && errno == EINTR);
    // EAGAIN: the FIFO is full, so the event is set already.
}

}  // namespace detail

}  // namespace tarnvel::platform
