// The Linux platform layer: object names, lifetime across processes (exit,
// SIGKILL, fork), the robust mutex, the FIFO event and the sweep.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/object_lifetime.hpp"
#include "platform/platform.hpp"
#include "support/platform_extras.hpp"
#include "support/shm_files.hpp"
#include "support/timing.hpp"

namespace tarnvel::platform {
namespace {

using namespace std::chrono_literals;
using detail::object_file_name;
using detail::object_path;
using detail::ObjectKind;
using test::ScopedTiming;

std::string unique_name(const std::string& what) {
    static std::atomic<int> counter{0};
    return "pt_" + what + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

bool exists(ObjectKind kind, const std::string& name) {
    struct stat st {};
    return ::lstat(object_path(kind, name).c_str(), &st) == 0;
}

// Leaves a file under the object's name that nobody holds, as a process that
// died would.
void make_leftover(ObjectKind kind, const std::string& name, const std::string& contents = {}) {
    const std::string path = object_path(kind, name);
    if (kind == ObjectKind::evt) {
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        return;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    ::close(fd);
}

// Polls until `condition` holds or the time is up.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Whether the process sleeps (between the rounds of a wait, say) in time.
bool asleep(pid_t pid) {
    return eventually([pid] {
        std::string line;
        return std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), line) &&
               line.find(") S ") != std::string::npos;
    });
}

// Whether a leftover is gone after sweeping. Every node construction sweeps,
// and tests run in parallel: a sweep elsewhere that holds the file at the
// moment ours looks at it makes ours pass it by, and removes it itself a
// moment later.
bool swept(ObjectKind kind, const std::string& name) {
    return eventually([&] {
        sweep_leftovers();
        return !exists(kind, name);
    });
}

// A file at `path` (a FIFO or a regular file of `size` bytes) that this
// process holds with `lock` (LOCK_SH or LOCK_EX), as another process holding
// an object would. It is made and locked under a name no sweep looks at and
// only then moved into place, so that no sweep can remove it in between.
// Returns the descriptor.
int held_file(const std::string& path, off_t size, int lock, bool fifo = false) {
    static std::atomic<int> counter{0};
    const std::string scratch = detail::object_place().directory + "/pt_scratch_" + std::to_string(::getpid()) + "_" +
                                std::to_string(counter++);
    int fd = -1;
    if (fifo) {
        if (::mkfifo(scratch.c_str(), 0600) == 0) {
            fd = ::open(scratch.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        }
    } else {
        fd = ::open(scratch.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 && ::ftruncate(fd, size) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0 || ::flock(fd, lock | LOCK_NB) != 0 || ::rename(scratch.c_str(), path.c_str()) != 0) {
        ADD_FAILURE() << "cannot hold a file at " << path;
        ::unlink(scratch.c_str());
    }
    return fd;
}

// Removes a file made by held_file(), then lets go of it.
void drop_held_file(const std::string& path, int fd) {
    ::unlink(path.c_str());
    ::close(fd);
}

// Runs `body` in a forked child whose exit status is its result.
pid_t fork_child(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int code = 100;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    return pid;
}

// The exit status, or 128 + the signal that ended it.
int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Like reap(), but a child still running at the deadline is killed and -1
// returned, so that a lock that never comes fails the test instead of
// hanging it.
int reap_within(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            reap(pid);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A child announces that it is ready, perhaps with a number; the other side
// waits for that, but not for ever.
class ReadyPipe {
public:
    ReadyPipe() { EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0); }
    ~ReadyPipe() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    void notify(int32_t value = 1) const { static_cast<void>(::write(fds_[1], &value, sizeof value)); }
    bool wait() const { return receive().has_value(); }
    std::optional<int32_t> receive(std::chrono::milliseconds limit = 30s) const {
        pollfd readable{fds_[0], POLLIN, 0};
        int32_t value = 0;
        if (::poll(&readable, 1, static_cast<int>(limit.count())) != 1 ||
            ::read(fds_[0], &value, sizeof value) != static_cast<ssize_t>(sizeof value)) {
            return std::nullopt;
        }
        return value;
    }

private:
    int fds_[2] = {-1, -1};
};

// What a forked worker that never closes anything does with its inheritance:
// it keeps it.
[[noreturn]] void idle_forever() {
    for (;;) {
        ::pause();
    }
}

// Kills a process at the end of the test, also one that is not our child.
class KillAtEnd {
public:
    explicit KillAtEnd(pid_t pid) noexcept : pid_(pid) {}
    KillAtEnd(const KillAtEnd&) = delete;
    KillAtEnd& operator=(const KillAtEnd&) = delete;
    ~KillAtEnd() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
        }
    }

private:
    pid_t pid_;
};

// The message a failing SharedMapping::create throws, or "no error".
std::string creation_error(const std::string& name, uint64_t size, std::string_view purpose) {
    try {
        SharedMapping::create(name, size, purpose);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

// A peer's view of the mailbox: its size and one byte, or -1 when it cannot
// be opened.
int64_t peer_size(const std::string& name) {
    const auto peer = PeerMailbox::open(name);
    return peer ? static_cast<int64_t>(peer->size()) : -1;
}

int peer_byte(const std::string& name, std::size_t offset) {
    const auto peer = PeerMailbox::open(name);
    return peer && offset < peer->size() ? peer->view()[offset] : -1;
}

bool all_zero(const uint8_t* data, uint64_t size) {
    return std::all_of(data, data + size, [](uint8_t b) { return b == 0; });
}

// Runs handlers until `done` holds or the time is up.
bool run_until(boost::asio::io_context& io, const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        if (io.stopped()) {
            io.restart();
        }
        io.run_one_for(10ms);
    }
    return done();
}

void run_for(boost::asio::io_context& io, std::chrono::milliseconds duration) {
    run_until(
        io, [] { return false; }, duration);
}

// A user's own runtime folder, as the system makes it.
const detail::ObjectPlace PRIVATE_PLACE{"/run/user/1000", "tarnvel."};

TEST(PosixObjectNames, EncodesEveryByteOutsideTheKeptSet) {
    EXPECT_EQ(object_file_name(PRIVATE_PLACE, ObjectKind::map, "Az09_-."), "tarnvel.map.Az09_-.");
    const std::string awkward("a b/%~\xff\x00z", 9);
    EXPECT_EQ(object_file_name(PRIVATE_PLACE, ObjectKind::mtx, awkward), "tarnvel.mtx.a%20b%2F%25%7E%FF%00z");
    EXPECT_EQ(object_path(PRIVATE_PLACE, ObjectKind::evt, "rx_1_e"), "/run/user/1000/tarnvel.evt.rx_1_e");
    const detail::ObjectPlace shared = detail::choose_object_place(nullptr, 1234);
    EXPECT_EQ(object_path(shared, ObjectKind::evt, "rx_1_e"), "/dev/shm/tarnvel.1234.evt.rx_1_e");
}

TEST(PosixObjectNames, HashIsFnv1a64) {
    EXPECT_EQ(detail::fnv1a64(""), 0xCBF29CE484222325ull);
    EXPECT_EQ(detail::fnv1a64("a"), 0xAF63DC4C8601EC8Cull);
    EXPECT_EQ(detail::fnv1a64("foobar"), 0x85944171F73967E8ull);
}

TEST(PosixObjectNames, LongNamesAreCutTo255BytesEndingInTheHash) {
    // "tarnvel.map." is 12 bytes: 243 kept bytes fill the limit exactly.
    const std::string fits(243, 'x');
    EXPECT_EQ(object_file_name(PRIVATE_PLACE, ObjectKind::map, fits), "tarnvel.map." + fits);

    const std::string name = std::string(243, 'x') + "\x01";
    const std::string encoded = fits + "%01";
    const std::string cut = object_file_name(PRIVATE_PLACE, ObjectKind::map, name);
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llX", static_cast<unsigned long long>(detail::fnv1a64(encoded)));
    EXPECT_EQ(cut, ("tarnvel.map." + encoded).substr(0, 238) + "~" + hash);
    EXPECT_EQ(cut.size(), 255u);

    // Names that differ only beyond the cut, or only in kind, stay apart.
    EXPECT_NE(cut, object_file_name(PRIVATE_PLACE, ObjectKind::map, std::string(243, 'x') + "\x02"));
    EXPECT_NE(object_file_name(ObjectKind::map, std::string(400, 'y')),
              object_file_name(ObjectKind::evt, std::string(400, 'y')));
}

TEST(PosixSharedMapping, NewObjectIsPrivateZeroFilledAndExactlySized) {
    const std::string name = unique_name("new");
    auto mapping = SharedMapping::create(name, 100, "mailbox");
    EXPECT_EQ(mapping.size(), 100u);
    EXPECT_TRUE(all_zero(mapping.view(), 100));

    struct stat st {};
    ASSERT_EQ(::stat(object_path(ObjectKind::map, name).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 100);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // No handle leaks into a program this process starts.
    const std::string target = object_path(ObjectKind::map, name);
    int handles = 0;
    DIR* fds = ::opendir("/proc/self/fd");
    ASSERT_NE(fds, nullptr);
    while (const dirent* entry = ::readdir(fds)) {
        char link[4096] = {};
        const std::string fd_path = std::string("/proc/self/fd/") + entry->d_name;
        if (::readlink(fd_path.c_str(), link, sizeof link - 1) > 0 && target == link) {
            ++handles;
            EXPECT_TRUE(::fcntl(std::atoi(entry->d_name), F_GETFD) & FD_CLOEXEC);
        }
    }
    ::closedir(fds);
    EXPECT_EQ(handles, 1);
}

TEST(PosixSharedMapping, OpenersShareTheBytesAndSeeTheExactSize) {
    const std::string name = unique_name("share");
    auto owner = SharedMapping::create(name, 5000, "mailbox");
    std::memcpy(owner.view() + 4990, "0123456789", 10);

    auto peer = PeerMailbox::open(name);
    ASSERT_TRUE(peer.has_value());
    EXPECT_EQ(peer->size(), 5000u);
    EXPECT_EQ(peer->name(), name);
    EXPECT_EQ(std::memcmp(peer->view() + 4990, "0123456789", 10), 0);
    peer->view()[0] = 42;
    EXPECT_EQ(owner.view()[0], 42);

    // A second creator opens the live object as it is, at its own size.
    auto again = SharedMapping::create(name, 4096, "mailbox");
    EXPECT_EQ(again.size(), 4096u);
    EXPECT_EQ(again.view()[0], 42);
}

TEST(PosixSharedMapping, ExistingObjectSmallerThanAskedFailsAsMapFailure) {
    // A live object stays unusable, so the creator gives up after the bound.
    ScopedTiming short_bound({.unusable_wait_limit = 50ms});
    const std::string name = unique_name("small");
    auto owner = SharedMapping::create(name, 4096, "book");
    owner.view()[7] = 7;
    EXPECT_EQ(creation_error(name, 8192, "book"), "MapViewOfFile book failed");
    EXPECT_EQ(creation_error(name, 4097, "mailbox"), "MapViewOfFile mailbox failed");
    // The live object was left alone.
    EXPECT_EQ(owner.view()[7], 7);
    EXPECT_EQ(peer_size(name), 4096);

    EXPECT_EQ(creation_error(unique_name("empty"), 0, "mailbox"), "CreateFileMapping mailbox failed");
}

TEST(PosixSharedMapping, TooSmallObjectIsRenewedOnceNobodyElseHoldsIt) {
    // Half made by a creator that died, and held by somebody else looking at
    // it for a moment: the creator's rounds must outlast that moment.
    const std::string name = unique_name("looked_at");
    const std::string path = object_path(ObjectKind::map, name);
    const int fd = held_file(path, 16, LOCK_SH);
    ASSERT_GE(fd, 0);
    ReadyPipe started;
    const pid_t creator = fork_child([&] {
        ::close(fd);  // the other holder is the parent alone
        started.notify();
        auto mapping = SharedMapping::create(name, 4096, "book");
        return mapping.size() == 4096 && all_zero(mapping.view(), 4096) ? 0 : 1;
    });
    ASSERT_TRUE(started.wait() && asleep(creator));
    ::close(fd);
    EXPECT_EQ(reap_within(creator, 30s), 0);
}

TEST(PosixSharedMapping, ObjectVanishesWithItsLastHandle) {
    const std::string name = unique_name("vanish");
    std::optional<SharedMapping> owner = SharedMapping::create(name, 256, "mailbox");
    owner->view()[0] = 1;
    std::optional<PeerMailbox> peer = PeerMailbox::open(name);
    ASSERT_TRUE(peer.has_value());

    owner.reset();  // the peer still holds it
    EXPECT_TRUE(exists(ObjectKind::map, name));
    EXPECT_EQ(peer_byte(name, 0), 1);

    peer.reset();
    EXPECT_FALSE(exists(ObjectKind::map, name));
    EXPECT_FALSE(PeerMailbox::open(name).has_value());
    auto fresh = SharedMapping::create(name, 256, "mailbox");
    EXPECT_TRUE(all_zero(fresh.view(), 256));
}

TEST(PosixSharedMapping, LeftoversAreRemovedByOpenersAndRenewedByCreators) {
    const std::string name = unique_name("leftover");
    make_leftover(ObjectKind::map, name, std::string(8192, 'L'));
    EXPECT_FALSE(PeerMailbox::open(name).has_value());
    EXPECT_FALSE(exists(ObjectKind::map, name));

    make_leftover(ObjectKind::map, name, std::string(8192, 'L'));
    auto renewed = SharedMapping::create(name, 100, "mailbox");
    EXPECT_TRUE(all_zero(renewed.view(), 100));
    EXPECT_EQ(peer_size(name), 100);

    EXPECT_FALSE(PeerMailbox::open(unique_name("never")).has_value());
}

// A sender may still map a leftover mailbox through a link it kept (no lock).
// Whoever removes the leftover, an opener, a sweep or a creator of a new
// object under its name, zeroes its first word (the magic) first, so that
// the sender's next message fails there instead of going where nobody reads
// (or, for a creator, into a mailbox whose event the sender no longer has).
TEST(PosixSharedMapping, ALeftoverIsDisownedBeforeItsNameGoes) {
    enum class By { opener, sweep, creator };
    for (const By by : {By::opener, By::sweep, By::creator}) {
        const std::string name = unique_name("kept");
        make_leftover(ObjectKind::map, name, std::string(4096, 'L'));
        const int fd = ::open(object_path(ObjectKind::map, name).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        void* mapped = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
        ::close(fd);
        ASSERT_NE(mapped, MAP_FAILED);
        std::optional<SharedMapping> renewed;
        switch (by) {
            case By::opener:
                EXPECT_FALSE(PeerMailbox::open(name).has_value());
                EXPECT_FALSE(exists(ObjectKind::map, name));
                break;
            case By::sweep:
                EXPECT_TRUE(swept(ObjectKind::map, name));
                break;
            case By::creator:
                renewed.emplace(SharedMapping::create(name, 4096, "mailbox"));
                EXPECT_TRUE(all_zero(renewed->view(), 4096));
                break;
        }
        // The rest is left as it was: the old file, not one made anew.
        const auto* view = static_cast<const char*>(mapped);
        EXPECT_EQ(std::string(view, 5), std::string("\0\0\0\0L", 5)) << static_cast<int>(by);
        ::munmap(mapped, 4096);
    }
}

TEST(PosixSharedMapping, AnyByteStringOfAnyLengthNamesAnObject) {
    const std::string name = unique_name("long") + std::string(300, '\xE4') + " /";
    auto owner = SharedMapping::create(name, 64, "book");
    owner.view()[63] = 9;
    auto peer = PeerMailbox::open(name);
    ASSERT_TRUE(peer.has_value());
    EXPECT_EQ(peer->view()[63], 9);
    EXPECT_FALSE(PeerMailbox::open(name.substr(0, name.size() - 1)).has_value());
}

TEST(PosixNamedMutex, DeadHolderLeavesTheMutexToTheNextLocker) {
    const std::string name = unique_name("robust");
    auto mutex = NamedMutex::create(name);

    // One holder exits without unlocking, one is killed. Both keep the mutex
    // mapped to the end, as a dying process does: the kernel finds a dead
    // holder's robust mutexes through their memory.
    const pid_t exits = fork_child([&] {
        auto own = NamedMutex::create(name);
        own.lock();
        ::_exit(0);
        return 1;
    });
    EXPECT_EQ(reap(exits), 0);
    auto lockable_by_another_process = [&] {
        return reap_within(fork_child([&] {
                               auto own = NamedMutex::create(name);
                               own.lock();
                               own.unlock();
                               return 0;
                           }),
                           10s) == 0;
    };
    ASSERT_TRUE(lockable_by_another_process());

    ReadyPipe locked;
    const pid_t killed = fork_child([&] {
        auto own = NamedMutex::create(name);
        own.lock();
        locked.notify();
        ::pause();
        return 0;
    });
    ASSERT_TRUE(locked.wait());
    ::kill(killed, SIGKILL);
    reap(killed);
    ASSERT_TRUE(lockable_by_another_process());
    mutex.lock();  // consistent again: an ordinary lock
    mutex.unlock();
}

TEST(PosixNamedMutex, HalfMadeMutexObjectsAreNeverUsed) {
    // A creator that died while initialising leaves garbage nobody holds: the
    // next creator initialises it anew.
    const std::string name = unique_name("garbage");
    make_leftover(ObjectKind::mtx, name, std::string(256, '\xFF'));
    auto mutex = NamedMutex::create(name);
    mutex.lock();
    mutex.unlock();

    // Held but never marked initialised: refused rather than trusted, once
    // the (here shortened) bound has passed.
    ScopedTiming short_bound({.unusable_wait_limit = 50ms});
    const std::string held = unique_name("unready");
    const int fd = held_file(object_path(ObjectKind::mtx, held), 256, LOCK_SH);
    ASSERT_GE(fd, 0);
    EXPECT_THROW(NamedMutex::create(held), std::runtime_error);
    ::close(fd);  // now a leftover, which is initialised anew
    auto renewed = NamedMutex::create(held);
    renewed.lock();
    renewed.unlock();
}

// Takes the mutex `rounds` times and counts how often somebody else was
// inside at the same moment; `inside` is shared by all who take part.
int overlaps_while_holding(NamedMutex& mutex, uint32_t& inside, int rounds) {
    std::atomic_ref<uint32_t> holders(inside);
    int overlaps = 0;
    for (int i = 0; i < rounds; ++i) {
        mutex.lock();
        if (holders.fetch_add(1) != 0) {
            ++overlaps;
        }
        std::this_thread::yield();  // invite the others in
        holders.fetch_sub(1);
        mutex.unlock();
    }
    return overlaps;
}

TEST(PosixNamedMutex, ExcludesThreadsAndHandlesOfOneProcess) {
    const std::string name = unique_name("threads");
    auto first = NamedMutex::create(name);
    auto second = NamedMutex::create(name);
    uint32_t inside = 0;
    std::atomic<int> overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] { overlaps += overlaps_while_holding(t % 2 == 0 ? first : second, inside, 2000); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(overlaps.load(), 0);
}

TEST(PosixNamedMutex, ExcludesOtherProcesses) {
    const std::string name = unique_name("procs");
    // The counters live in shared memory; each process maps it itself (a
    // forked child drops its inherited mappings).
    struct Counters {
        uint32_t& inside;
        uint32_t& arrived;
    };
    auto counters_in = [](const SharedMapping& shared) {
        return Counters{*reinterpret_cast<uint32_t*>(shared.view()), *reinterpret_cast<uint32_t*>(shared.view() + 4)};
    };
    // Both sides start together, or one may be done before the other begins.
    auto start_together = [](uint32_t& arrived) {
        std::atomic_ref<uint32_t> count(arrived);
        count.fetch_add(1);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (count.load() < 2 && std::chrono::steady_clock::now() < deadline) {
        }
    };
    auto mutex = NamedMutex::create(name);
    auto shared = SharedMapping::create(name, 8, "mailbox");
    constexpr int ROUNDS = 5000;
    const pid_t child = fork_child([&] {
        auto own = NamedMutex::create(name);
        auto own_shared = SharedMapping::create(name, 8, "mailbox");
        const Counters counters = counters_in(own_shared);
        start_together(counters.arrived);
        return overlaps_while_holding(own, counters.inside, ROUNDS) == 0 ? 0 : 1;
    });
    const Counters counters = counters_in(shared);
    start_together(counters.arrived);
    EXPECT_EQ(overlaps_while_holding(mutex, counters.inside, ROUNDS), 0);
    EXPECT_EQ(reap(child), 0);
}

TEST(PosixMailboxEvent, SignalCompletesTheWaitWhichResetsIt) {
    boost::asio::io_context io;
    const std::string name = unique_name("evt");
    MailboxEvent event(io, name);
    int calls = 0;

    event.async_wait([&] { ++calls; });
    run_for(io, 50ms);
    EXPECT_EQ(calls, 0) << "a new event is not set";

    signal_mailbox_event(name);
    signal_mailbox_event(name);
    EXPECT_TRUE(run_until(io, [&] { return calls == 1; }));
    event.async_wait([&] { ++calls; });
    run_for(io, 50ms);
    EXPECT_EQ(calls, 1) << "the completed wait reset both sets";

    // A set before a reset is gone; one after it completes the wait.
    signal_mailbox_event(name);
    reset_mailbox_event(name);
    run_for(io, 50ms);
    EXPECT_EQ(calls, 1);
    signal_mailbox_event(name);
    EXPECT_TRUE(run_until(io, [&] { return calls == 2; }));
}

// A writer that finds the event's FIFO full takes it as set and writes
// nothing: a wait armed while bytes are left must complete without another
// signal, however little the last reset took.
TEST(PosixMailboxEvent, WaitCompletesWhileAFullEventStillHoldsBytes) {
    boost::asio::io_context io;
    const std::string name = unique_name("full");
    MailboxEvent event(io, name);
    const int fd = ::open(object_path(ObjectKind::evt, name + "_e").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::vector<char> block(4096, 1);
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    while (::write(fd, block.data(), 1) > 0) {
    }
    ::close(fd);

    int calls = 0;
    for (int wait = 1; wait <= 3; ++wait) {
        event.async_wait([&] { ++calls; });
        EXPECT_TRUE(run_until(io, [&] { return calls == wait; })) << "wait " << wait;
    }
}

TEST(PosixMailboxEvent, SignallingAMissingOrForeignEventDoesNothing) {
    const std::string missing = unique_name("missing");
    signal_mailbox_event(missing);
    EXPECT_FALSE(exists(ObjectKind::evt, missing + "_e"));

    // A FIFO nobody holds open must not block the signaller.
    const std::string orphan = unique_name("orphan");
    make_leftover(ObjectKind::evt, orphan + "_e");
    signal_mailbox_event(orphan);

    // A regular file under an event's name is never written to. (Held with
    // a flock, so that a sweep running elsewhere leaves it alone.)
    const std::string foreign = unique_name("foreign");
    const std::string foreign_path = object_path(ObjectKind::evt, foreign + "_e");
    const int fd = held_file(foreign_path, 0, LOCK_SH);
    ASSERT_GE(fd, 0);
    signal_mailbox_event(foreign);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 0);
    drop_held_file(foreign_path, fd);
    sweep_leftovers();
}

TEST(PosixMailboxEvent, EventVanishesWithItsOwner) {
    const std::string name = unique_name("evt_gone");
    {
        boost::asio::io_context io;
        MailboxEvent event(io, name);
        EXPECT_TRUE(exists(ObjectKind::evt, name + "_e"));
    }
    EXPECT_FALSE(exists(ObjectKind::evt, name + "_e"));
    signal_mailbox_event(name);
}

// The receive loop's shape: the completed wait has reset the event; the
// handler reads the state and re-arms.
// Whatever is produced after a reset must be seen, however signals and
// resets interleave; cancel() comes from another thread.
TEST(PosixMailboxEvent, NoWakeUpIsLostAndCancelIsSafeFromAnotherThread) {
    boost::asio::io_context io;
    auto guard = boost::asio::make_work_guard(io);
    const std::string name = unique_name("race");
    MailboxEvent event(io, name);
    constexpr int SIGNALS = 3000;
    std::atomic<int> produced{0};
    std::atomic<int> seen{0};
    std::atomic<int> calls{0};

    std::function<void()> on_signalled = [&] {
        ++calls;
        seen = produced.load();
        event.async_wait(on_signalled);
    };
    boost::asio::post(io, [&] { event.async_wait(on_signalled); });
    std::thread io_thread([&] { io.run(); });

    std::thread producer([&] {
        for (int i = 1; i <= SIGNALS; ++i) {
            produced = i;
            signal_mailbox_event(name);
            if (i % 64 == 0) {
                std::this_thread::sleep_for(100us);
            }
        }
    });
    producer.join();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (seen.load() != SIGNALS && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(seen.load(), SIGNALS);

    event.cancel();
    // Once a handler posted after cancel() has run, no wait is left armed.
    auto drained = [&] {
        std::promise<void> done;
        boost::asio::post(io, [&] { done.set_value(); });
        done.get_future().wait();
    };
    drained();
    const int calls_after_cancel = calls.load();
    // The loop sees this byte no later than one written after it to an event waited for.
    MailboxEvent later(io, name + "_later");
    std::promise<void> seen_later;
    boost::asio::post(io, [&] { later.async_wait([&] { seen_later.set_value(); }); });
    drained();
    signal_mailbox_event(name);
    signal_mailbox_event(name + "_later");
    seen_later.get_future().wait();
    drained();
    EXPECT_EQ(calls.load(), calls_after_cancel);

    guard.reset();
    io.stop();
    io_thread.join();
}

TEST(PosixMailboxEvent, MovedEventKeepsItsWaitAndTheMovedFromOneIsEmpty) {
    boost::asio::io_context io;
    const std::string first_name = unique_name("moved");
    MailboxEvent first(io, first_name);
    int first_calls = 0;
    first.async_wait([&] { ++first_calls; });

    MailboxEvent moved(std::move(first));
    first.async_wait([&] { first_calls += 100; });
    first.cancel();
    signal_mailbox_event(first_name);
    EXPECT_TRUE(run_until(io, [&] { return first_calls == 1; }));
    run_for(io, 20ms);
    EXPECT_EQ(first_calls, 1);

    // Assigning over an event ends it as destruction would: its wait never
    // calls its function, and its object goes.
    reset_mailbox_event(first_name);
    bool old_wait_called = false;
    moved.async_wait([&] { old_wait_called = true; });
    signal_mailbox_event(first_name);
    const std::string second_name = unique_name("moved_into");
    moved = MailboxEvent(io, second_name);
    EXPECT_FALSE(exists(ObjectKind::evt, first_name + "_e"));
    int second_calls = 0;
    moved.async_wait([&] { ++second_calls; });
    signal_mailbox_event(second_name);
    EXPECT_TRUE(run_until(io, [&] { return second_calls == 1; }));
    run_for(io, 20ms);
    EXPECT_FALSE(old_wait_called);
}

// However a process came by an exclusive lock (a creator stuck while
// initialising, a fork child that kept a released handle), holding it stalls
// openers and creators only for a bounded while; then they fail as when the
// object cannot be opened or created.
TEST(PosixLocking, ExclusiveHolderStallsOpenersOnlyForAWhile) {
    const std::string name = unique_name("exclusive");
    const std::string map_path = object_path(ObjectKind::map, name);
    const std::string evt_path = object_path(ObjectKind::evt, name + "_e");
    const int map_fd = held_file(map_path, 4096, LOCK_EX);
    const int evt_fd = held_file(evt_path, 0, LOCK_EX, true);
    ASSERT_GE(map_fd, 0);
    ASSERT_GE(evt_fd, 0);

    // Each in a process of its own, at the same time; one that hangs is
    // killed and fails the test. They give up after the bound, which they
    // take shortened into their process.
    auto holder_elsewhere = [&] {
        ::close(map_fd);
        ::close(evt_fd);
    };
    std::optional<ScopedTiming> short_bound(std::in_place, settings::Timing{.exclusive_wait_limit = 200ms});
    std::vector<pid_t> stalled;
    stalled.push_back(fork_child([&] {
        holder_elsewhere();
        return PeerMailbox::open(name).has_value() ? 1 : 0;
    }));
    stalled.push_back(fork_child([&] {
        holder_elsewhere();
        return creation_error(name, 4096, "mailbox") == "CreateFileMapping mailbox failed" ? 0 : 1;
    }));
    stalled.push_back(fork_child([&] {
        holder_elsewhere();
        boost::asio::io_context io;
        try {
            MailboxEvent event(io, name);
        } catch (const std::runtime_error& e) {
            return std::string(e.what()) == "CreateEvent failed" ? 0 : 1;
        }
        return 2;
    }));
    short_bound.reset();
    for (const pid_t child : stalled) {
        EXPECT_EQ(reap_within(child, 30s), 0);
    }
    drop_held_file(map_path, map_fd);
    drop_held_file(evt_path, evt_fd);

    // Let go while somebody waits: the waiter starts over from the name and
    // finds a leftover to renew.
    const std::string later = unique_name("exclusive_later");
    const int later_fd = held_file(object_path(ObjectKind::map, later), 0, LOCK_EX);
    ASSERT_GE(later_fd, 0);
    ReadyPipe started;
    const pid_t waiter = fork_child([&] {
        ::close(later_fd);
        started.notify();
        auto mapping = SharedMapping::create(later, 4096, "mailbox");
        return all_zero(mapping.view(), 4096) ? 0 : 1;
    });
    ASSERT_TRUE(started.wait() && asleep(waiter));
    ::close(later_fd);
    EXPECT_EQ(reap_within(waiter, 30s), 0);
}

TEST(PosixSweep, RemovesUnheldLeftoversAndKeepsHeldObjects) {
    boost::asio::io_context io;
    const std::string held = unique_name("held");
    auto mapping = SharedMapping::create(held, 128, "mailbox");
    auto mutex = NamedMutex::create(held);
    MailboxEvent event(io, held);

    const std::string dead = unique_name("dead");
    make_leftover(ObjectKind::map, dead, "junk");
    make_leftover(ObjectKind::evt, dead + "_e");
    // A process that exits without releasing leaves its objects unheld.
    const std::string exited = unique_name("exited");
    const pid_t child = fork_child([&] {
        auto leaked_mapping = new SharedMapping(SharedMapping::create(exited, 128, "mailbox"));
        auto leaked_mutex = new NamedMutex(NamedMutex::create(exited));
        static_cast<void>(leaked_mapping);
        static_cast<void>(leaked_mutex);
        return 0;
    });
    ASSERT_EQ(reap(child), 0);
    const std::string other_file = detail::object_place().directory + "/not_tarnvel_" + unique_name("x");
    ::close(::open(other_file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));

    EXPECT_TRUE(swept(ObjectKind::map, dead));
    EXPECT_TRUE(swept(ObjectKind::evt, dead + "_e"));
    EXPECT_TRUE(swept(ObjectKind::map, exited));
    EXPECT_TRUE(swept(ObjectKind::mtx, exited));
    EXPECT_TRUE(exists(ObjectKind::map, held));
    EXPECT_TRUE(exists(ObjectKind::mtx, held));
    EXPECT_TRUE(exists(ObjectKind::evt, held + "_e"));
    EXPECT_TRUE(PeerMailbox::open(held).has_value());
    EXPECT_EQ(::unlink(other_file.c_str()), 0);
}

TEST(PosixFork, AbandonInAChildLeavesTheParentsObjectsIntact) {
    boost::asio::io_context io;
    const std::string name = unique_name("fork");
    std::optional<SharedMapping> mapping = SharedMapping::create(name, 64, "mailbox");
    std::optional<NamedMutex> mutex = NamedMutex::create(name);
    std::optional<MailboxEvent> event;
    event.emplace(io, name);
    mapping->view()[0] = 5;

    const pid_t child = fork_child([&] {
        mapping->abandon();
        mutex->abandon();
        event->abandon();
        const bool dropped = mapping->view() == nullptr && mapping->size() == 0;
        // Destroying them afterwards must not touch the objects either.
        mapping.reset();
        mutex.reset();
        event.reset();
        return dropped ? 0 : 1;
    });
    ASSERT_EQ(reap(child), 0);

    EXPECT_TRUE(exists(ObjectKind::map, name));
    EXPECT_TRUE(exists(ObjectKind::mtx, name));
    EXPECT_TRUE(exists(ObjectKind::evt, name + "_e"));
    EXPECT_EQ(peer_byte(name, 0), 5);
    mutex->lock();
    mutex->unlock();
    bool woken = false;
    event->async_wait([&] { woken = true; });
    signal_mailbox_event(name);
    EXPECT_TRUE(run_until(io, [&] { return woken; }));
}

TEST(PosixFork, ChildDropsEveryInheritedHandleAtOnce) {
    boost::asio::io_context io;
    const std::string name = unique_name("drop");
    auto mapping = SharedMapping::create(name, 4096, "mailbox");
    auto mutex = NamedMutex::create(name);
    MailboxEvent event(io, name);
    auto peer = PeerMailbox::open(name);
    ASSERT_TRUE(peer.has_value());
    mapping.view()[0] = 3;

    ReadyPipe ready;
    const pid_t child = fork_child([&]() -> int {
        // Without closing or releasing anything itself.
        const bool dropped =
            mapping.view() == nullptr && mapping.size() == 0 && peer->view() == nullptr && peer->size() == 0;
        ready.notify(dropped ? 1 : 2);
        idle_forever();
    });
    EXPECT_EQ(ready.receive().value_or(-1), 1);
    EXPECT_EQ(test::shm_files_held_by(static_cast<uint32_t>(child)), std::vector<std::string>{});
    ::kill(child, SIGKILL);
    reap(child);

    // Dropping touched nothing of the parent's.
    EXPECT_EQ(peer_byte(name, 0), 3);
    mutex.lock();
    mutex.unlock();
    bool woken = false;
    event.async_wait([&] { woken = true; });
    signal_mailbox_event(name);
    EXPECT_TRUE(run_until(io, [&] { return woken; }));
}

// A process with objects that forks a worker, which keeps whatever it
// inherited and idles; then the process dies by SIGKILL or releases its
// objects normally. (A killed process without a worker is the easier case.)
class PosixForkedWorker : public ::testing::Test {
protected:
    // The parent creates a mapping, a mutex and an event named `name` and
    // says so on `created_`; on `go_` it forks the idle worker and releases
    // its objects when `release` holds (and exits). The worker sends its pid
    // on `forked_` once fork() has returned in it.
    pid_t start_parent(bool release) {
        return fork_child([this, release] {
            boost::asio::io_context io;
            std::optional<SharedMapping> mapping = SharedMapping::create(name, 4096, "mailbox");
            std::memset(mapping->view(), 0xAB, 4096);
            std::optional<NamedMutex> mutex = NamedMutex::create(name);
            std::optional<MailboxEvent> event;
            event.emplace(io, name);
            created_.notify();
            if (!go_.wait()) {
                return 1;
            }
            if (::fork() == 0) {
                forked_.notify(::getpid());
                idle_forever();
            }
            if (release) {
                event.reset();
                mutex.reset();
                mapping.reset();
            }
            if (!release) {
                idle_forever();
            }
            return 0;
        });
    }

    bool created() { return created_.wait(); }
    // Lets the parent fork; the worker's pid, or -1.
    pid_t fork_worker() {
        go_.notify();
        return forked_.receive().value_or(-1);
    }

    const std::string name = unique_name("worker");

private:
    ReadyPipe created_;
    ReadyPipe go_;
    ReadyPipe forked_;
};

TEST_F(PosixForkedWorker, KilledParentsObjectsVanishWhileTheWorkerLives) {
    const pid_t parent = start_parent(false);
    ASSERT_TRUE(created());
    const pid_t worker = fork_worker();
    ASSERT_GT(worker, 0);
    KillAtEnd worker_end(worker);
    ASSERT_EQ(peer_byte(name, 4095), 0xAB);

    ::kill(parent, SIGKILL);
    EXPECT_EQ(reap(parent), 128 + SIGKILL);
    ASSERT_EQ(::kill(worker, 0), 0) << "the worker is still there";

    EXPECT_FALSE(PeerMailbox::open(name).has_value());
    EXPECT_FALSE(exists(ObjectKind::map, name));
    EXPECT_TRUE(swept(ObjectKind::mtx, name));
    EXPECT_TRUE(swept(ObjectKind::evt, name + "_e"));
    auto fresh = SharedMapping::create(name, 4096, "mailbox");
    EXPECT_TRUE(all_zero(fresh.view(), 4096));
}

TEST_F(PosixForkedWorker, NormalReleaseLeavesNoLockBehind) {
    const pid_t parent = start_parent(true);
    ASSERT_TRUE(created());
    // Opened before the release and locked after it, as by an opener caught
    // between its open and its flock.
    const std::vector<std::string> paths{object_path(ObjectKind::map, name), object_path(ObjectKind::mtx, name),
                                         object_path(ObjectKind::evt, name + "_e")};
    std::vector<int> opened;
    for (const auto& path : paths) {
        opened.push_back(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        EXPECT_GE(opened.back(), 0) << path;
    }
    const pid_t worker = fork_worker();
    ASSERT_GT(worker, 0);
    KillAtEnd worker_end(worker);
    EXPECT_EQ(reap(parent), 0);
    ASSERT_EQ(::kill(worker, 0), 0) << "the worker is still there";

    // Nobody holds the released objects, so a shared lock comes at once
    // (retried only because a sweep elsewhere may try its exclusive one).
    for (std::size_t i = 0; i < paths.size(); ++i) {
        EXPECT_TRUE(eventually([&] { return ::flock(opened[i], LOCK_SH | LOCK_NB) == 0; }, 2s)) << paths[i];
        ::close(opened[i]);
    }
    // The names are free for others, without waiting.
    const pid_t next = fork_child([&] {
        if (PeerMailbox::open(name).has_value()) {
            return 1;
        }
        boost::asio::io_context io;
        auto mapping = SharedMapping::create(name, 4096, "mailbox");
        auto mutex = NamedMutex::create(name);
        mutex.lock();
        mutex.unlock();
        MailboxEvent event(io, name);
        return all_zero(mapping.view(), 4096) && PeerMailbox::open(name).has_value() ? 0 : 2;
    });
    EXPECT_EQ(reap_within(next, 30s), 0);
}

TEST(PosixProcessId, IsTheProcessIdAlsoInAForkedChild) {
    EXPECT_EQ(current_process_id(), static_cast<uint32_t>(::getpid()));
    const uint32_t parent = current_process_id();
    const pid_t child = fork_child([&] {
        return current_process_id() == static_cast<uint32_t>(::getpid()) && current_process_id() != parent ? 0 : 1;
    });
    EXPECT_EQ(reap(child), 0);
}

}  // namespace
}  // namespace tarnvel::platform
