// fork() in a process whose other threads hold the node library's own locks.
#include "held_names.hpp"
#include "support/node_helpers.hpp"
#include "support/unique_names.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

namespace tarnvel::test {
namespace {

// fork() while another thread takes and gives back mailbox names, as the
// constructions and closes of nodes do: whatever that thread was doing, the
// child's names are its own, and its first construction does not wait for
// a lock that no thread of the child will ever release.
TEST(ForkPosix, ChildTakesMailboxNamesWhateverAnotherThreadWasDoing) {
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        for (unsigned i = 0; !stop; ++i) {
            const std::string name = "churn_" + std::to_string(i % 64);
            if (held_mailbox_names().take(name)) held_mailbox_names().give_back(name);
        }
    });
    int failures = 0;
    for (int i = 0; i < 50 && failures == 0; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            auto& names = held_mailbox_names();
            const bool own = names.take("churn_1") && !names.take("churn_1");
            names.give_back("churn_1");
            ::_exit(own ? 0 : 1);
        }
        ASSERT_GT(child, 0);
        int status = 0;
        if (!eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; }, std::chrono::seconds(5))) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures;
    }
    stop = true;
    churn.join();
    EXPECT_EQ(failures, 0) << "a child hung or found the parent's names";
}

}  // namespace
}  // namespace tarnvel::test
