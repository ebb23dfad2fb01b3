// Watching a peer process's end on the io loop, on every platform.
#include "platform/platform.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/unique_names.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

namespace tarnvel::test {
namespace {

using namespace std::chrono_literals;

// Runs the loop until `done` or (a bound only, never an outcome) 20 s.
template <class Done>
bool run_until(boost::asio::io_context& io, Done done) {
    const auto give_up = std::chrono::steady_clock::now() + 20s;
    while (!done() && std::chrono::steady_clock::now() < give_up) {
        io.restart();
        io.run_for(10ms);
    }
    return done();
}

Peer holder() { return Peer::start({"lock-book-mutex", unique_name("pw")}); }

TEST(ProcessWatch, ReportsAKilledProcessOnceAndALiveOneNever) {
    boost::asio::io_context io;
    Peer dying = holder();
    Peer living = holder();
    auto dying_watch = platform::ProcessWatch::start(io, dying.pid());
    auto living_watch = platform::ProcessWatch::start(io, living.pid());
    ASSERT_TRUE(dying_watch.has_value());
    ASSERT_TRUE(living_watch.has_value());
    int dying_ended = 0;
    int living_ended = 0;
    dying_watch->async_wait([&] { ++dying_ended; });
    living_watch->async_wait([&] { ++living_ended; });

    dying.kill();
    EXPECT_TRUE(run_until(io, [&] { return dying_ended > 0; }));
    io.restart();
    io.poll();
    EXPECT_EQ(dying_ended, 1);
    EXPECT_EQ(living_ended, 0);

    // A process that is gone is reported at once by a new watch too.
    auto late_watch = platform::ProcessWatch::start(io, dying.pid());
    ASSERT_TRUE(late_watch.has_value());
    bool late_ended = false;
    late_watch->async_wait([&] { late_ended = true; });
    EXPECT_TRUE(run_until(io, [&] { return late_ended; }));
    EXPECT_EQ(living_ended, 0);
}

TEST(ProcessWatch, CancelledOrMovedWatchCallsNothingAfterwards) {
    boost::asio::io_context io;
    Peer first = holder();
    Peer second = holder();
    auto cancelled = platform::ProcessWatch::start(io, first.pid());
    ASSERT_TRUE(cancelled.has_value());
    std::atomic<int> calls{0};
    cancelled->async_wait([&] { calls += 100; });
    cancelled->cancel();
    cancelled->cancel();
    cancelled->async_wait([&] { calls += 100; });  // after cancel(): never armed

    std::optional<platform::ProcessWatch> original = platform::ProcessWatch::start(io, second.pid());
    ASSERT_TRUE(original.has_value());
    original->async_wait([&] { ++calls; });
    platform::ProcessWatch moved(std::move(*original));
    original->cancel();  // empty: does nothing
    original.reset();

    first.kill();
    second.kill();
    EXPECT_TRUE(run_until(io, [&] { return calls.load() >= 1; }));
    io.restart();
    io.poll();
    EXPECT_EQ(calls.load(), 1) << "only the moved watch's wait";
}

TEST(ProcessWatch, DestroyedWatchWithAPendingWaitCallsNothing) {
    boost::asio::io_context io;
    Peer peer = holder();
    bool called = false;
    {
        auto watch = platform::ProcessWatch::start(io, peer.pid());
        ASSERT_TRUE(watch.has_value());
        watch->async_wait([&] { called = true; });
    }
    peer.kill();
    // Returns as soon as the loop has no work left: the cancelled wait's
    // completion is all there is.
    io.restart();
    io.run_for(20s);
    EXPECT_FALSE(called);
}

// The loop may take in a watched process's end and dispatch it only after
// that watch is gone and another has been made in its place: the new watch
// must still report nothing while its own process lives.
TEST(ProcessWatch, WatchMadeInPlaceOfAnEndedOneSeesOnlyItsOwnProcess) {
    boost::asio::io_context io;
    Peer dying = holder();
    std::optional<platform::ProcessWatch> ended = platform::ProcessWatch::start(io, dying.pid());
    ASSERT_TRUE(ended.has_value());
    dying.kill();
    ASSERT_TRUE(dying.process().wait(WAIT_LIMIT).has_value());

    std::optional<platform::ProcessWatch> living;
    bool living_ended = false;
    // Queued before the loop first looks for events, so the end it finds
    // then is dispatched after this.
    boost::asio::post(io, [&] {
        ended.reset();
        if (auto made = platform::ProcessWatch::start(io, platform::current_process_id())) {
            living.emplace(std::move(*made));
            living->async_wait([&] { living_ended = true; });
        }
    });
    io.poll();
    ASSERT_TRUE(living.has_value());
    EXPECT_FALSE(living_ended);
}

}  // namespace
}  // namespace tarnvel::test
