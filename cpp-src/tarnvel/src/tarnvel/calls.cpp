// Outgoing calls: the caller's side of a request and its time-out.
#include "frame.hpp"
#include "impl.hpp"

#include <boost/asio/post.hpp>

#include <chrono>
#include <limits>
#include <stdexcept>
#include <utility>

namespace tarnvel {

namespace {

CallResult failed(uint8_t status) { return CallResult{status, {}}; }

// now + timeout_ms, saturating at the clock's end; zero or less is already due.
std::chrono::steady_clock::time_point deadline_after(int64_t timeout_ms) {
    const auto now = std::chrono::steady_clock::now();
    if (timeout_ms <= 0) return now;
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::time_point::max() - now);
    if (timeout_ms >= room.count()) return std::chrono::steady_clock::time_point::max();
    return now + std::chrono::milliseconds(timeout_ms);
}

// A frame's length field is 32 bits wide; no mailbox could take more.
bool frame_fits_length_field(const std::string& method, const Bytes& args) {
    constexpr uint64_t packed_name_overhead = 5;
    const uint64_t size = FRAME_OVERHEAD + packed_name_overhead + uint64_t{method.size()} + uint64_t{args.size()};
    return size <= std::numeric_limits<uint32_t>::max();
}

}  // namespace

std::future<CallResult> Tarnvel::Impl::call(std::string target_name, uint32_t pid, std::string method, Bytes args,
                                            int64_t timeout_ms) {
    // Held until start_call is posted: close cannot release the book or stop
    // the io context half-way through.
    const auto operation = enter_operation();

    std::promise<CallResult> promise;
    auto future = promise.get_future();
    if (!book_lookup(target_name, pid)) {
        promise.set_value(failed(STATUS_EXEC_FAILED));
        return future;
    }
    if (!frame_fits_length_field(method, args)) {
        promise.set_value(failed(STATUS_DELIVER_FAILED));
        return future;
    }
    const std::optional<uint16_t> seq = calls.add_pending(pid, promise);
    if (!seq) {
        // Every sequence number of that process is in use by a pending call.
        promise.set_value(failed(STATUS_DELIVER_FAILED));
        return future;
    }
    Bytes frame = encode_frame(FRAME_KIND_REQUEST, *seq, own_pid, encode_request_body(method, args));
    boost::asio::post(io, [this, target_name = std::move(target_name), pid, seq = *seq, timeout_ms,
                           frame = std::move(frame)]() mutable {
        start_call(std::move(target_name), pid, seq, timeout_ms, std::move(frame));
    });
    return future;
}

void Tarnvel::Impl::start_call(std::string target_name, uint32_t pid, uint16_t seq, int64_t timeout_ms, Bytes frame) {
    auto timer = std::make_shared<boost::asio::steady_timer>(io);
    timer->expires_at(deadline_after(timeout_ms));
    // The handler holds no reference to the timer or the promise: the pending
    // entry owns both.
    timer->async_wait([this, pid, seq](const boost::system::error_code& error) {
        if (!error) calls.complete_call(pid, seq, failed(STATUS_TIMEOUT));
    });
    if (!calls.set_timer(pid, seq, timer)) {
        timer->cancel();
        return;
    }
    enqueue_outgoing(OutgoingMessage{std::move(target_name), pid, std::move(frame), true, seq});
}

}  // namespace tarnvel
