// Reads of a non-blocking FIFO on the io loop that know when they emptied it.
//
// Asio's descriptor read tries a read as soon as it is started whenever the
// descriptor has been readable since its last wait, and such a read of an
// event just reset only finds it empty: one system call per wake-up for
// nothing. A FIFO read that returns fewer bytes than it asked for has taken
// everything there was, though; this read tells the reactor so, and the next
// one waits for the kernel's word instead of trying first. A byte written
// later is an edge the reactor hears, so nothing is missed.
//
// That takes the epoll reactor's own operations, which are Asio's internals:
// their shape is that of Boost 1.84 up to the newest release this was built
// against (1.92). Elsewhere (another Boost, io_uring as Asio's backend) these
// are plain descriptor reads, which cost the extra read and nothing else; a
// newer Boost joins the range once it has been built and tested with it.
#pragma once

#include <unistd.h>

// The io_context first: the reactor's headers expect its scheduler.
#include <boost/asio/io_context.hpp>
#include <boost/version.hpp>

#if BOOST_VERSION >= 108400 && BOOST_VERSION < 109300 && defined(BOOST_ASIO_HAS_EPOLL) && !defined(BOOST_ASIO_HAS_IO_URING_AS_DEFAULT)
#define TARNVEL_REACTOR_FIFO_READS 1
// clang-format off
#include <boost/asio/detail/reactor.hpp>
#include <boost/asio/detail/reactor_op.hpp>
// clang-format on
#else
#include <boost/asio/buffer.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#endif
#include <boost/system/error_code.hpp>

#include <cerrno>
#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

namespace tarnvel::platform::detail {

#if defined(TARNVEL_REACTOR_FIFO_READS)

class FifoReads {
public:
    // Borrows `fd` (non-blocking), which its owner closes after this is gone.
    // Throws boost::system::system_error when the reactor refuses it.
    FifoReads(boost::asio::io_context& io, int fd) : reactor_(boost::asio::use_service<Reactor>(io)), fd_(fd) {
        reactor_.init_task();
        if (const int err = reactor_.register_descriptor(fd_, data_)) {
            throw boost::system::system_error(err, boost::system::system_category());
        }
    }
    ~FifoReads() {
        reactor_.deregister_descriptor(fd_, data_, false);
        reactor_.cleanup_descriptor_data(data_);
    }
    FifoReads(const FifoReads&) = delete;
    FifoReads& operator=(const FifoReads&) = delete;

    // Reads up to `size` bytes into `buffer` once some are there; then
    // `done(ec)` runs on the io thread (operation_aborted once cancelled).
    // `buffer` lives until then.
    void async_read(char* buffer, std::size_t size, std::function<void(const boost::system::error_code&)> done) {
        // The reactor's from here on; its completion deletes it.
        Op* op = new Op(fd_, buffer, size, std::move(done));
        reactor_.start_op(Reactor::read_op, fd_, data_, op, false, true, &post_at_once, &reactor_);
    }

    // Ends the read in progress with operation_aborted. Same signature as an
    // Asio io object's, for EventWait.
    void cancel(boost::system::error_code& ec) noexcept {
        reactor_.cancel_ops(fd_, data_);
        ec = {};
    }

private:
    using Reactor = boost::asio::detail::reactor;
    using Operation = boost::asio::detail::scheduler_operation;

    struct Op : boost::asio::detail::reactor_op {
        Op(int descriptor, char* into, std::size_t n, std::function<void(const boost::system::error_code&)> then)
            : reactor_op(boost::system::error_code(), &perform, &complete),
              fd(descriptor),
              buffer(into),
              size(n),
              on_done(std::move(then)) {}

        static status perform(reactor_op* base) {
            Op* o = static_cast<Op*>(base);
            for (;;) {
                const ssize_t got = ::read(o->fd, o->buffer, o->size);
                if (got >= 0) {
                    o->bytes_transferred_ = static_cast<std::size_t>(got);
                    // Fewer than asked for: the FIFO is empty now.
                    return static_cast<std::size_t>(got) < o->size ? done_and_exhausted : done;
                }
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return not_done;
                o->ec_ = boost::system::error_code(errno, boost::system::system_category());
                return done;
            }
        }

        // `owner` is null when the io_context destroys the operation unrun.
        static void complete(void* owner, Operation* base, const boost::system::error_code&, std::size_t) {
            std::unique_ptr<Op> o(static_cast<Op*>(base));
            if (owner == nullptr) return;
            std::function<void(const boost::system::error_code&)> then = std::move(o->on_done);
            const boost::system::error_code ec = o->ec_;
            o.reset();
            then(ec);
        }

        int fd;
        char* buffer;
        std::size_t size;
        std::function<void(const boost::system::error_code&)> on_done;
    };

    static void post_at_once(Operation* op, bool is_continuation, const void* reactor) {
        static_cast<const Reactor*>(reactor)->post_immediate_completion(op, is_continuation);
    }

    Reactor& reactor_;
    int fd_;
    Reactor::per_descriptor_data data_{};
};

#else

class FifoReads {
public:
    FifoReads(boost::asio::io_context& io, int fd) : descriptor_(io, fd) {}
    ~FifoReads() { descriptor_.release(); }  // the owner closes it
    FifoReads(const FifoReads&) = delete;
    FifoReads& operator=(const FifoReads&) = delete;

    void async_read(char* buffer, std::size_t size, std::function<void(const boost::system::error_code&)> done) {
        descriptor_.async_read_some(
            boost::asio::buffer(buffer, size),
            [done = std::move(done)](const boost::system::error_code& ec, std::size_t) { done(ec); });
    }

    void cancel(boost::system::error_code& ec) noexcept { descriptor_.cancel(ec); }

private:
    boost::asio::posix::stream_descriptor descriptor_;
};

#endif

}  // namespace tarnvel::platform::detail
