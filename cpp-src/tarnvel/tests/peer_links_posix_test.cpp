// A descriptor shortage of our own is no dead peer; a live owner that
// removes its objects is noticed before the next message.
#include "peer_cache.hpp"
#include "platform/platform.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/platform_extras.hpp"
#include "support/raw_book.hpp"
#include "support/raw_mailbox.hpp"
#include "support/shm_files.hpp"
#include "support/timing.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnvel::test {
namespace {

using namespace std::chrono_literals;

// A mailbox this node cannot open for a reason that says nothing of its
// owner (a shortage of our own, a lock someone else holds too long) fails
// the call but leaves the peer in the book.
enum class Obstacle { no_descriptors, locked_by_another };

class OpenFailing : public ::testing::TestWithParam<Obstacle> {};

TEST_P(OpenFailing, FailsTheCallAndLeavesThePeerInTheBook) {
    const std::string system = unique_name("S");
    ScopedTiming short_bound(settings::Timing{.exclusive_wait_limit = 200ms});
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    std::optional<Peer> srv;
    std::string name = "srv";
    uint32_t pid = 0x7FFFFF50u;
    std::vector<int> held;
    std::string locked_path;
    const auto in_book = [&] {
        for (const auto& slot : RawBook(system).slots())
            if (slot.pid == pid) return true;
        return false;
    };

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (GetParam() == Obstacle::no_descriptors) {
        srv.emplace(Peer::serve(name, system));
        pid = srv->pid();
        rlimit lowered = saved;
        lowered.rlim_cur = 256;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
    } else {
        // A slot whose mailbox is locked as its creator locks it while it
        // makes it, and never let go.
        const std::string mailbox = unique_name("locked");
        RawBook(system).write_slot(60, pid, name, mailbox);
        locked_path = shm_object_path(SHM_MAPPING, mailbox);
        const int fd = ::open(locked_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 4096), 0);
        ASSERT_EQ(::flock(fd, LOCK_EX), 0);
        held.push_back(fd);
    }

    const CallResult r = call_wait(me, name, pid, "echo", "x");

    if (!locked_path.empty()) ::unlink(locked_path.c_str());
    for (int fd : held) ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(r.status, STATUS_DELIVER_FAILED);
    EXPECT_TRUE(in_book());
    if (srv) {
        bool listed = false;
        for (const auto& n : me.list_nodes()) listed = listed || n.pid == pid;
        EXPECT_TRUE(listed);
        EXPECT_EQ(call_wait(me, name, pid, "echo", "again").status, STATUS_OK);
        EXPECT_EQ(srv->quit(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Obstacles, OpenFailing,
                         ::testing::Values(Obstacle::no_descriptors, Obstacle::locked_by_another),
                         [](const auto& info) {
                             return info.param == Obstacle::no_descriptors ? "NoDescriptors" : "LockedByAnother";
                         });

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

// Whether every page of [data, data + size) is in this process's page table.
bool pages_present(const uint8_t* data, uint64_t size) {
    const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    const int map = ::open("/proc/self/pagemap", O_RDONLY);
    bool present = map >= 0;
    for (uint64_t at = 0; present && at < size; at += page) {
        uint64_t entry = 0;
        const auto where = static_cast<off_t>((reinterpret_cast<uintptr_t>(data) + at) / page * sizeof entry);
        present = ::pread(map, &entry, sizeof entry, where) == sizeof entry && (entry >> 63) != 0;
    }
    if (map >= 0) ::close(map);
    return present;
}

// A mailbox of this process, as an owner makes it; with `sparse`, all but its
// first page are holes again.
platform::SharedMapping owned_mailbox(const std::string& name, uint64_t bytes, bool sparse = false) {
    auto mailbox = platform::SharedMapping::create(name, bytes, "mailbox");
    write_mailbox_header(mailbox.view(), {RAW_MAILBOX_MAGIC, static_cast<uint32_t>(bytes - RAW_HEADER_SIZE), 0, 0});
    if (sparse) {
        const int fd = ::open(shm_object_path(SHM_MAPPING, name).c_str(), O_RDWR);
        EXPECT_EQ(::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 4096, static_cast<off_t>(bytes - 4096)),
                  0);
        ::close(fd);
    }
    return mailbox;
}

blkcnt_t blocks_of(const std::string& name) {
    struct stat st {};
    return ::stat(shm_object_path(SHM_MAPPING, name).c_str(), &st) == 0 ? st.st_blocks : -1;
}

// A link the cache keeps has the mailbox's pages entered at once, unless it
// pushes a live link out (it would likely go soon itself), or the mailbox
// has holes, which entering would fill, charged to the sender.
TEST(PeerLinksPosix, KeptLinksEnterTheMailboxPagesUnlessTheyPushALiveLinkOut) {
    constexpr uint64_t BYTES = 1 << 20;
    {
        // Kernels before 5.14, or a /proc without page maps, cannot show it.
#ifdef MADV_POPULATE_WRITE
        void* probe = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(probe, MAP_FAILED);
        const bool can = ::madvise(probe, 4096, MADV_POPULATE_WRITE) == 0 && ::access("/proc/self/pagemap", R_OK) == 0;
        ::munmap(probe, 4096);
#else
        const bool can = false;
#endif
        if (!can) GTEST_SKIP() << "no MADV_POPULATE_WRITE or no page map here";
    }
    const uint32_t me = platform::current_process_id();
    platform::OpenFailure why = platform::OpenFailure::local;
    PeerCache cache(2);
    const std::string a = unique_name("rx");
    const std::string b = unique_name("rx");
    const std::string c = unique_name("rx");
    const std::string d = unique_name("rx");
    auto mailbox_a = owned_mailbox(a, BYTES);
    auto mailbox_b = owned_mailbox(b, BYTES, true);
    auto mailbox_c = owned_mailbox(c, BYTES);
    auto mailbox_d = owned_mailbox(d, BYTES);

    const platform::PeerLink* link = cache.get(a, me, why);
    ASSERT_TRUE(link);
    EXPECT_TRUE(pages_present(link->view(), link->size()));

    const blkcnt_t sparse_blocks = blocks_of(b);
    link = cache.get(b, me, why);
    ASSERT_TRUE(link);
    EXPECT_FALSE(pages_present(link->view(), link->size()));
    EXPECT_EQ(blocks_of(b), sparse_blocks);

    link = cache.get(c, me, why);  // pushes a's live link out
    ASSERT_TRUE(link);
    EXPECT_FALSE(pages_present(link->view(), link->size()));

    // b's owner removes it: the link that d pushes out is dead.
    ASSERT_EQ(::unlink(shm_object_path(SHM_MAPPING, b).c_str()), 0);
    link = cache.get(d, me, why);
    ASSERT_TRUE(link);
    EXPECT_TRUE(pages_present(link->view(), link->size()));
    EXPECT_EQ(cache.size(), 2u);
}

// The whole case as a peer of another program shows it: a call leaves a kept
// link, the peer removes its objects and then calls us; our answer must not
// go into the removed mailbox, and the peer is purged.
TEST(PeerLinksPosix, ForeignPeerThatRemovedItsObjectsIsPurgedByTheAnswerToIt) {
    const std::string system = unique_name("S");
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    // A live process for the peer; its objects are made here.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    struct Reap {
        pid_t pid;
        ~Reap() {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } reap{child};
    const auto foreign = static_cast<uint32_t>(child);
    const std::string theirs = unique_name("rx");
    boost::asio::io_context io;
    auto mailbox = platform::SharedMapping::create(theirs, 4096, "mailbox");
    write_mailbox_header(mailbox.view(), {RAW_MAILBOX_MAGIC, 4096 - RAW_HEADER_SIZE, 0, 0});
    platform::MailboxEvent event(io, theirs);
    RawBook book(system);
    book.write_slot(100, foreign, "foreign", theirs);

    EXPECT_EQ(call_wait(me, "foreign", foreign, "ping", "", 20).status, STATUS_TIMEOUT);
    ASSERT_EQ(unread_frames(mailbox.view()).size(), 1u);

    ASSERT_EQ(::unlink(shm_object_path(SHM_MAPPING, theirs).c_str()), 0);
    ASSERT_EQ(::unlink(shm_object_path(SHM_EVENT, theirs + "_e").c_str()), 0);
    // Our mailbox as the book tells it.
    std::string mine;
    for (const auto& slot : book.slots()) {
        if (slot.pid == me.pid()) mine = slot.mailbox_name;
    }
    auto to_me = platform::PeerMailbox::open(mine);
    ASSERT_TRUE(to_me.has_value()) << mine;
    const Bytes request = encode_request_frame(7, foreign, "sys.list_methods", "");
    ASSERT_TRUE(append_raw_record(to_me->view(), static_cast<uint32_t>(request.size()), request));
    platform::signal_mailbox_event(mine);

    EXPECT_TRUE(eventually([&] {
        for (const auto& n : me.list_nodes()) {
            if (n.pid == foreign) return false;
        }
        return true;
    }));
    EXPECT_EQ(unread_frames(mailbox.view()).size(), 1u);
}

}  // namespace
}  // namespace tarnvel::test
