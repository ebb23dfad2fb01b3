// A node whose process forks a worker that keeps everything it inherited and
// only idles, as the workers of a forking process pool do.
#include "held_names.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

namespace tarnvel::test {
namespace {

// Kills a process when the test ends, however it ends; reaps it when it is
// our own child.
class KillAtEnd {
public:
    KillAtEnd(pid_t pid, bool own_child) noexcept : pid_(pid), own_child_(own_child) {}
    KillAtEnd(const KillAtEnd&) = delete;
    KillAtEnd& operator=(const KillAtEnd&) = delete;
    ~KillAtEnd() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        if (own_child_) {
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }

private:
    pid_t pid_;
    bool own_child_;
};

// The pid a child sends down the pipe, or -1 when none comes in time.
pid_t receive_pid(int fd) {
    pollfd readable{fd, POLLIN, 0};
    pid_t pid = -1;
    if (::poll(&readable, 1, static_cast<int>(std::chrono::milliseconds(WAIT_LIMIT).count())) != 1 ||
        ::read(fd, &pid, sizeof pid) != static_cast<ssize_t>(sizeof pid))
        return -1;
    return pid;
}

[[noreturn]] void idle_forever() {
    for (;;) ::pause();
}

TEST(ForkPosix, CallsToAKilledNodeFailAlthoughItsWorkerLives) {
    const std::string system = unique_name("S");
    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);

    // Forked before this process starts threads of its own, so that the child
    // may start its node's.
    const pid_t victim = ::fork();
    ASSERT_GE(victim, 0);
    if (victim == 0) {
        try {
            Tarnvel node("victim", system, unique_name("rx"), DEFAULT_RECV_BYTES);
            node.register_method({{"name", "echo"}}, [](Bytes b) { return b; });
            if (::fork() == 0) {
                // Sent once fork() has returned here.
                const pid_t worker = ::getpid();
                if (::write(pipe_fds[1], &worker, sizeof worker) != static_cast<ssize_t>(sizeof worker)) ::_exit(2);
                idle_forever();
            }
            idle_forever();
        } catch (...) {
            ::_exit(1);
        }
    }
    KillAtEnd victim_end(victim, true);
    const pid_t worker = receive_pid(pipe_fds[0]);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    ASSERT_GT(worker, 0);
    KillAtEnd worker_end(worker, false);

    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    const auto victim_pid = static_cast<uint32_t>(victim);
    ASSERT_EQ(call_wait(me, "victim", victim_pid, "echo", "alive").status, STATUS_OK);

    ::kill(victim, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(victim, &status, 0), victim);
    ASSERT_EQ(::kill(worker, 0), 0) << "the worker is still there";

    // The dead node's mailbox went with it, the worker's copies
    // notwithstanding: the call fails at once instead of timing out, and the
    // dead node's slot is purged.
    EXPECT_EQ(call_wait(me, "victim", victim_pid, "echo", "dead", 5000).status, STATUS_EXEC_FAILED);
    const auto nodes = me.list_nodes();
    EXPECT_TRUE(std::none_of(nodes.begin(), nodes.end(), [&](const NodeInfo& n) { return n.pid == victim_pid; }));
}

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
