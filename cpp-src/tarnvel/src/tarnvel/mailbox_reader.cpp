#include "mailbox_reader.hpp"

#include <chrono>
#include <utility>

namespace tarnvel {

namespace {

constexpr auto RETRY_AFTER_FAILURE = std::chrono::milliseconds(100);

}  // namespace

MailboxReader::MailboxReader(boost::asio::io_context& io, uint8_t* view, uint64_t size, FrameHandler on_frame)
    : view_(view), size_(size), on_frame_(std::move(on_frame)), retry_timer_(io) {}

size_t MailboxReader::drain() noexcept {
    ++drains_;
    size_t taken = 0;
    try {
        schedule_retry(drain_records(view_, size_, buffer_, state_, [this, &taken](const Bytes& bytes) {
            ++taken;
            // A failure while acting on one frame (a damaged book mutex, no
            // memory for the answer) costs that frame only.
            try {
                on_frame_(bytes);
            } catch (...) {
            }
        }));
    } catch (...) {
        // No memory for the frame at the head: it stays there, and no writer
        // will signal for it again.
        try {
            schedule_retry(DrainClock::now() + RETRY_AFTER_FAILURE);
        } catch (...) {
        }
    }
    return taken;
}

void MailboxReader::schedule_retry(std::optional<DrainClock::time_point> due) {
    if (due == retry_due_) return;
    if (!due) {
        retry_due_.reset();
        retry_timer_.cancel();
        return;
    }
    retry_timer_.expires_at(*due);
    retry_timer_.async_wait([this](const boost::system::error_code& error) {
        if (error) return;
        retry_due_.reset();
        drain();
    });
    retry_due_ = due;
}

}  // namespace tarnvel
