// No process stalls a system and the dead are seen at once: a stopped holder
// of the book mutex, crashed servers, and processes that die mid-call.
#include "book.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/raw_book.hpp"
#include "support/timing.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tarnvel::test {
namespace {

using namespace std::chrono_literals;

settings::Timing short_book_wait() {
    settings::Timing timing;
    timing.exclusive_wait_limit = 300ms;
    return timing;
}

size_t count_named(const std::vector<NodeInfo>& nodes, const std::string& name) {
    return static_cast<size_t>(
        std::count_if(nodes.begin(), nodes.end(), [&](const NodeInfo& n) { return n.node_name == name; }));
}

TEST(Stall, StoppedBookHolderStopsNoKnownPeers) {
    ScopedTiming timing(short_book_wait());
    const std::string system = unique_name("S");
    Peer server = Peer::serve("server", system);
    Tarnvel client("client", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    // Each learns the other: the call looks the server up, the answer the client.
    ASSERT_EQ(call_wait(client, "server", server.pid(), "echo", "first").status, STATUS_OK);

    Peer holder = Peer::start({"lock-book-mutex", system});
    ASSERT_EQ(::kill(static_cast<pid_t>(holder.pid()), SIGSTOP), 0);

    for (int i = 0; i < 20; ++i) {
        const CallResult r = call_wait(client, "server", server.pid(), "echo", std::to_string(i));
        ASSERT_EQ(r.status, STATUS_OK) << i;
        EXPECT_EQ(to_text(r.result), std::to_string(i));
    }
    // A node never seen needs the book: the call fails at its bound, and the
    // book is left alone.
    auto unknown = client.call("nobody", holder.pid(), "echo", {}, LONG_TIMEOUT_MS);
    EXPECT_EQ(await(unknown).status, STATUS_DELIVER_FAILED);
    EXPECT_EQ(error_of([&] { client.list_nodes(); }), "book mutex held too long");
    // A node cannot join meanwhile, and says why.
    ChildProcess late = Peer::launch({"hold", "late", system, unique_name("rx"), std::to_string(DEFAULT_RECV_BYTES)});
    const std::optional<std::string> refusal = late.read_line(WAIT_LIMIT);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_NE(refusal->find("book mutex held too long"), std::string::npos) << *refusal;
    late.kill();

    holder.kill();
    EXPECT_EQ(call_wait(client, "server", server.pid(), "echo", "after").status, STATUS_OK);
    const auto nodes = client.list_nodes();
    EXPECT_EQ(count_named(nodes, "server"), 1u);
    EXPECT_EQ(count_named(nodes, "client"), 1u);
    Peer joined = Peer::serve("joined", system);
    EXPECT_EQ(call_wait(client, "joined", joined.pid(), "echo", "x").status, STATUS_OK);
}

TEST(Stall, ServerKilledAndRestartedUnderItsNameIsFoundAtOnce) {
    const std::string system = unique_name("S");
    Tarnvel client("client", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    std::optional<Peer> first(Peer::serve("server", system));
    const uint32_t dead_pid = first->pid();
    ASSERT_EQ(call_wait(client, "server", dead_pid, "echo", "x").status, STATUS_OK);
    first->kill();
    first.reset();

    Peer second = Peer::serve("server", system);
    const auto nodes = client.list_nodes();
    ASSERT_EQ(count_named(nodes, "server"), 1u);
    EXPECT_EQ(std::find_if(nodes.begin(), nodes.end(), [](const NodeInfo& n) { return n.node_name == "server"; })->pid,
              second.pid());
    // Read from outside, too, without a slot.
    const auto outside = system_nodes(system);
    ASSERT_TRUE(outside.has_value());
    EXPECT_EQ(count_named(*outside, "server"), 1u);
    EXPECT_EQ(call_wait(client, "server", second.pid(), "echo", "y").status, STATUS_OK);
    EXPECT_EQ(call_wait(client, "server", dead_pid, "echo", "z").status, STATUS_EXEC_FAILED);
}

TEST(Stall, SlotsOfDeadProcessesMakeRoomBeforeDirectoryFull) {
    const std::string system = unique_name("S");
    Tarnvel own("own", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    {
        RawBook book(system);
        // Ids no process can have, as crashed nodes leave them behind.
        for (size_t i = 1; i < BOOK_SLOT_COUNT; ++i) {
            book.write_slot(i, 2147483000u - static_cast<uint32_t>(i), "crashed", "crashed_rx");
        }
        ASSERT_EQ(book.slots().size(), BOOK_SLOT_COUNT);
    }
    Peer late = Peer::serve("late", system);
    EXPECT_EQ(call_wait(own, "late", late.pid(), "echo", "x").status, STATUS_OK);
    const auto nodes = own.list_nodes();
    EXPECT_EQ(nodes.size(), 2u);
    EXPECT_EQ(count_named(nodes, "crashed"), 0u);
    EXPECT_EQ(count_named(*system_nodes(system), "crashed"), 0u);
}

// close() promises that the node's pending calls have ended when it returns,
// also when another node's handler calls it.
TEST(Stall, CloseFromAnotherNodesHandlerEndsPendingCallsFirst) {
    const std::string system = unique_name("S");
    Peer server = Peer::serve("server", system);
    std::optional<Tarnvel> closing(std::in_place, "closing", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    Tarnvel other("other", unique_name("S"), unique_name("rx"), DEFAULT_RECV_BYTES);
    auto pending = closing->call("server", server.pid(), "block", {}, LONG_TIMEOUT_MS);
    ASSERT_EQ(server.expect_line(), "blocked");

    std::atomic<bool> ended_on_return{false};
    ASSERT_TRUE(other.register_method({{"name", "close_it"}}, [&](Bytes) {
        closing->close();
        ended_on_return = is_ready(pending);
        return Bytes{};
    }));
    EXPECT_EQ(call_wait(other, "other", other.pid(), "close_it").status, STATUS_OK);
    EXPECT_TRUE(ended_on_return);
    EXPECT_EQ(await(pending).status, STATUS_EXEC_FAILED);
    server.send("release");
}

}  // namespace
}  // namespace tarnvel::test
