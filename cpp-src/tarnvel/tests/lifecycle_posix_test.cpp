// Processes that die without closing, locks they die holding, the traces a
// finished system leaves in /dev/shm, and nodes inherited through fork().
#include "names.hpp"
#include "platform/platform.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/platform_extras.hpp"
#include "support/raw_book.hpp"
#include "support/raw_mailbox.hpp"
#include "support/shm_files.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

namespace tarnvel::test {
namespace {

TEST(LifecyclePosix, MailboxSmallerThanItsHeaderCountsAsGone) {
    const std::string system = unique_name("S");
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    const std::string tiny = unique_name("tiny");
    auto tiny_map = platform::SharedMapping::create(tiny, 8, "mailbox");
    RawBook book(system);
    book.write_slot(20, 0x7FFFFF02u, "tiny", tiny);
    EXPECT_EQ(call_wait(me, "tiny", 0x7FFFFF02u, "echo").status, STATUS_EXEC_FAILED);
    EXPECT_EQ(book.slots().size(), 1u);
}

TEST(LifecyclePosix, BookMutexOfAKilledHolderIsTakenOver) {
    const std::string system = unique_name("S");
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);

    Peer locker = Peer::start({"lock-book-mutex", system});
    std::future<size_t> listing = std::async(std::launch::async, [&] { return me.list_nodes().size(); });
    // Held by the other process: the listing has to wait for it.
    EXPECT_EQ(listing.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    locker.kill();
    ASSERT_EQ(listing.wait_for(WAIT_LIMIT), std::future_status::ready);
    EXPECT_EQ(listing.get(), 1u);
    // Other processes get it as well.
    Peer after = Peer::hold("after", system);
    EXPECT_EQ(me.list_nodes().size(), 2u);

    // The same when no node of the system was alive while it was held.
    const std::string lonely = unique_name("S");
    Peer lonely_locker = Peer::start({"lock-book-mutex", lonely});
    lonely_locker.kill();
    EXPECT_TRUE(finishes([&] {
        Tarnvel node("first", lonely, unique_name("rx"), DEFAULT_RECV_BYTES);
        EXPECT_EQ(node.list_nodes().size(), 1u);
    }));
}

// The book mutex made unrecoverable, as a process leaves it that took it
// over from a dead holder and let go without making it consistent: every
// lock fails. The io thread meets that failure answering a request; the
// failure ends that answer only, and the node goes on with the next request
// and, once the mutex is whole again, with its callers.
TEST(LifecyclePosix, FailureOnTheIoThreadDoesNotEndTheProcess) {
    const std::string system = unique_name("S");
    const std::string recv = unique_name("rx");
    Tarnvel me("me", system, recv, DEFAULT_RECV_BYTES);
    std::atomic<int> handled{0};
    ASSERT_TRUE(me.register_method({{"name", "note"}}, [&](Bytes b) {
        ++handled;
        return b;
    }));
    ASSERT_EQ(call_wait(me, "me", me.pid(), "note").status, STATUS_OK);

    // The platform's mutex object: a u32 ready flag, a u32 of padding, then
    // the process-shared robust pthread mutex.
    const std::string path = shm_object_path(SHM_MUTEX, book_mutex_name(system));
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    const size_t length = 8 + sizeof(pthread_mutex_t);
    void* block = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(block, MAP_FAILED);
    auto* mutex = reinterpret_cast<pthread_mutex_t*>(static_cast<uint8_t*>(block) + 8);
    std::thread([&] { ASSERT_EQ(::pthread_mutex_lock(mutex), 0); }).join();  // its holder ends
    ASSERT_EQ(::pthread_mutex_lock(mutex), EOWNERDEAD);
    ASSERT_EQ(::pthread_mutex_unlock(mutex), 0);

    // Requests from a caller in the book: answering each looks it up there.
    // Their numbers are far from the node's own next calls, whose answers
    // theirs would otherwise be taken for when they come late.
    auto mailbox = platform::PeerMailbox::open(recv + "_" + std::to_string(me.pid()));
    ASSERT_TRUE(mailbox.has_value());
    for (uint16_t seq : {61001, 61002}) {
        const Bytes request = encode_request_frame(seq, me.pid(), "note", "raw");
        ASSERT_TRUE(append_raw_record(mailbox->view(), static_cast<uint32_t>(request.size()), request));
    }
    platform::signal_mailbox_event(mailbox->name());
    EXPECT_TRUE(eventually([&] { return handled == 3; }));

    pthread_mutexattr_t attributes;
    ASSERT_EQ(::pthread_mutexattr_init(&attributes), 0);
    ASSERT_EQ(::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED), 0);
    ASSERT_EQ(::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST), 0);
    ASSERT_EQ(::pthread_mutex_init(mutex, &attributes), 0);
    ::pthread_mutexattr_destroy(&attributes);
    ::munmap(block, length);
    const auto r = call_wait(me, "me", me.pid(), "note", "whole again");
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), "whole again");
}

TEST(LifecyclePosix, FinishedSystemLeavesNothingBehind) {
    const std::string system = unique_name("S");
    const std::string my_recv = unique_name("rx");
    Peer closing = Peer::serve("closing", system);
    Peer dying = Peer::serve("dying", system);
    {
        Tarnvel me("me", system, my_recv, DEFAULT_RECV_BYTES);
        EXPECT_EQ(call_wait(me, "closing", closing.pid(), "echo", "x").status, STATUS_OK);
        EXPECT_EQ(call_wait(me, "dying", dying.pid(), "echo", "x").status, STATUS_OK);
    }
    const std::string closing_mailbox = closing.mailbox_name();
    const std::string dying_mailbox = dying.mailbox_name();
    dying.kill();
    EXPECT_EQ(closing.quit(), 0);

    // Constructing any node sweeps what dead processes left (again, should a
    // parallel sweep have held a file at that moment).
    const auto left = [&] {
        { Tarnvel sweeper("sweeper", unique_name("S"), unique_name("rx"), 4096); }
        std::vector<std::string> found;
        for (const auto& name : {system, my_recv, closing_mailbox, dying_mailbox})
            for (auto& file : shm_files_containing(name)) found.push_back(file);
        return found;
    };
    EXPECT_TRUE(eventually([&] { return left().empty(); })) << ::testing::PrintToString(left());
}

// Exit codes of the forked child, one bit per broken expectation.
enum ForkFault : int {
    LIST_NOT_REFUSED = 1,
    CALL_NOT_REFUSED = 2,
    REGISTER_NOT_REFUSED = 4,
    CLOSE_THREW = 8,
    DESTRUCTION_THREW = 16,
};

TEST(LifecyclePosix, NodeInheritedThroughForkIsInert) {
    const std::string system = unique_name("S");
    const std::string recv = unique_name("rx");
    std::optional<Tarnvel> me(std::in_place, "me", system, recv, DEFAULT_RECV_BYTES);
    ASSERT_TRUE(me->register_method({{"name", "echo"}}, [](Bytes b) { return b; }));
    Peer srv = Peer::serve("srv", system);
    RawBook book(system);
    const auto slots_before = book.slots();

    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int faults = 0;
        if (error_of([&] { me->list_nodes(); }) != "Tarnvel is closed") faults |= LIST_NOT_REFUSED;
        if (error_of([&] { me->call("srv", srv.pid(), "echo", {}, 1000); }) != "Tarnvel is closed")
            faults |= CALL_NOT_REFUSED;
        if (error_of([&] { me->register_method({{"name", "x"}}, [](Bytes b) { return b; }); }) != "Tarnvel is closed")
            faults |= REGISTER_NOT_REFUSED;
        try {
            me->close();
            me->close();
        } catch (...) {
            faults |= CLOSE_THREW;
        }
        try {
            me.reset();
        } catch (...) {
            faults |= DESTRUCTION_THREW;
        }
        ::_exit(faults);
    }

    // A child that hangs in close or destruction is a failure, not a stuck test.
    int status = 0;
    bool ended = eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; });
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended) << "the child hung";
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // The parent's node is untouched: same book, still serving and calling.
    const auto slots_after = book.slots();
    ASSERT_EQ(slots_after.size(), slots_before.size());
    for (size_t i = 0; i < slots_before.size(); ++i) {
        EXPECT_EQ(slots_after[i].pid, slots_before[i].pid);
        EXPECT_EQ(slots_after[i].node_name, slots_before[i].node_name);
        EXPECT_EQ(slots_after[i].mailbox_name, slots_before[i].mailbox_name);
    }
    EXPECT_TRUE(shm_object_exists(SHM_MAPPING, recv + "_" + std::to_string(me->pid())));
    EXPECT_EQ(me->list_nodes().size(), 2u);
    auto r = call_wait(*me, "srv", srv.pid(), "echo", "parent");
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), "parent");

    // Other processes still reach it.
    ChildProcess caller = Peer::launch({"call", "caller", system, unique_name("rx"), "65536", "me",
                                        std::to_string(me->pid()), "echo", "from-peer", "10000"});
    EXPECT_EQ(caller.read_line(std::chrono::seconds(30)), "result 0 from-peer");
    EXPECT_EQ(caller.wait(WAIT_LIMIT), 0);
}

}  // namespace
}  // namespace tarnvel::test
