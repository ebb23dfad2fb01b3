// A peer's end seen on the io loop: a pidfd turns readable when its process
// exits, and cannot be confused with a later process given the same id.
#include <sys/syscall.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>

#include <cerrno>
#include <limits>
#include <utility>

#include "platform/linux/loop_descriptor.hpp"
#include "platform/linux/object_handles.hpp"
#include "platform/platform.hpp"

namespace tarnvel::platform {

using detail::LoopDescriptor;
using detail::ObjectFd;

struct ProcessWatch::Native {
    Native(boost::asio::io_context& io, ObjectFd fd) : pidfd(std::move(fd)), loop(io, pidfd.get()) {}

    ObjectFd pidfd;  // empty when the process was gone already
    LoopDescriptor loop;
};

ProcessWatch::ProcessWatch(std::unique_ptr<Native> native) : native_(std::move(native)) {}
ProcessWatch::ProcessWatch(ProcessWatch&&) noexcept = default;

ProcessWatch::~ProcessWatch() {
    if (native_ && native_->pidfd.dropped()) {
        // Inherited through fork(): its descriptor is registered with the
        // epoll instance the child shares with its parent, and deregistering
        // it would remove the parent's registration. Leaked on purpose.
        static_cast<void>(native_.release());
        return;
    }
    cancel();
}

std::optional<ProcessWatch> ProcessWatch::start(boost::asio::io_context& io, uint32_t pid) {
#ifdef SYS_pidfd_open
    if (pid == 0 || pid > static_cast<uint32_t>(std::numeric_limits<pid_t>::max())) {
        return std::nullopt;
    }
    ObjectFd pidfd =
        ObjectFd::make([pid] { return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)); });
    // ESRCH: no such process, so it has ended already.
    if (pidfd.get() < 0 && errno != ESRCH) {
        return std::nullopt;
    }
    try {
        return ProcessWatch(std::make_unique<Native>(io, std::move(pidfd)));
    } catch (...) {
        // Registering with the io_context or allocating failed.
        return std::nullopt;
    }
#else
    (void)io;
    (void)pid;
    return std::nullopt;
#endif
}

void ProcessWatch::async_wait(std::function<void()> on_exit) {
    // In a fork child the io machinery is the parent's.
    if (!native_ || native_->pidfd.dropped()) {
        return;
    }
    if (native_->pidfd.get() >= 0) {
        native_->loop.arm_until_readable(std::move(on_exit));
        return;
    }
    // Gone already: its end is reported at once.
    native_->loop.arm(
        [](auto& descriptor, auto completion) {
            boost::asio::post(descriptor.get_executor(), [completion = std::move(completion)] { completion({}); });
        },
        std::move(on_exit));
}

void ProcessWatch::cancel() noexcept {
    if (!native_ || native_->pidfd.dropped()) {
        return;
    }
    native_->loop.cancel();
}

}  // namespace tarnvel::platform
