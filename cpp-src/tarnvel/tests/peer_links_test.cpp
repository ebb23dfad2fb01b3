// Links to peers kept between messages: a sender that keeps a peer's mailbox
// open must still notice a peer that died or came back, and must never keep
// the peer's objects alive for anyone else.
#include "names.hpp"
#include "peer_cache.hpp"
#include "platform/platform.hpp"
#include "ring.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/platform_extras.hpp"
#include "support/raw_book.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"
#include "wake_word.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

namespace tarnvel::test {
namespace {

bool listed(Tarnvel& node, uint32_t pid) {
    for (const auto& n : node.list_nodes())
        if (n.pid == pid) return true;
    return false;
}

// However the caller knew a peer, and whatever of its objects live on in a
// forked worker, the peer's death ends its calls at once, purges its slot,
// and leaves its mailbox to nobody.
enum class Death { no_kept_link, kept_link, mid_call, forked_worker };

class KilledPeer : public ::testing::TestWithParam<Death> {};

TEST_P(KilledPeer, EndsItsCallsIsPurgedAndItsMailboxOpensForNobody) {
    const std::string system = unique_name("S");
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    Peer victim = Peer::serve("victim", system);
    std::vector<std::future<CallResult>> pending;
    if (GetParam() != Death::no_kept_link) {
        ASSERT_EQ(call_wait(me, "victim", victim.pid(), "echo", "kept").status, STATUS_OK);
    }
    if (GetParam() == Death::mid_call) {
        // Far beyond what the test waits: only the death can end them in time.
        pending.push_back(me.call("victim", victim.pid(), "block", {}, 600000));
        pending.push_back(me.call("victim", victim.pid(), "sleep", to_bytes("600000"), 600000));
        ASSERT_EQ(victim.expect_line(), "blocked");
    }
    if (GetParam() == Death::forked_worker) {
        victim.send("fork-worker");
        const std::string line = victim.expect_line();
        ASSERT_TRUE(line.rfind("worker ", 0) == 0 && line != "worker -1") << line;
    }

    victim.kill();
    ASSERT_TRUE(victim.process().wait(WAIT_LIMIT).has_value());
    for (auto& f : pending) EXPECT_EQ(await(f).status, STATUS_EXEC_FAILED);
    const CallResult r = call_wait(me, "victim", victim.pid(), "echo", "anyone?");
    EXPECT_EQ(r.status, STATUS_EXEC_FAILED);
    EXPECT_TRUE(r.result.empty());
    EXPECT_FALSE(listed(me, victim.pid()));
    const auto answer = call_wait(me, "me", me.pid(), "sys.list_nodes");
    ASSERT_EQ(answer.status, STATUS_OK);
    EXPECT_EQ(unpack_answer(answer.result).value_or("").find("\"pid\":" + std::to_string(victim.pid())),
              std::string::npos);
    EXPECT_EQ(RawBook(system).slots().size(), 1u);
    // While this node (and the worker) live on with whatever they kept.
    EXPECT_FALSE(platform::PeerMailbox::open(victim.mailbox_name()).has_value());
}

const Death DEATHS[] = {Death::no_kept_link, Death::kept_link, Death::mid_call,
#ifndef _WIN32
                        Death::forked_worker
#endif
};
INSTANTIATE_TEST_SUITE_P(Deaths, KilledPeer, ::testing::ValuesIn(DEATHS),
                         [](const auto& info) {
                             switch (info.param) {
                             case Death::no_kept_link: return "NoKeptLink";
                             case Death::kept_link: return "KeptLink";
                             case Death::mid_call: return "MidCall";
                             case Death::forked_worker: return "ForkedWorker";
                             }
                             return "";
                         });

TEST(PeerLinks, PeerThatRenewedItsNodeWithALargerMailboxGetsTheNextCall) {
    const std::string system = unique_name("S");
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    Peer srv = Peer::serve("srv", system, 4096);
    ASSERT_EQ(call_wait(me, "srv", srv.pid(), "echo", "before").status, STATUS_OK);

    srv.send("renew 65536");
    ASSERT_EQ(srv.expect_line(), "renewed");
    // Too large for the old ring: only the new mailbox can take it.
    const std::string large(20000, 'x');
    const CallResult r = call_wait(me, "srv", srv.pid(), "echo", large);
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), large);
    EXPECT_EQ(srv.quit(), 0);
}

// A node closed and constructed again in the same process under the same
// names has the same mailbox name, to which a server may still keep a link:
// the new node's first call, read by a busy server in the batch after it,
// must still get its answer. The server takes no look at the system for a
// peer that keeps the wake area: such a peer's closed mailbox refuses the
// next append on its own.
TEST(PeerLinks, NodeRenewedInItsProcessGetsTheAnswerToItsFirstCall) {
    const std::string system = unique_name("S");
    Peer srv = Peer::serve("srv", system);
    const std::string rx = unique_name("rx");
    auto caller = std::make_unique<Tarnvel>("caller", system, rx, DEFAULT_RECV_BYTES);
    ASSERT_EQ(call_wait(*caller, "srv", srv.pid(), "echo", "kept").status, STATUS_OK);
    platform::OpenFailure why = platform::OpenFailure::local;
    auto kept = platform::PeerLink::open(mailbox_name(rx, caller->pid()), caller->pid(), why);
    ASSERT_TRUE(kept.has_value());
    EXPECT_TRUE(keeps_wake_area(kept->view(), kept->size()));

    ChildProcess other = Peer::launch({"call", "other", system, unique_name("rx"), "65536", "srv",
                                       std::to_string(srv.pid()), "block", "", "10000"});
    ASSERT_EQ(srv.expect_line(), "blocked");
    caller.reset();
    const uint8_t frame[8] = {};
    EXPECT_EQ(append_record(kept->view(), kept->size(), frame), AppendResult::bad_header);
    caller = std::make_unique<Tarnvel>("caller", system, rx, DEFAULT_RECV_BYTES);
    auto renewed = caller->call("srv", srv.pid(), "echo", to_bytes("renewed"), LONG_TIMEOUT_MS);
    srv.send("release");
    EXPECT_EQ(other.read_line(std::chrono::seconds(30)), "result 0 released");
    const CallResult r = await(renewed);
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), "renewed");
    EXPECT_EQ(srv.quit(), 0);
}

// More mailboxes than the cache may keep, visited in turn twice: every
// message lands in its own mailbox, and the cache stays within its bound.
TEST(PeerLinks, CacheBeyondItsBoundStillLeadsEachMessageHome) {
    boost::asio::io_context io;
    constexpr size_t MAILBOXES = 5;
    constexpr size_t BOUND = 2;
    std::vector<std::string> names;
    std::vector<platform::SharedMapping> mailboxes;
    std::vector<std::unique_ptr<platform::MailboxEvent>> events;
    for (size_t i = 0; i < MAILBOXES; ++i) {
        names.push_back(unique_name("m"));
        mailboxes.push_back(platform::SharedMapping::create(names.back(), 4096, "mailbox"));
        init_mailbox(mailboxes.back().view(), mailboxes.back().size());
        events.push_back(std::make_unique<platform::MailboxEvent>(io, names.back()));
    }

    // The least recently used link goes first: the first one, used again
    // after the second, stays when a third comes.
    PeerCache lru(BOUND);
    for (const size_t i : {0, 1, 0, 2}) {
        platform::OpenFailure why = platform::OpenFailure::local;
        ASSERT_NE(lru.get(names[i], platform::current_process_id(), why), nullptr) << i;
        lru.release_unkept();
    }
    if (lru.size() > 0) {  // where this platform lets links be kept
        EXPECT_NE(lru.current(names[0]), nullptr);
        EXPECT_EQ(lru.current(names[1]), nullptr);
        EXPECT_NE(lru.current(names[2]), nullptr);
    }

    PeerCache cache(BOUND);
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < MAILBOXES; ++i) {
            platform::OpenFailure why = platform::OpenFailure::local;
            platform::PeerLink* link = cache.get(names[i], platform::current_process_id(), why);
            ASSERT_NE(link, nullptr) << i;
            const Bytes frame(10 + i, static_cast<uint8_t>(i));
            EXPECT_EQ(append_record(link->view(), link->size(), frame), AppendResult::ok) << i;
            link->signal();
            cache.release_unkept();
            EXPECT_LE(cache.size(), BOUND);
        }
    }
    for (size_t i = 0; i < MAILBOXES; ++i) {
        std::vector<Bytes> frames;
        Bytes buffer;
        DrainState state;
        drain_records(mailboxes[i].view(), mailboxes[i].size(), buffer, state,
                      [&](const Bytes& f) { frames.push_back(f); });
        EXPECT_EQ(frames, (std::vector<Bytes>(2, Bytes(10 + i, static_cast<uint8_t>(i))))) << i;
    }
}

}  // namespace
}  // namespace tarnvel::test
