// The caller's names and sizes: what a node accepts, what it refuses with
// which message, and which rule wins when several are broken.
#include "names.hpp"
#include "platform/platform.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/platform_extras.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarnvel::test {
namespace {

std::string padded(std::string s, size_t length, char fill) {
    s.resize(length, fill);
    return s;
}

std::string construction_error(const std::string& node, const std::string& system, const std::string& recv,
                               uint64_t bytes) {
    return error_of([&] { Tarnvel n(node, system, recv, bytes); });
}

// A recv name that makes the mailbox name exactly `length` bytes long.
std::string recv_for_mailbox_length(size_t length) {
    const size_t pid_digits = std::to_string(platform::current_process_id()).size();
    return padded(unique_name("rx"), length - 1 - pid_digits, 'y');
}

TEST(Names, DerivedObjectNames) {
    EXPECT_EQ(mailbox_name("rx", 4242), "rx_4242");
    EXPECT_EQ(mailbox_event_name("rx_4242"), "rx_4242_e");
    EXPECT_EQ(book_name("Sys_1"), "Sys_1_tarnvel_v_0_0_1");
    EXPECT_EQ(book_mutex_name("Sys_1"), "Sys_1_tarnvelmtx_v_0_0_1");
    EXPECT_EQ(mailbox_name("", 1), "_1");
    // The widest pid has 10 digits: 116 + 1 + 10 = 127 bytes, the most a book slot holds.
    EXPECT_EQ(mailbox_name(std::string(116, 'r'), 4294967295u).size(), 127u);
    EXPECT_EQ(error_of([] { mailbox_name(std::string(117, 'r'), 4294967295u); }), "recv shm name too long");
}

TEST(Names, NodeNameLength) {
    const std::string system = unique_name("S");
    const std::string recv = unique_name("rx");
    EXPECT_EQ(construction_error("", system, recv, DEFAULT_RECV_BYTES), "invalid node name");
    EXPECT_EQ(construction_error(std::string(64, 'n'), system, recv, DEFAULT_RECV_BYTES), "invalid node name");

    // Any bytes are fine, as long as they fit the 64-byte book field with its NUL.
    const std::string name = padded("n\xC3\xA9 w\xFF rld ", 63, '#');
    Tarnvel node(name, system, recv, DEFAULT_RECV_BYTES);
    auto nodes = node.list_nodes();
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].node_name, name);
    EXPECT_EQ(nodes[0].pid, node.pid());
    EXPECT_EQ(node.pid(), platform::current_process_id());
}

TEST(Names, SystemNameCharactersAndLength) {
    const std::string recv = unique_name("rx");
    EXPECT_EQ(construction_error("n", "", recv, DEFAULT_RECV_BYTES), "invalid system name");
    // '@', '[', '`' and '{' sit right next to the letters; non-ASCII bytes are no letters either.
    for (const char* bad : {"a-b", "a b", "a.b", "a@", "a[", "a`", "a{", "caf\xC3\xA9", "a\xE1"})
        EXPECT_EQ(construction_error("n", std::string(bad) + unique_name("_"), recv, DEFAULT_RECV_BYTES),
                  "invalid system name")
            << bad;

    const std::string longest = padded(unique_name("S"), 240, 'x');
    {
        Tarnvel node("n", longest, recv, DEFAULT_RECV_BYTES);
        EXPECT_EQ(node.list_nodes().size(), 1u);
    }
    const std::string too_long = padded(unique_name("S"), 241, 'x');
    EXPECT_EQ(construction_error("n", too_long, recv, DEFAULT_RECV_BYTES), "system name too long");
    // The character rule is checked before the length.
    EXPECT_EQ(construction_error("n", too_long + "-", recv, DEFAULT_RECV_BYTES), "invalid system name");
    EXPECT_EQ(construction_error("n", "-" + too_long, recv, DEFAULT_RECV_BYTES), "invalid system name");
}

TEST(Names, FirstBrokenRuleWins) {
    const std::string system = unique_name("S");
    const std::string long_recv = recv_for_mailbox_length(128);
    EXPECT_EQ(construction_error("", "a-b", long_recv, 10), "invalid node name");
    EXPECT_EQ(construction_error("n", "a-b", long_recv, 10), "invalid system name");
    EXPECT_EQ(construction_error("n", padded(unique_name("S"), 241, 'x'), long_recv, 10), "system name too long");
    EXPECT_EQ(construction_error("n", system, long_recv, 10), "recv shm name too long");
    EXPECT_EQ(construction_error("n", system, long_recv, 1ull << 40), "recv shm name too long");
    EXPECT_EQ(construction_error("n", system, unique_name("rx"), 0), "recv shm too small");

    // Validation comes before any object: the refused nodes left no book behind.
    EXPECT_FALSE(platform::PeerMailbox::open(book_name(system)).has_value());
}

TEST(Names, MailboxNameLength) {
    const std::string system = unique_name("S");
    EXPECT_EQ(construction_error("n", system, recv_for_mailbox_length(128), DEFAULT_RECV_BYTES),
              "recv shm name too long");

    // Any bytes are fine in the recv name.
    const std::string recv = recv_for_mailbox_length(127);
    Tarnvel node("n", system, recv, DEFAULT_RECV_BYTES);
    const std::string mailbox = recv + "_" + std::to_string(node.pid());
    ASSERT_EQ(mailbox.size(), 127u);
    auto opened = platform::PeerMailbox::open(mailbox);
    ASSERT_TRUE(opened.has_value());
    EXPECT_GE(opened->size(), DEFAULT_RECV_BYTES);
}

TEST(Names, RecvShmNameWithOddBytes) {
    const std::string system = unique_name("S");
    const std::string recv = unique_name("r x/%\xC3\xA9");
    Tarnvel node("n", system, recv, DEFAULT_RECV_BYTES);
    EXPECT_TRUE(platform::PeerMailbox::open(recv + "_" + std::to_string(node.pid())).has_value());
    ASSERT_TRUE(node.register_method(boost::json::object{{"name", "echo"}}, [](Bytes b) { return b; }));
    auto r = call_wait(node, "n", node.pid(), "echo", "abc");
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), "abc");
}

TEST(Names, RecvShmBytesBounds) {
    const std::string system = unique_name("S");
    EXPECT_EQ(construction_error("n", system, unique_name("rx"), 80), "recv shm too small");
    EXPECT_EQ(construction_error("n", system, unique_name("rx"), 4294967296ull), "recv shm too large");
    EXPECT_EQ(construction_error("n", system, unique_name("rx"), ~0ull), "recv shm too large");

    // The smallest mailbox still carries small calls: a 29-byte request record
    // and a 24-byte answer record fit its 65-byte ring.
    Tarnvel node("n", system, unique_name("rx"), 81);
    ASSERT_TRUE(node.register_method(boost::json::object{{"name", "e"}}, [](Bytes) { return Bytes{}; }));
    auto r = call_wait(node, "n", node.pid(), "e");
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_TRUE(r.result.empty());
    // A request that cannot fit the ring at all fails at once instead of timing out.
    auto big = call_wait(node, "n", node.pid(), "e", std::string(40, 'x'));
    EXPECT_EQ(big.status, STATUS_DELIVER_FAILED);
}

}  // namespace
TEST(Names, NulBytesAreRefused) {
    using namespace std::string_literals;
    const std::string system = unique_name("S");
    const std::string recv = unique_name("rx");
    // Cut at the NUL, the book would list another name than the node's.
    EXPECT_EQ(construction_error("a\0b"s, system, recv, DEFAULT_RECV_BYTES), "invalid node name");
    EXPECT_EQ(construction_error("\0"s, system, recv, DEFAULT_RECV_BYTES), "invalid node name");
    EXPECT_EQ(construction_error("n", system + "\0x"s, recv, DEFAULT_RECV_BYTES), "invalid system name");
    EXPECT_EQ(construction_error("n", system, recv + "\0x"s, DEFAULT_RECV_BYTES), "invalid recv shm name");
    EXPECT_EQ(error_of([] { mailbox_name("a\0b"s, 1); }), "invalid recv shm name");
    EXPECT_FALSE(platform::PeerMailbox::open(book_name(system)).has_value());
}

}  // namespace tarnvel::test
