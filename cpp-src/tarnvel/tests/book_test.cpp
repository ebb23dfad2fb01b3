// The book as other processes see it: the raw slot bytes, the order of the
// listing, one slot per process, and slots coming back after a purge.
#include "names.hpp"
#include "platform/platform.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/raw_book.hpp"
#include "support/timing.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace tarnvel::test {
namespace {

std::vector<std::pair<std::string, uint32_t>> listing(const std::vector<NodeInfo>& nodes) {
    std::vector<std::pair<std::string, uint32_t>> out;
    for (const auto& n : nodes) out.emplace_back(n.node_name, n.pid);
    return out;
}

std::vector<std::pair<std::string, uint32_t>> listing(const std::vector<RawSlot>& slots) {
    std::vector<std::pair<std::string, uint32_t>> out;
    for (const auto& s : slots) out.emplace_back(s.node_name, s.pid);
    return out;
}

std::optional<RawSlot> slot_of(RawBook& book, uint32_t pid) {
    for (auto& s : book.slots())
        if (s.pid == pid) return s;
    return std::nullopt;
}

std::string mailbox_of(const std::string& recv, uint32_t pid) { return recv + "_" + std::to_string(pid); }

TEST(Book, SlotBytes) {
    const std::string system = unique_name("S");
    const std::string recv = unique_name("rx");
    const std::string name = std::string(63, 'N');
    std::optional<Tarnvel> node(std::in_place, name, system, recv, DEFAULT_RECV_BYTES);
    const uint32_t pid = node->pid();
    RawBook book(system);  // keeps the book alive after the node is gone

    Bytes bytes = book.snapshot();
    ASSERT_EQ(bytes.size(), 32768u);
    // The first node of a system takes slot 0; everything else is still zero.
    const uint8_t* slot = bytes.data();
    EXPECT_EQ(slot[0], static_cast<uint8_t>(pid));
    EXPECT_EQ(slot[1], static_cast<uint8_t>(pid >> 8));
    EXPECT_EQ(slot[2], static_cast<uint8_t>(pid >> 16));
    EXPECT_EQ(slot[3], static_cast<uint8_t>(pid >> 24));
    EXPECT_EQ(std::string(slot + 4, slot + 4 + 63), name);
    EXPECT_EQ(slot[67], 0);
    const std::string mailbox = mailbox_of(recv, pid);
    EXPECT_EQ(std::string(slot + 68, slot + 68 + mailbox.size()), mailbox);
    EXPECT_TRUE(std::all_of(slot + 68 + mailbox.size(), slot + 196, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(bytes.begin() + 196, bytes.end(), [](uint8_t b) { return b == 0; }));

    node->close();
    bytes = book.snapshot();
    EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; }));
}

TEST(Book, ListingFollowsSlotOrder) {
    const std::string system = unique_name("S");
    Peer a = Peer::hold("a", system);
    Peer b = Peer::hold("b", system);
    Peer c = Peer::hold("c", system);
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    RawBook book(system);

    using Listing = std::vector<std::pair<std::string, uint32_t>>;
    EXPECT_EQ(listing(me.list_nodes()), (Listing{{"a", a.pid()}, {"b", b.pid()}, {"c", c.pid()}, {"me", me.pid()}}));
    auto slots = book.slots();
    ASSERT_EQ(slots.size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(slots[i].index, i);
    EXPECT_EQ(slots[1].mailbox_name, b.mailbox_name());

    ASSERT_EQ(b.quit(), 0);
    EXPECT_EQ(listing(me.list_nodes()), (Listing{{"a", a.pid()}, {"c", c.pid()}, {"me", me.pid()}}));

    // The first empty slot is taken, so the listing is no longer the order of arrival.
    Peer d = Peer::hold("d", system);
    EXPECT_EQ(listing(me.list_nodes()), (Listing{{"a", a.pid()}, {"d", d.pid()}, {"c", c.pid()}, {"me", me.pid()}}));
    EXPECT_EQ(listing(me.list_nodes()), listing(book.slots()));
    EXPECT_EQ(book.slots()[1].mailbox_name, d.mailbox_name());

    // The last slot (at 166 * 196 = 32536) is listed too, while its process
    // lives; one whose process is gone is left out and cleared.
    book.write_slot(166, d.pid(), "d too", "nowhere_1");
    auto nodes = me.list_nodes();
    ASSERT_EQ(nodes.size(), 5u);
    EXPECT_EQ(nodes.back().node_name, "d too");
    book.write_slot(166, 0x7FFFFFF1u, "ghost", "nowhere_1");
    EXPECT_EQ(me.list_nodes().size(), 4u);
    EXPECT_EQ(book.slots().size(), 4u);
}

TEST(Book, LeftoverSlotOfOwnPidIsReused) {
    const std::string system = unique_name("S");
    Peer first = Peer::hold("first", system);
    RawBook book(system);
    const uint32_t pid = platform::current_process_id();
    // A dead process with this pid never cleared its slot.
    book.write_slot(5, pid, "old name that was longer", "old_mailbox_name_that_was_longer");

    const std::string recv = unique_name("rx");
    Tarnvel me("me", system, recv, DEFAULT_RECV_BYTES);
    auto slots = book.slots();
    ASSERT_EQ(slots.size(), 2u);
    EXPECT_EQ(slots[0].pid, first.pid());
    EXPECT_EQ(slots[1].index, 5u);
    EXPECT_EQ(slots[1].pid, pid);
    EXPECT_EQ(slots[1].node_name, "me");
    EXPECT_EQ(slots[1].mailbox_name, mailbox_of(recv, pid));
    // The rewrite zeroed the rest of the longer old texts.
    Bytes bytes = book.snapshot();
    const uint8_t* slot = bytes.data() + 5 * 196;
    EXPECT_TRUE(std::all_of(slot + 4 + 2, slot + 68, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(slot + 68 + slots[1].mailbox_name.size(), slot + 196, [](uint8_t x) { return x == 0; }));
}

TEST(Book, SecondNodeOfAProcessIsRefused) {
    const std::string system = unique_name("S");
    const std::string recv_one = unique_name("rx");
    std::optional<Tarnvel> one(std::in_place, "one", system, recv_one, DEFAULT_RECV_BYTES);
    const auto second = [&] { Tarnvel two("two", system, unique_name("rx"), DEFAULT_RECV_BYTES); };
    EXPECT_EQ(error_of(second), "this process already has a node in this system");
    try {
        second();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::already_joined);
    }
    // The refusal left the first node's slot alone, and other systems are free.
    RawBook book(system);
    auto slots = book.slots();
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_EQ(slots[0].node_name, "one");
    EXPECT_EQ(slots[0].mailbox_name, mailbox_of(recv_one, one->pid()));
    EXPECT_EQ(call_wait(*one, "one", one->pid(), "sys.list_nodes").status, STATUS_OK);
    { Tarnvel elsewhere("two", unique_name("S"), unique_name("rx"), DEFAULT_RECV_BYTES); }

    // Once the first has closed, the system takes a node of this process again.
    one->close();
    Tarnvel two("two", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    EXPECT_EQ(two.list_nodes().size(), 1u);
}

// Waits for a refresh, in three systems at once. The period is shortened
// (for the peer too) but stays well above the few steps between clearing a
// slot and looking at it, which a refresh must not fall between.
TEST(Book, RefreshRestoresClearedSlot) {
    ScopedTiming short_refresh({.book_refresh_period = std::chrono::seconds(1)});
    // A node of this process whose slot was cleared from outside.
    const std::string system_one = unique_name("S");
    const std::string recv_one = unique_name("rx");
    Tarnvel one("one", system_one, recv_one, DEFAULT_RECV_BYTES);
    RawBook book_one(system_one);
    book_one.purge(one.pid());
    EXPECT_TRUE(book_one.slots().empty());

    // A refused second node of this process leaves the first one's slot alone.
    const std::string system_three = unique_name("S");
    const std::string recv_three = unique_name("rx");
    Tarnvel three("three", system_three, recv_three, DEFAULT_RECV_BYTES);
    EXPECT_EQ(error_of([&] { Tarnvel four("four", system_three, unique_name("rx"), DEFAULT_RECV_BYTES); }),
              "this process already has a node in this system");
    RawBook book_three(system_three);
    EXPECT_EQ(book_three.slots().size(), 1u);

    // A node of another process whose slot this process purged.
    const std::string system_peer = unique_name("S");
    Peer peer = Peer::hold("peer", system_peer);
    RawBook book_peer(system_peer);
    book_peer.purge(peer.pid());
    EXPECT_TRUE(book_peer.slots().empty());

    const auto restored = [](RawBook& book, uint32_t pid, const std::string& name, const std::string& mailbox) {
        return eventually(
            [&] {
                auto s = slot_of(book, pid);
                return s && s->node_name == name && s->mailbox_name == mailbox;
            },
            std::chrono::seconds(8));
    };
    EXPECT_TRUE(restored(book_one, one.pid(), "one", mailbox_of(recv_one, one.pid())));
    EXPECT_TRUE(restored(book_three, three.pid(), "three", mailbox_of(recv_three, three.pid())));
    EXPECT_TRUE(restored(book_peer, peer.pid(), "peer", peer.mailbox_name()));
    EXPECT_EQ(call_wait(one, "one", one.pid(), "sys.list_nodes").status, STATUS_OK);
    EXPECT_EQ(call_wait(three, "three", three.pid(), "sys.list_nodes").status, STATUS_OK);
}

TEST(Book, ClosedNodeRefusesEverything) {
    const std::string system = unique_name("S");
    Tarnvel node("n", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    node.close();
    node.close();  // a second close does nothing
    EXPECT_EQ(error_of([&] { node.list_nodes(); }), "Tarnvel is closed");
    EXPECT_EQ(error_of([&] { node.call("n", node.pid(), "sys.list_nodes", {}, 1000); }), "Tarnvel is closed");
    EXPECT_EQ(error_of([&] { node.call("nobody", 1, "x", {}, 1000); }), "Tarnvel is closed");
    EXPECT_EQ(error_of([&] { node.register_method({}, [](Bytes b) { return b; }); }), "Tarnvel is closed");
    EXPECT_EQ(error_of([&] {
                  node.register_method({{"name", "fine"}}, [](Bytes b) { return b; });
              }),
              "Tarnvel is closed");
    EXPECT_EQ(node.pid(), platform::current_process_id());
}

TEST(Book, NamesCanBeCreatedAgainAfterClose) {
    const std::string system = unique_name("S");
    const std::string recv = unique_name("rx");
    Peer keeper = Peer::hold("keeper", system);  // keeps the book alive throughout
    for (int round = 0; round < 3; ++round) {
        Tarnvel node("again", system, recv, DEFAULT_RECV_BYTES);
        ASSERT_TRUE(node.register_method({{"name", "echo"}}, [](Bytes b) { return b; }));
        auto r = call_wait(node, "again", node.pid(), "echo", "round");
        EXPECT_EQ(r.status, STATUS_OK) << round;
        EXPECT_EQ(to_text(r.result), "round");
        EXPECT_EQ(node.list_nodes().size(), 2u);
    }
    // Also with the whole system gone in between.
    const std::string lonely = unique_name("S");
    for (int round = 0; round < 2; ++round) {
        Tarnvel node("again", lonely, recv, DEFAULT_RECV_BYTES);
        EXPECT_EQ(call_wait(node, "again", node.pid(), "sys.list_methods").status, STATUS_OK);
    }
}

}  // namespace
}  // namespace tarnvel::test
