// A descriptor shortage of our own is no dead peer.
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

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

}  // namespace
}  // namespace tarnvel::test
