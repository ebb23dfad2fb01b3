// Where the Windows kernel objects behave in their own way: page-rounded
// sizes, abandoned mutexes, and objects that vanish with their last handle.
#include "names.hpp"
#include "platform/platform.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/platform_extras.hpp"
#include "support/unique_names.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <windows.h>

namespace tarnvel::test {
namespace {

using namespace std::chrono_literals;
using namespace tarnvel::platform;

// Runs the io_context until `done` holds or the time is up; true if it held.
template <class Pred>
bool run_until(boost::asio::io_context& io, Pred done, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end) {
        io.restart();
        io.run_for(10ms);
    }
    return done();
}

std::string map_failure(const std::string& name, uint64_t size, std::string_view purpose) {
    try {
        SharedMapping::create(name, size, purpose);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no failure";
}

TEST(PlatformWin32Mapping, PeerSeesPageRoundedSizeAndSharedBytes) {
    const std::string name = unique_name("map");
    SharedMapping own = SharedMapping::create(name, 81, "mailbox");
    EXPECT_EQ(own.size(), 81u);
    own.view()[80] = 0x5a;

    std::optional<PeerMailbox> peer = PeerMailbox::open(name);
    ASSERT_TRUE(peer.has_value());
    EXPECT_EQ(peer->size(), 4096u);
    EXPECT_EQ(peer->name(), name);
    EXPECT_EQ(peer->view()[80], 0x5a);
    // The slack of the last page is usable and zero.
    EXPECT_EQ(peer->view()[4095], 0);
    peer->view()[0] = 0x17;
    EXPECT_EQ(own.view()[0], 0x17);
}

TEST(PlatformWin32Mapping, ExistingSmallerSectionFailsAsMapFailure) {
    const std::string name = unique_name("small");
    SharedMapping first = SharedMapping::create(name, 4096, "mailbox");
    EXPECT_EQ(map_failure(name, 8192, "mailbox"), "MapViewOfFile mailbox failed");
    EXPECT_EQ(map_failure(name, 8192, "book"), "MapViewOfFile book failed");
    // Opening it at its own size or less is fine and shares the bytes.
    first.view()[100] = 9;
    SharedMapping again = SharedMapping::create(name, 4096, "book");
    EXPECT_EQ(again.view()[100], 9);
}

TEST(PlatformWin32Mapping, BadNameFailsAsCreateFailure) {
    // Backslashes are namespace separators; an unknown namespace is refused.
    EXPECT_EQ(map_failure("no_such_ns\\" + unique_name("bad"), 81, "book"), "CreateFileMapping book failed");
    EXPECT_EQ(map_failure("no_such_ns\\" + unique_name("bad"), 81, "mailbox"), "CreateFileMapping mailbox failed");
}

TEST(PlatformWin32Mapping, VanishesWithLastHandle) {
    const std::string name = unique_name("gone");
    {
        SharedMapping own = SharedMapping::create(name, 81, "mailbox");
        std::optional<PeerMailbox> peer = PeerMailbox::open(name);
        ASSERT_TRUE(peer.has_value());
        own = SharedMapping::create(unique_name("other"), 81, "mailbox");
        // The peer's handle keeps the object alive after its owner let go.
        peer->view()[1] = 1;
        EXPECT_TRUE(PeerMailbox::open(name).has_value());
    }
    EXPECT_FALSE(PeerMailbox::open(name).has_value());
    SharedMapping fresh = SharedMapping::create(name, 81, "mailbox");
    EXPECT_EQ(fresh.view()[1], 0);
}

TEST(PlatformWin32Mutex, AbandonedByExitedThreadIsAcquired) {
    const std::string name = unique_name("mtx");
    NamedMutex mutex = NamedMutex::create(name);
    std::thread holder([&name] {
        NamedMutex same = NamedMutex::create(name);
        same.lock();
        // Exits owning it.
    });
    holder.join();
    mutex.lock();
    mutex.unlock();
    // Ownership is a normal one again: another thread can take it in turn.
    std::thread next([&mutex] {
        mutex.lock();
        mutex.unlock();
    });
    next.join();
}

TEST(PlatformWin32Event, SetAfterResetCompletesNextWait) {
    boost::asio::io_context io;
    const std::string name = unique_name("evt");
    MailboxEvent event(io, name);
    std::atomic<int> calls{0};

    signal_mailbox_event(name);
    reset_mailbox_event(name);
    event.async_wait([&] { ++calls; });
    io.run_for(50ms);
    EXPECT_EQ(calls.load(), 0);

    signal_mailbox_event(name);
    EXPECT_TRUE(run_until(io, [&] { return calls.load() == 1; }));

    // The completed wait reset the event: a re-armed wait waits for the next set.
    event.async_wait([&] { ++calls; });
    io.restart();
    io.run_for(50ms);
    EXPECT_EQ(calls.load(), 1);
    signal_mailbox_event(name);
    EXPECT_TRUE(run_until(io, [&] { return calls.load() == 2; }));
}

TEST(PlatformWin32Event, MovedEventKeepsItsWaitAndAssignmentEndsTheOldOne) {
    boost::asio::io_context io;
    const std::string first_name = unique_name("moved");
    MailboxEvent first(io, first_name);
    std::atomic<int> first_calls{0};
    first.async_wait([&] { ++first_calls; });

    MailboxEvent moved(std::move(first));
    // The moved-from event is empty: none of this reaches anything.
    first.async_wait([&] { first_calls += 100; });
    first.cancel();
    signal_mailbox_event(first_name);
    EXPECT_TRUE(run_until(io, [&] { return first_calls.load() == 1; }));

    reset_mailbox_event(first_name);
    std::atomic<bool> old_wait_called{false};
    moved.async_wait([&] { old_wait_called = true; });
    const std::string second_name = unique_name("moved_into");
    moved = MailboxEvent(io, second_name);
    signal_mailbox_event(first_name);
    std::atomic<int> second_calls{0};
    moved.async_wait([&] { ++second_calls; });
    signal_mailbox_event(second_name);
    EXPECT_TRUE(run_until(io, [&] { return second_calls.load() == 1; }));
    io.restart();
    io.run_for(20ms);
    EXPECT_FALSE(old_wait_called.load());
    EXPECT_EQ(first_calls.load(), 1);
}

// Signalling opens an event, never makes one: a missing event stays missing,
// also beside its mailbox, so that no owner to come finds it set.
TEST(PlatformWin32Event, SignalOfMissingEventMakesNone) {
    const std::string name = unique_name("none");
    const auto event_exists = [&] {
        HANDLE handle = OpenEventA(SYNCHRONIZE, FALSE, mailbox_event_name(name).c_str());
        if (handle != nullptr) CloseHandle(handle);
        return handle != nullptr;
    };
    signal_mailbox_event(name);
    EXPECT_FALSE(event_exists());
    SharedMapping mailbox = SharedMapping::create(name, 81, "mailbox");
    signal_mailbox_event(name);
    EXPECT_FALSE(event_exists());
    signal_mailbox_event("");
}

TEST(PlatformWin32Event, VanishesWithLastHandle) {
    boost::asio::io_context io;
    const std::string name = unique_name("evtgone");
    {
        MailboxEvent event(io, name);
        signal_mailbox_event(name);
    }
    // A new event of that name starts unset: the set one is gone.
    MailboxEvent event(io, name);
    std::atomic<int> calls{0};
    event.async_wait([&] { ++calls; });
    io.restart();
    io.run_for(50ms);
    EXPECT_EQ(calls.load(), 0);
    signal_mailbox_event(name);
    EXPECT_TRUE(run_until(io, [&] { return calls.load() == 1; }));
}

TEST(PlatformWin32Event, CancelFromAnotherThreadEndsTheWaitSilently) {
    boost::asio::io_context io;
    const std::string name = unique_name("cancel");
    MailboxEvent event(io, name);
    std::atomic<int> calls{0};
    event.async_wait([&] { ++calls; });
    std::promise<void> running;
    boost::asio::post(io, [&] { running.set_value(); });
    std::thread io_thread([&] { io.run(); });
    running.get_future().wait();
    event.cancel();
    event.cancel();
    // run() returns once the aborted wait has been delivered.
    io_thread.join();
    EXPECT_EQ(calls.load(), 0);
}

TEST(PlatformWin32Process, IdIsTheProcessId) {
    const uint32_t id = current_process_id();
    EXPECT_NE(id, 0u);
    uint32_t from_thread = 0;
    std::thread([&] { from_thread = current_process_id(); }).join();
    EXPECT_EQ(from_thread, id);
    sweep_leftovers();
}

TEST(PlatformWin32Process, MutexHeldByKilledProcessPassesToTheNextWaiter) {
    const std::string system = unique_name("S");
    Peer holder = Peer::start({"lock-book-mutex", system});

    NamedMutex mutex = NamedMutex::create(book_mutex_name(system));
    std::promise<void> acquired;
    auto got_it = acquired.get_future();
    std::thread waiter([&] {
        mutex.lock();
        acquired.set_value();
        mutex.unlock();
    });
    EXPECT_EQ(got_it.wait_for(100ms), std::future_status::timeout);
    holder.kill();
    EXPECT_EQ(holder.process().wait(WAIT_LIMIT), ChildProcess::KILLED_EXIT_CODE);
    if (got_it.wait_for(WAIT_LIMIT) != std::future_status::ready) {
        // The waiter cannot be unblocked; a hang would hide every later test.
        std::fprintf(stderr, "abandoned mutex never acquired; aborting\n");
        std::abort();
    }
    waiter.join();
}

TEST(PlatformWin32Process, ObjectsOfKilledProcessVanish) {
    const std::string system = unique_name("S");
    Peer victim = Peer::hold("victim", system, 81);
    const std::string mailbox = victim.mailbox_name();
    {
        std::optional<PeerMailbox> opened = PeerMailbox::open(mailbox);
        ASSERT_TRUE(opened.has_value());
        EXPECT_EQ(opened->size(), 4096u);
        EXPECT_TRUE(PeerMailbox::open(book_name(system)).has_value());
    }
    victim.kill();
    EXPECT_FALSE(PeerMailbox::open(mailbox).has_value());
    // It was the system's only node, so the book went with it.
    EXPECT_FALSE(PeerMailbox::open(book_name(system)).has_value());
    signal_mailbox_event(mailbox);
}

}  // namespace
}  // namespace tarnvel::test
