#include "pending_calls.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <future>
#include <memory>
#include <vector>

namespace tarnvel {
namespace {

using Clock = PendingCalls::Clock;

// A promise only where a test looks at the outcome: the tests below start
// tens of thousands of calls, and every promise holds synchronisation objects
// of the system's (handles, under Windows).
CallCompletion to_promise(std::future<CallResult>* future) {
    if (!future) return [](CallResult) {};
    auto promise = std::make_shared<std::promise<CallResult>>();
    *future = promise->get_future();
    return [promise](CallResult result) { promise->set_value(std::move(result)); };
}

uint16_t start(PendingCalls& calls, uint32_t pid, std::future<CallResult>* future = nullptr,
               Clock::time_point deadline = Clock::time_point::max()) {
    CallEnd done = to_promise(future);
    const auto seq = calls.add(pid, done, deadline);
    EXPECT_TRUE(seq.has_value());
    return seq.value_or(0);
}

TEST(PendingCalls, SequenceNumbersStartAtOnePerPidAndSkipZeroOnWrap) {
    boost::asio::io_context io;
    PendingCalls calls(io);
    EXPECT_EQ(start(calls, 7), 1);
    EXPECT_EQ(start(calls, 9), 1);
    EXPECT_EQ(start(calls, 7), 2);
    // Finish everything so the wrap below meets no pending key.
    calls.fail_all();
    uint16_t last = 0;
    for (int i = 3; i <= 65535; ++i) {
        last = start(calls, 7);
        calls.complete(7, last, {});
    }
    EXPECT_EQ(last, 65535);
    EXPECT_EQ(start(calls, 7), 1);
}

TEST(PendingCalls, StillPendingKeyIsSkippedWhenItsNumberComesRound) {
    boost::asio::io_context io;
    PendingCalls calls(io);
    std::future<CallResult> old_call;
    EXPECT_EQ(start(calls, 5, &old_call), 1);
    for (int i = 2; i <= 65535; ++i) calls.complete(5, start(calls, 5), {});
    // 1 is still pending: the next call gets 2, and the old call is untouched.
    EXPECT_EQ(start(calls, 5), 2);
    EXPECT_EQ(old_call.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    calls.complete(5, 1, CallResult{STATUS_OK, {42}});
    EXPECT_EQ(old_call.get().result, Bytes{42});
}

TEST(PendingCalls, NoFreeNumberLeavesTheCompletionWithTheCaller) {
    boost::asio::io_context io;
    PendingCalls calls(io);
    for (int i = 1; i <= 65535; ++i) start(calls, 3);
    std::future<CallResult> future;
    CallEnd done = to_promise(&future);
    EXPECT_FALSE(calls.add(3, done, Clock::time_point::max()).has_value());
    // Still the caller's to run; what the node makes of it is tested in calls_test.
    ASSERT_TRUE(done);
    EXPECT_EQ(future.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_EQ(calls.size(), 65535u);
}

TEST(PendingCalls, FirstOutcomeWinsAndLaterOnesAreDropped) {
    boost::asio::io_context io;
    PendingCalls calls(io);
    std::future<CallResult> future;
    const uint16_t seq = start(calls, 11, &future);
    calls.complete(11, seq, CallResult{STATUS_OK, {1, 2}});
    calls.complete(11, seq, CallResult{STATUS_TIMEOUT, {}});
    calls.complete(12, seq, CallResult{STATUS_TIMEOUT, {}});
    const CallResult result = future.get();
    EXPECT_EQ(result.status, STATUS_OK);
    EXPECT_EQ(result.result, (Bytes{1, 2}));
    EXPECT_EQ(calls.size(), 0u);
}

TEST(PendingCalls, ADeadPeerEndsOnlyItsOwnCalls) {
    boost::asio::io_context io;
    PendingCalls calls(io);
    std::future<CallResult> below, dead_a, dead_b, above;
    start(calls, 6, &below);
    const uint16_t a = start(calls, 7, &dead_a);
    start(calls, 7, &dead_b);
    start(calls, 8, &above);
    calls.fail_peer(7);
    EXPECT_EQ(dead_a.get().status, STATUS_EXEC_FAILED);
    EXPECT_EQ(dead_b.get().status, STATUS_EXEC_FAILED);
    EXPECT_EQ(calls.size(), 2u);
    // A late answer of the dead finds nothing to finish.
    calls.answer(7, a, CallResult{STATUS_OK, {}});
    EXPECT_EQ(calls.size(), 2u);
    calls.fail_all();
    EXPECT_EQ(below.get().status, STATUS_EXEC_FAILED);
    EXPECT_EQ(above.get().status, STATUS_EXEC_FAILED);
}

TEST(PendingCalls, OneTimerEndsCallsAtTheirDeadlines) {
    boost::asio::io_context io;
    PendingCalls calls(io);
    std::vector<uint32_t> timed_out;
    const auto add = [&](uint32_t pid, Clock::duration in) {
        CallEnd done = CallCompletion([&timed_out, pid](CallResult r) {
            if (r.status == STATUS_TIMEOUT) timed_out.push_back(pid);
        });
        ASSERT_TRUE(calls.add(pid, done, Clock::now() + in).has_value());
        // The io thread sees each call before the next comes, so that an
        // earlier deadline has to move a timer already set for a later one.
        while (io.poll() != 0) {
        }
    };
    add(2, std::chrono::hours(1));
    add(1, std::chrono::milliseconds(60));
    add(3, std::chrono::milliseconds(20));
    add(4, std::chrono::milliseconds(40));
    // Answered in time: it must not time out as well.
    calls.complete(4, 1, CallResult{STATUS_OK, {}});
    while (timed_out.size() < 2 && io.run_one_for(std::chrono::seconds(30)) != 0) {
    }
    EXPECT_EQ(timed_out, (std::vector<uint32_t>{3, 1}));
    EXPECT_EQ(calls.size(), 1u);

    // An answer that comes after the time limit is a time-out, even before
    // the timer has run.
    std::future<CallResult> late;
    const uint16_t late_seq = start(calls, 6, &late, Clock::now());
    calls.answer(6, late_seq, CallResult{STATUS_OK, {1}});
    EXPECT_EQ(late.get().status, STATUS_TIMEOUT);

    std::future<CallResult> last;
    start(calls, 5, &last, Clock::now() + std::chrono::hours(1));
    calls.stop();
    calls.fail_all();
    EXPECT_EQ(last.get().status, STATUS_EXEC_FAILED);
    EXPECT_EQ(calls.size(), 0u);
    EXPECT_EQ(timed_out.size(), 2u);
}

// Finished calls leave their deadlines behind until they come due or are
// swept out: none of them may end a later call that reuses its key, and
// sweeping them must keep every pending call's own deadline.
TEST(PendingCalls, AFinishedCallsDeadlineNeverEndsAnotherCall) {
    boost::asio::io_context io;
    PendingCalls calls(io);
    const auto soon = Clock::now() + std::chrono::milliseconds(30);
    const auto later = Clock::now() + std::chrono::hours(1);
    const uint16_t first = start(calls, 3, nullptr, soon);
    calls.complete(3, first, {});
    // Half the numbers stay pending, so that the first call's deadline is
    // not swept out before its key comes round; the rest finish at once.
    for (int i = 0; i < 32640; ++i) start(calls, 3, nullptr, later);
    for (int i = 32642; i <= 65535; ++i) calls.complete(3, start(calls, 3, nullptr, soon), {});
    std::future<CallResult> reused;
    ASSERT_EQ(start(calls, 3, &reused, later), first);
    std::future<CallResult> due;
    start(calls, 4, &due, Clock::now() + std::chrono::milliseconds(60));
    while (due.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
           io.run_one_for(std::chrono::seconds(30)) != 0) {
    }
    ASSERT_EQ(due.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    EXPECT_EQ(due.get().status, STATUS_TIMEOUT);
    EXPECT_EQ(reused.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_EQ(calls.size(), 32641u);

    // Swept now and then while calls come and go: the pending ones keep
    // their deadlines.
    calls.fail_all();
    std::future<CallResult> kept;
    start(calls, 5, &kept, Clock::now() + std::chrono::milliseconds(20));
    for (int i = 0; i < 2000; ++i) calls.complete(6, start(calls, 6, nullptr, later), {});
    while (kept.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
           io.run_one_for(std::chrono::seconds(30)) != 0) {
    }
    ASSERT_EQ(kept.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    EXPECT_EQ(kept.get().status, STATUS_TIMEOUT);
    calls.stop();
    calls.fail_all();
    EXPECT_EQ(reused.get().status, STATUS_EXEC_FAILED);
}

}  // namespace
}  // namespace tarnvel
