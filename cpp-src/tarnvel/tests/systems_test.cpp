// The systems of the machine seen from outside: present, existing, and who
// is in a book, without joining and without making anything.
#include "systems.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace tarnvel::test {
namespace {

bool listed(const std::vector<SystemInfo>& systems, const std::string& name) {
    return std::any_of(systems.begin(), systems.end(), [&](const SystemInfo& s) { return s.name == name; });
}

TEST(Systems, ALiveSystemIsSeenFromOutsideAndGoneAfterItsLastNode) {
    const std::string system = unique_name("S");
    const std::string recv = unique_name("rx");
    {
        Tarnvel node("first", system, recv, 4096);
        EXPECT_TRUE(system_exists(system));
        const std::optional<std::vector<NodeInfo>> nodes = system_nodes(system);
        ASSERT_TRUE(nodes.has_value());
        ASSERT_EQ(nodes->size(), 1u);
        EXPECT_EQ((*nodes)[0].node_name, "first");
        EXPECT_EQ((*nodes)[0].pid, this_process_id());
        EXPECT_EQ((*nodes)[0].mailbox_name, recv + "_" + std::to_string(this_process_id()));
        // The node's own listing carries the mailbox too.
        EXPECT_EQ(node.list_nodes().at(0).mailbox_name, (*nodes)[0].mailbox_name);

        const std::vector<SystemInfo> systems = list_systems();
        EXPECT_TRUE(listed(systems, system));
        EXPECT_TRUE(std::is_sorted(systems.begin(), systems.end(),
                                   [](const SystemInfo& a, const SystemInfo& b) { return a.prefix < b.prefix; }));
    }
    EXPECT_FALSE(system_exists(system));
    EXPECT_FALSE(system_nodes(system).has_value());
    EXPECT_FALSE(listed(list_systems(), system));
}

TEST(Systems, LookingMakesNothing) {
    const std::string system = unique_name("Nobody");
    EXPECT_FALSE(system_exists(system));
    EXPECT_FALSE(system_nodes(system).has_value());
    // Neither look left a book behind for the next one to find.
    EXPECT_FALSE(system_exists(system));
    EXPECT_FALSE(listed(list_systems(), system));
}

TEST(Systems, NamesNoNodeCouldHaveAreRefusedLikeTheConstructorDoes) {
    const auto kind_and_message = [](const std::string& system) -> std::pair<int, std::string> {
        try {
            (void)system_exists(system);
        } catch (const Error& e) {
            return {static_cast<int>(e.kind()), e.what()};
        }
        return {-1, ""};
    };
    const int invalid = static_cast<int>(ErrorKind::invalid_argument);
    EXPECT_EQ(kind_and_message("a-b"), std::make_pair(invalid, std::string("invalid system name")));
    EXPECT_EQ(kind_and_message(""), std::make_pair(invalid, std::string("invalid system name")));
    EXPECT_EQ(kind_and_message(std::string(MAX_SYSTEM_NAME_BYTES + 1, 'x')),
              std::make_pair(invalid, std::string("system name too long")));
    EXPECT_THROW((void)system_nodes("a b"), Error);
}

TEST(Systems, NameChecksAgreeWithTheLimits) {
    EXPECT_TRUE(is_valid_node_name(std::string(MAX_NODE_NAME_BYTES, 'n')));
    EXPECT_FALSE(is_valid_node_name(std::string(MAX_NODE_NAME_BYTES + 1, 'n')));
    EXPECT_FALSE(is_valid_node_name(""));
    EXPECT_TRUE(is_valid_node_name("any bytes \xff"));
    EXPECT_TRUE(is_valid_system_name(std::string(MAX_SYSTEM_NAME_BYTES, 's')));
    EXPECT_FALSE(is_valid_system_name(std::string(MAX_SYSTEM_NAME_BYTES + 1, 's')));
    EXPECT_FALSE(is_valid_system_name(""));
    EXPECT_FALSE(is_valid_system_name("a.b"));
    EXPECT_TRUE(is_valid_system_name("Az_09"));
}

TEST(Systems, WhichMappingsAreBooks) {
    const auto of = [](std::string name, bool cut) {
        return system_of_mapping({std::move(name), cut, "platform name", "where"});
    };
    const std::optional<SystemInfo> whole = of("demo_tarnvel_v_0_0_1", false);
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(whole->name, "demo");
    EXPECT_EQ(whole->prefix, "demo");
    EXPECT_EQ(whole->object_name, "platform name");
    EXPECT_EQ(whole->location, "where");

    const std::optional<SystemInfo> cut = of("Long_name_cut_here", true);
    ASSERT_TRUE(cut.has_value());
    EXPECT_TRUE(cut->name.empty());
    EXPECT_EQ(cut->prefix, "Long_name_cut_here");

    EXPECT_FALSE(of("rx_4242", false).has_value());              // a mailbox
    EXPECT_FALSE(of("a-b_tarnvel_v_0_0_1", false).has_value());  // no system has that name
    EXPECT_FALSE(of("_tarnvel_v_0_0_1", false).has_value());     // nor an empty one
    EXPECT_FALSE(of("server.demo \xff", true).has_value());      // a long mailbox name, cut
}

}  // namespace
}  // namespace tarnvel::test
