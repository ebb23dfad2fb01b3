// The mailbox event: a FIFO whose owner holds it open read-write. A byte in
// it means "set"; draining it resets. Since the owner's descriptor is also a
// writer, the FIFO never reports end-of-file, and a byte written after a
// drain always makes it readable again, so no wake-up is lost.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>

#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "tarnvel/platform/platform.hpp"
#include "tarnvel/tarnvel.hpp"
#include "tarnvel/platform/posix/shm_object.hpp"

namespace tarnvel::platform {

using posix::CreateHooks;
using posix::CreateOutcome;
using posix::event_name;
using posix::Existing;
using posix::ObjectKind;
using posix::ShmObject;

namespace {

// Writes one byte without letting SIGPIPE kill the process when the owner
// closes the FIFO between our open and our write. The signal is blocked for
// this thread only, and consumed only if this write raised it.
void write_signal_byte(int fd) noexcept {
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigset_t previous_mask;
    if (pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous_mask) != 0) {
        return;
    }
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;

    const char byte = 1;
    ssize_t written;
    do {
        written = ::write(fd, &byte, 1);
    } while (written < 0 && errno == EINTR);
    // EAGAIN: the FIFO is full, so the event is set already.
    if (written < 0 && errno == EPIPE && !was_pending) {
        const timespec no_wait{};
        while (sigtimedwait(&pipe_signal, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
}

}  // namespace

struct MailboxEvent::Native {
    Native(boost::asio::io_context& io, ShmObject&& event_object)
        : object(std::move(event_object)), descriptor(io, object.fd()) {}

    // The descriptor only borrows the file descriptor: the object releases
    // it with the flock protocol.
    ~Native() {
        boost::system::error_code ignored;
        descriptor.cancel(ignored);
        descriptor.release();
    }

    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;

    ShmObject object;
    // Shared with every pending handler: a completion that was already queued
    // when the event went away still reads a live flag.
    std::shared_ptr<std::atomic<bool>> closed = std::make_shared<std::atomic<bool>>(false);
    // Where a wait puts the bytes it takes out of the FIFO; shared with the
    // pending read, which may complete after the event is gone.
    std::shared_ptr<std::array<char, 256>> reset_buffer = std::make_shared<std::array<char, 256>>();
    // The descriptor is not safe for concurrent use, and cancel() comes from
    // caller threads while the io thread re-arms the wait.
    std::mutex descriptor_mutex;
    boost::asio::posix::stream_descriptor descriptor;
};

MailboxEvent::MailboxEvent(boost::asio::io_context& io, const std::string& mailbox_name) {
    CreateHooks hooks;
    // A FIFO holds no data once nobody has it open, so a leftover needs no
    // clearing.
    hooks.initialise = [](int) { return true; };
    hooks.check_existing = [](int) { return Existing::usable; };
    try {
        ShmObject object;
        if (posix::create_object(ObjectKind::evt, event_name(mailbox_name), hooks, object) !=
            CreateOutcome::created) {
            throw Error(ErrorKind::os_failure, "CreateEvent failed");
        }
        native_ = std::make_unique<Native>(io, std::move(object));
    } catch (...) {
        // Registering with the io_context or allocating failed; the object
        // was released on the way out.
        throw Error(ErrorKind::os_failure, "CreateEvent failed");
    }
}

MailboxEvent::~MailboxEvent() {
    if (native_ && native_->object.dropped()) {
        // Inherited through fork(): see abandon().
        static_cast<void>(native_.release());
        return;
    }
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
    if (!native_ || native_->object.dropped()) {
        return;
    }
    char buffer[256];
    for (;;) {
        const ssize_t n = ::read(native_->object.fd(), buffer, sizeof buffer);
        // A FIFO hands over what it holds up to the size asked for, so a
        // short read has emptied it (EAGAIN: it was empty).
        if (n == static_cast<ssize_t>(sizeof buffer) || (n < 0 && errno == EINTR)) {
            continue;
        }
        return;
    }
}

void MailboxEvent::async_wait(std::function<void()> on_signalled) {
    // In a fork child the io machinery is the parent's.
    if (!native_ || native_->object.dropped()) {
        return;
    }
    std::lock_guard lock(native_->descriptor_mutex);
    // A wait armed after cancel() would never be cancelled.
    if (native_->closed->load()) {
        return;
    }
    // A read rather than a wait for readability: the read is the reset, and
    // Asio re-arms a read on an edge-triggered descriptor without asking the
    // kernel again, which it must do for a bare wait.
    native_->descriptor.async_read_some(
        boost::asio::buffer(*native_->reset_buffer),
        [closed = native_->closed, buffer = native_->reset_buffer, on_signalled = std::move(on_signalled)](
            const boost::system::error_code& ec, std::size_t) {
            if (!ec && !closed->load()) {
                on_signalled();
            }
        });
}

void MailboxEvent::cancel() noexcept {
    if (!native_ || native_->object.dropped()) {
        return;
    }
    // The flag goes first: a wait that completes between the two steps finds
    // it set and does not call its function.
    if (native_->closed->exchange(true)) {
        return;
    }
    std::lock_guard lock(native_->descriptor_mutex);
    boost::system::error_code ignored;
    native_->descriptor.cancel(ignored);
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

void signal_mailbox_event(const std::string& mailbox_name) noexcept {
    try {
        const std::string path = posix::object_path(ObjectKind::evt, event_name(mailbox_name));
        int fd;
        do {
            fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
        } while (fd < 0 && errno == EINTR);
        // ENOENT: no such event. ENXIO: nobody holds it open, so its owner is
        // gone and the FIFO is a leftover.
        if (fd < 0) {
            return;
        }
        struct stat st{};
        if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
            write_signal_byte(fd);
        }
        ::close(fd);
    } catch (...) {
        // Only the name's allocation can throw; a missed signal is no worse
        // than a missing event.
    }
}

}  // namespace tarnvel::platform
