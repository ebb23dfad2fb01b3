#include "pending_calls.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <chrono>

namespace tarnvel {
namespace {

uint16_t start(PendingCalls& calls, uint32_t pid, std::future<CallResult>* future = nullptr) {
    std::promise<CallResult> promise;
    if (future) *future = promise.get_future();
    const auto seq = calls.add_pending(pid, promise);
    EXPECT_TRUE(seq.has_value());
    return seq.value_or(0);
}

TEST(PendingCalls, SequenceNumbersStartAtOnePerPidAndSkipZeroOnWrap) {
    PendingCalls calls;
    EXPECT_EQ(start(calls, 7), 1);
    EXPECT_EQ(start(calls, 9), 1);
    EXPECT_EQ(start(calls, 7), 2);
    // Finish everything so the wrap below meets no pending key.
    calls.fail_all_pending();
    uint16_t last = 0;
    for (int i = 3; i <= 65535; ++i) {
        last = start(calls, 7);
        calls.complete_call(7, last, {});
    }
    EXPECT_EQ(last, 65535);
    EXPECT_EQ(start(calls, 7), 1);
}

TEST(PendingCalls, StillPendingKeyIsSkippedWhenItsNumberComesRound) {
    PendingCalls calls;
    std::future<CallResult> old_call;
    EXPECT_EQ(start(calls, 5, &old_call), 1);
    for (int i = 2; i <= 65535; ++i) calls.complete_call(5, start(calls, 5), {});
    // 1 is still pending: the next call gets 2, and the old call is untouched.
    EXPECT_EQ(start(calls, 5), 2);
    EXPECT_EQ(old_call.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    calls.complete_call(5, 1, CallResult{STATUS_OK, {42}});
    EXPECT_EQ(old_call.get().result, Bytes{42});
}

TEST(PendingCalls, NoFreeNumberLeavesThePromiseWithTheCaller) {
    PendingCalls calls;
    for (int i = 1; i <= 65535; ++i) start(calls, 3);
    std::promise<CallResult> promise;
    auto future = promise.get_future();
    EXPECT_FALSE(calls.add_pending(3, promise).has_value());
    promise.set_value(CallResult{STATUS_DELIVER_FAILED, {}});
    EXPECT_EQ(future.get().status, STATUS_DELIVER_FAILED);
    EXPECT_EQ(calls.size(), 65535u);
}

TEST(PendingCalls, FirstOutcomeWinsAndLaterOnesAreDropped) {
    PendingCalls calls;
    std::future<CallResult> future;
    const uint16_t seq = start(calls, 11, &future);
    calls.complete_call(11, seq, CallResult{STATUS_OK, {1, 2}});
    calls.complete_call(11, seq, CallResult{STATUS_TIMEOUT, {}});
    calls.complete_call(12, seq, CallResult{STATUS_TIMEOUT, {}});
    const CallResult result = future.get();
    EXPECT_EQ(result.status, STATUS_OK);
    EXPECT_EQ(result.result, (Bytes{1, 2}));
    EXPECT_EQ(calls.size(), 0u);
}

TEST(PendingCalls, FailAllEndsEveryCallAndCancelsItsTimer) {
    boost::asio::io_context io;
    PendingCalls calls;
    std::future<CallResult> a, b;
    const uint16_t seq_a = start(calls, 1, &a);
    start(calls, 2, &b);
    auto timer = std::make_shared<boost::asio::steady_timer>(io, std::chrono::hours(1));
    bool timer_cancelled = false;
    timer->async_wait([&](const boost::system::error_code& error) { timer_cancelled = bool(error); });
    ASSERT_TRUE(calls.set_timer(1, seq_a, timer));
    calls.fail_all_pending();
    io.run();
    EXPECT_TRUE(timer_cancelled);
    EXPECT_EQ(a.get().status, STATUS_EXEC_FAILED);
    EXPECT_EQ(b.get().status, STATUS_EXEC_FAILED);
    EXPECT_FALSE(calls.set_timer(1, seq_a, timer));
}

}  // namespace
}  // namespace tarnvel
