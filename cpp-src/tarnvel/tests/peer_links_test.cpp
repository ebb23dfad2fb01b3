// Links to peers kept between messages: a sender that keeps a peer's mailbox
// open must still notice a peer that died or came back, and must never keep
// the peer's objects alive for anyone else.
#include "peer_cache.hpp"
#include "platform/platform.hpp"
#include "ring.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/platform_extras.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

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

TEST(PeerLinks, KilledPeerEndsTheCallIsPurgedAndItsMailboxOpensForNobody) {
    const std::string system = unique_name("S");
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    Peer victim = Peer::serve("victim", system);
    ASSERT_EQ(call_wait(me, "victim", victim.pid(), "echo", "kept").status, STATUS_OK);

    victim.kill();
    ASSERT_TRUE(victim.process().wait(WAIT_LIMIT).has_value());
    const CallResult r = call_wait(me, "victim", victim.pid(), "echo", "anyone?");
    EXPECT_EQ(r.status, STATUS_EXEC_FAILED);
    EXPECT_FALSE(listed(me, victim.pid()));
    // While this node lives on with whatever it kept.
    EXPECT_FALSE(platform::PeerMailbox::open(victim.mailbox_name()).has_value());
}

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
