// Outgoing calls: the caller's side of a request and its time limit.
#include "frame.hpp"
#include "impl.hpp"

#include <chrono>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

namespace tarnvel {

namespace {

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

void run_at_once(CallCompletion& done, uint8_t status) noexcept {
    try {
        if (done) done(CallResult{status, {}});
    } catch (...) {
    }
}

}  // namespace

void Tarnvel::Impl::call(std::string target_name, uint32_t pid, std::string method, Bytes args, int64_t timeout_ms,
                         CallCompletion done) {
    // Outcomes known here are handed over only once the operation has ended:
    // a completion may itself call or close.
    std::optional<uint8_t> at_once;
    std::optional<uint16_t> seq;
    {
        // Held while the request is handed to delivery: close cannot release
        // the book or the io context half-way through.
        const auto operation = enter_operation();
        std::optional<std::string> mailbox = book_lookup(target_name, pid);
        if (!mailbox) {
            at_once = STATUS_EXEC_FAILED;
        } else if (!frame_fits_length_field(method, args)) {
            at_once = STATUS_DELIVER_FAILED;
        } else {
            seq = calls.add(pid, done, deadline_after(timeout_ms));
            if (!seq) {
                // Every sequence number of that process is in use by a pending call.
                at_once = STATUS_DELIVER_FAILED;
            } else {
                try {
                    at_once = delivery->send(OutgoingMessage{std::move(target_name), pid, std::move(*mailbox),
                                                             encode_request(*seq, own_pid, method, args), true,
                                                             *seq});
                } catch (...) {
                    at_once = STATUS_DELIVER_FAILED;  // out of memory
                }
            }
        }
    }
    if (!at_once) return;
    if (seq) {
        calls.complete(pid, *seq, CallResult{*at_once, {}});
    } else {
        run_at_once(done, *at_once);
    }
}

std::future<CallResult> Tarnvel::Impl::call(std::string target_name, uint32_t pid, std::string method, Bytes args,
                                            int64_t timeout_ms) {
    auto promise = std::make_shared<std::promise<CallResult>>();
    std::future<CallResult> future = promise->get_future();
    call(std::move(target_name), pid, std::move(method), std::move(args), timeout_ms,
         [promise](CallResult result) { promise->set_value(std::move(result)); });
    return future;
}

}  // namespace tarnvel
