// A whole book of processes, and what a refused newcomer leaves behind.
#include "names.hpp"
#include "platform/platform.hpp"
#include "support/peer.hpp"
#include "support/platform_extras.hpp"
#include "support/raw_book.hpp"
#include "support/shm_files.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tarnvel::test {
namespace {

constexpr int EXIT_CONSTRUCTION_FAILED = 3;  // tarnvel_peer's

TEST(BookPosix, DirectoryFullAtTheHundredSixtyEighthProcess) {
    const std::string system = unique_name("S");
    ChildProcess holders = Peer::launch({"hold-many", "167", "h", system, unique_name("rx") + "_", "4096"});
    std::set<uint32_t> pids;
    while (pids.size() < 167) {
        auto line = holders.read_line(std::chrono::seconds(60));
        ASSERT_TRUE(line.has_value()) << "only " << pids.size() << " holders started";
        ASSERT_EQ(line->rfind("ready ", 0), 0u) << *line;
        pids.insert(static_cast<uint32_t>(std::stoul(line->substr(6))));
    }
    RawBook book(system);
    std::set<uint32_t> in_book;
    for (auto& s : book.slots()) in_book.insert(s.pid);
    EXPECT_EQ(in_book, pids);

    const std::string recv = unique_name("late");
    ChildProcess late = Peer::launch({"hold", "late", system, recv, "4096"});
    auto line = late.read_line(std::chrono::seconds(30));
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(*line, "error directory full");

    // Still alive, and holding nothing: no mailbox, no event, no book or mutex handle.
    const std::string mailbox = recv + "_" + std::to_string(late.pid());
    EXPECT_FALSE(shm_object_exists(SHM_MAPPING, mailbox));
    EXPECT_FALSE(shm_object_exists(SHM_EVENT, mailbox + "_e"));
    EXPECT_TRUE(shm_files_containing(recv).empty());
    EXPECT_TRUE(shm_files_held_by(late.pid()).empty());
    EXPECT_FALSE(platform::PeerMailbox::open(mailbox).has_value());
    EXPECT_EQ(book.slots().size(), 167u);
    for (auto& s : book.slots()) EXPECT_NE(s.pid, late.pid());

    late.close_stdin();
    EXPECT_EQ(late.wait(std::chrono::seconds(10)), EXIT_CONSTRUCTION_FAILED);
    holders.close_stdin();
    EXPECT_EQ(holders.wait(std::chrono::seconds(60)), 0);
}

}  // namespace
}  // namespace tarnvel::test
