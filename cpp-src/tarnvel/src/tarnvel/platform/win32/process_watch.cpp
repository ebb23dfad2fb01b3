// A peer's end seen on the io loop: a process handle is signalled when its
// process ends, and keeps its id from being given to another process.
#include "platform/event_wait.hpp"
#include "platform/platform.hpp"

#include <windows.h>
#include <boost/asio/post.hpp>
#include <boost/asio/windows/object_handle.hpp>

#include <utility>

namespace tarnvel::platform {

struct ProcessWatch::Native {
    // `handle` is null when the process was gone already.
    Native(boost::asio::io_context& io, HANDLE handle) : ended(handle == nullptr), waiter(io) {
        if (handle != nullptr) {
            waiter.assign(handle);
        }
    }

    bool ended;
    detail::EventWait wait;
    boost::asio::windows::object_handle waiter;  // owns the handle
};

ProcessWatch::ProcessWatch(std::unique_ptr<Native> native) : native_(std::move(native)) {}
ProcessWatch::ProcessWatch(ProcessWatch&&) noexcept = default;

ProcessWatch::~ProcessWatch() { cancel(); }

std::optional<ProcessWatch> ProcessWatch::start(boost::asio::io_context& io, uint32_t pid) {
    HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, pid);
    // An id that names no process: it has ended already.
    if (handle == nullptr && GetLastError() != ERROR_INVALID_PARAMETER) {
        return std::nullopt;
    }
    try {
        return ProcessWatch(std::make_unique<Native>(io, handle));
    } catch (...) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
        return std::nullopt;
    }
}

void ProcessWatch::async_wait(std::function<void()> on_exit) {
    if (!native_) {
        return;
    }
    Native& native = *native_;
    native.wait.arm(
        [&native](auto completion) {
            if (native.ended) {
                boost::asio::post(native.waiter.get_executor(),
                                  [completion = std::move(completion)] { completion({}); });
                return;
            }
            native.waiter.async_wait(std::move(completion));
        },
        std::move(on_exit));
}

void ProcessWatch::cancel() noexcept {
    if (!native_) {
        return;
    }
    native_->wait.cancel(native_->waiter);
}

}  // namespace tarnvel::platform
