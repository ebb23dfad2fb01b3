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
    std::lock_guard lock(mutex_);
    ++drains_;
    size_t taken = 0;
    const auto act = [this, &taken](const Bytes& bytes) {
        ++taken;
        // A failure while acting on one frame (a damaged book mutex, no
        // memory for the answer) costs that frame only.
        try {
            on_frame_(bytes);
        } catch (...) {
        }
    };
    // Written before anything still in the ring.
    while (!left_.empty()) {
        const Bytes frame = std::move(left_.front());
        left_.pop_front();
        act(frame);
    }
    try {
        schedule_retry(drain_records(view_, size_, buffer_, state_, act));
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

bool MailboxReader::drain_for(const FrameTaker& take) noexcept {
    std::lock_guard lock(mutex_);
    const size_t left_before = left_.size();
    bool retry = false;
    try {
        retry = drain_records(view_, size_, buffer_, state_, [this, &take](const Bytes& bytes) {
                    bool taken = false;
                    try {
                        taken = take(bytes);
                    } catch (...) {
                        // Whatever the waiting thread could not act on is
                        // the io thread's to try.
                    }
                    if (!taken) left_.push_back(bytes);
                }).has_value();
    } catch (...) {
        retry = true;  // no memory: the io thread's drain tries again, and retries
    }
    return retry || left_.size() != left_before;
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
