// Messages that meet a full mailbox wait for room instead of being dropped,
// in order; only one that could never fit fails, and an answer that could
// never fit its caller's mailbox still ends the call at once. Calls made
// while the io thread reads all count, gathered or not.
#include "delivery.hpp"
#include "directory.hpp"
#include "frame.hpp"
#include "names.hpp"
#include "platform/platform.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace tarnvel::test {
namespace {

// Longer than any test runs: a call that ends did not end by its time limit.
constexpr int64_t NO_LIMIT_MS = 600000;

class Flow : public ::testing::Test {
protected:
    void SetUp() override { system_ = unique_name("F"); }

    void start_me(uint64_t mailbox_bytes) { me_.emplace("me", system_, unique_name("rx"), mailbox_bytes); }

    std::future<CallResult> start(Peer& peer, const std::string& method, const std::string& args) {
        return me_->call(peer.node_name(), peer.pid(), method, to_bytes(args), NO_LIMIT_MS);
    }

    // Many calls at once, each answered with its own argument.
    void burst(Peer& peer, int calls, size_t bytes) {
        std::vector<std::string> sent;
        std::vector<std::future<CallResult>> futures;
        for (int i = 0; i < calls; ++i) {
            sent.push_back(std::to_string(i) + std::string(bytes, static_cast<char>('a' + i % 26)));
            futures.push_back(start(peer, "echo", sent.back()));
        }
        for (int i = 0; i < calls; ++i) {
            const CallResult r = await(futures[i]);
            ASSERT_EQ(r.status, STATUS_OK) << i;
            ASSERT_EQ(to_text(r.result), sent[i]) << i;
        }
    }

    std::string system_;
    std::optional<Tarnvel> me_;
};

TEST_F(Flow, AnswerTooLargeForTheCallersMailboxEndsTheCallAtOnce) {
    start_me(1024);
    Peer srv = Peer::serve("srv", system_);
    auto big = start(srv, "echo", std::string(2000, 'x'));
    const CallResult failed = await(big);
    EXPECT_EQ(failed.status, STATUS_DELIVER_FAILED);
    EXPECT_EQ(failed.unfit_answer_bytes, 2000u);
    EXPECT_TRUE(failed.result.empty());
    // Neither side is harmed: the next answer that fits arrives.
    auto small = start(srv, "echo", "fits");
    const CallResult r = await(small);
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), "fits");
    EXPECT_EQ(srv.quit(), 0);
}

TEST_F(Flow, BurstOfAnswersWaitsForRoomInTheCallersMailbox) {
    // Three 2 KB answers fill it; the rest wait at the server.
    start_me(8192);
    Peer srv = Peer::serve("srv", system_);
    burst(srv, 300, 2048);
    EXPECT_EQ(srv.quit(), 0);
}

TEST_F(Flow, BurstOfRequestsWaitsForRoomInTheServersMailbox) {
    start_me(DEFAULT_RECV_BYTES * 16);
    Peer srv = Peer::serve("srv", system_, 8192);
    burst(srv, 300, 2048);
    EXPECT_EQ(srv.quit(), 0);
}

TEST_F(Flow, RequestsThatWaitForRoomKeepTheirOrder) {
    start_me(DEFAULT_RECV_BYTES);
    Peer srv = Peer::serve("srv", system_, 512);
    auto blocked = start(srv, "block", "");
    ASSERT_EQ(srv.expect_line(), "blocked");
    std::vector<std::future<CallResult>> futures;
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        futures.push_back(start(srv, "record", std::to_string(i)));
        expected += (i == 0 ? "" : ",") + std::to_string(i);
    }
    srv.send("release");
    EXPECT_EQ(await(blocked).status, STATUS_OK);
    for (auto& f : futures) ASSERT_EQ(await(f).status, STATUS_OK);
    auto recorded = start(srv, "recorded", "");
    const CallResult r = await(recorded);
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), expected);
    EXPECT_EQ(srv.quit(), 0);
}

// The io thread stays awake after a drain whose completions made calls, for
// their answers: every call they made counts, also one too large to be
// gathered with others, which is written at once.
TEST(Batch, CountsEveryCallMadeWhileItRunsGatheredOrNot) {
    boost::asio::io_context io;
    const std::atomic<bool> stopping{false};
    const std::string system = unique_name("B");
    const uint32_t pid = platform::current_process_id();
    Directory directory(io, stopping, pid, book_name(system), book_mutex_name(system));
    Delivery outbox(directory, io, [](uint32_t, uint16_t, uint8_t) {}, [](uint32_t) {});
    const auto call = [&](uint16_t seq, size_t bytes) {
        return OutgoingMessage{"peer", pid + 1, unique_name("mb"), request_frame(seq, pid, "echo", Bytes(bytes, 'x')),
                               true, seq, std::chrono::steady_clock::now() + std::chrono::seconds(10)};
    };
    ASSERT_TRUE(outbox.begin_batch());
    EXPECT_FALSE(outbox.send(call(1, 16)));
    EXPECT_FALSE(outbox.send(call(2, 2 * Delivery::BATCH_MAX_BYTES)));
    EXPECT_FALSE(outbox.send(call(3, 16)));
    EXPECT_EQ(outbox.end_batch(), 3u);
}

}  // namespace
}  // namespace tarnvel::test
