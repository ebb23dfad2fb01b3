// A descriptor shortage of our own is no dead peer; a live owner that
// removes its objects is noticed before the next message.
#include "platform/platform.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/raw_mailbox.hpp"
#include "support/shm_files.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnvel::test {
namespace {

TEST(PeerLinksPosix, OpenFailingForWantOfDescriptorsLeavesThePeerInTheBook) {
    const std::string system = unique_name("S");
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    Peer srv = Peer::serve("srv", system);

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);

    const CallResult starved = call_wait(me, "srv", srv.pid(), "echo", "x");

    for (int fd : fillers) ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(starved.status, STATUS_DELIVER_FAILED);
    bool listed = false;
    for (const auto& n : me.list_nodes()) listed = listed || n.pid == srv.pid();
    EXPECT_TRUE(listed);
    EXPECT_EQ(call_wait(me, "srv", srv.pid(), "echo", "again").status, STATUS_OK);
    EXPECT_EQ(srv.quit(), 0);
}

// An owner written from the formats alone may remove its mailbox and event
// without clearing the magic; a kept link must not go on writing into them.
TEST(PeerLinksPosix, KeptLinkNoticesRemovedObjectsOfALiveOwnerAtOnce) {
    for (const bool event_too : {true, false}) {
        const std::string name = unique_name("rx");
        boost::asio::io_context io;
        auto mailbox = platform::SharedMapping::create(name, 4096, "mailbox");
        write_mailbox_header(mailbox.view(), {RAW_MAILBOX_MAGIC, 4096 - RAW_HEADER_SIZE, 0, 0});
        platform::MailboxEvent event(io, name);
        platform::OpenFailure why = platform::OpenFailure::local;
        auto link = platform::PeerLink::open(name, platform::current_process_id(), why);
        ASSERT_TRUE(link);
        ASSERT_TRUE(link->current());
        // A change of attributes alone is no removal.
        ASSERT_EQ(::chmod(shm_object_path(SHM_EVENT, name + "_e").c_str(), 0600), 0);
        EXPECT_TRUE(link->current());
        EXPECT_TRUE(link->current());

        ASSERT_EQ(::unlink(shm_object_path(SHM_MAPPING, name).c_str()), 0);
        if (event_too) {
            ASSERT_EQ(::unlink(shm_object_path(SHM_EVENT, name + "_e").c_str()), 0);
        }
        EXPECT_FALSE(link->current()) << event_too;
    }
}

}  // namespace
}  // namespace tarnvel::test
