// Deaths around the wake word and kept links, in real processes: an owner
// killed while it sleeps, a writer killed between its record and its signal,
// a peer that dies while a link to it is kept.
#include "platform/platform.hpp"
#include "ring.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/platform_extras.hpp"
#include "support/raw_book.hpp"
#include "support/raw_mailbox.hpp"
#include "support/shm_files.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"
#include "wake_word.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace tarnvel::test {
namespace {

std::string mailbox_of(const std::string& system, uint32_t pid) {
    RawBook book(system);
    for (const auto& slot : book.slots()) {
        if (slot.pid == pid) return slot.mailbox_name;
    }
    return {};
}

// What the owner of that mailbox says of itself now; nothing without a word.
std::optional<uint32_t> owner_state(const std::string& mailbox, uint64_t bytes) {
    const auto copy = platform::read_mapping(mailbox, mailbox_mapping_size(bytes));
    if (!copy) return std::nullopt;
    const uint64_t at = wake_area_offset(mailbox_capacity(bytes));
    uint32_t magic = 0;
    uint32_t state = 0;
    std::memcpy(&magic, copy->data() + at, 4);
    std::memcpy(&state, copy->data() + at + 4, 4);
    if (magic != WAKE_MAGIC) return std::nullopt;
    return state & OWNER_ASLEEP;
}

// The mailbox's waiter word as its owner's threads left it; 0 without one.
uint32_t waiter_word_of(const std::string& mailbox, uint64_t bytes) {
    const auto copy = platform::read_mapping(mailbox, mailbox_mapping_size(bytes));
    if (!copy) return 0;
    uint32_t word = 0;
    std::memcpy(&word, copy->data() + wake_area_offset(mailbox_capacity(bytes)) + 8, 4);
    return word;
}

// Whether a thread of the mailbox's owner sleeps on its waiter word.
bool reader_waits(const std::string& mailbox, uint64_t bytes) {
    return (waiter_word_of(mailbox, bytes) & READER_WAITS) != 0;
}

// A thread of a node waiting in get() for a call that blocks. Its call ends
// by its time limit at the latest, so the thread is always joined.
struct WaitingThread {
    CallFuture call;
    std::atomic<bool> answered{false};
    CallResult result;
    std::thread thread;
    ~WaitingThread() {
        if (thread.joinable()) thread.join();
    }
};

// Starts `waiting` on `me`'s call of `blocker`'s "block"; true once the call
// blocks and the thread sleeps on the waiter word of `mine`, `me`'s mailbox.
bool wait_in_get(Tarnvel& me, Peer& blocker, const std::string& mine, WaitingThread& waiting) {
    waiting.call = me.call(blocker.node_name(), blocker.pid(), "block", {}, LONG_TIMEOUT_MS);
    if (blocker.expect_line() != "blocked") return false;
    waiting.thread = std::thread([&waiting] {
        waiting.result = waiting.call.get();
        waiting.answered = true;
    });
    return eventually([&] { return reader_waits(mine, DEFAULT_RECV_BYTES); });
}

// Counts the calls of `node`'s "count" method in `counted`.
bool count_calls(Tarnvel& node, std::atomic<int>& counted) {
    return node.register_method({{"name", "count"}}, [&counted](Bytes) {
        ++counted;
        return Bytes{};
    });
}

// A forked writer appends a "count" request to `mailbox`, runs
// `before_dying` on the mapping, and dies before any wake-up.
void write_and_die(const std::string& mailbox, void (*before_dying)(uint8_t* view) = nullptr) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only async-signal-safe work would be strictly right here; the
        // mapping and the record need nothing of the parent's threads.
        auto to_owner = platform::PeerMailbox::open(mailbox);
        if (!to_owner) ::_exit(2);
        const Bytes request = encode_request_frame(1, static_cast<uint32_t>(::getpid()), "count", "");
        if (!append_raw_record(to_owner->view(), static_cast<uint32_t>(request.size()), request)) ::_exit(3);
        if (before_dying != nullptr) before_dying(to_owner->view());
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

bool maps_file(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find(path) != std::string::npos) return true;
    }
    return false;
}

TEST(WakePosix, AnOwnerKilledAsleepEndsTheCallToItAtOnce) {
    const std::string system = unique_name("S");
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    Peer srv = Peer::serve("srv", system);
    // A call first: the link to it is kept and watched.
    ASSERT_EQ(call_wait(me, "srv", srv.pid(), "echo", "x").status, STATUS_OK);
    const std::string theirs = mailbox_of(system, srv.pid());
    ASSERT_FALSE(theirs.empty());
    ASSERT_TRUE(eventually([&] { return owner_state(theirs, DEFAULT_RECV_BYTES) == OWNER_ASLEEP; }));

    srv.kill();
    const auto start = std::chrono::steady_clock::now();
    const CallResult r = call_wait(me, "srv", srv.pid(), "echo", "y", LONG_TIMEOUT_MS);
    EXPECT_EQ(r.status, STATUS_EXEC_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Its record is committed, its signal never comes: the next writer's wakes
// the owner for both.
TEST(WakePosix, AWriterKilledBeforeItsSignalHoldsUpNothingBehindIt) {
    const std::string system = unique_name("S");
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    std::atomic<int> counted{0};
    ASSERT_TRUE(count_calls(me, counted));
    const std::string mine = mailbox_of(system, me.pid());
    ASSERT_FALSE(mine.empty());
    ASSERT_TRUE(eventually([&] { return owner_state(mine, DEFAULT_RECV_BYTES) == OWNER_ASLEEP; }));

    write_and_die(mine);  // dies before any signal
    if (HasFatalFailure()) return;

    EXPECT_EQ(call_wait(me, "me", me.pid(), "count").status, STATUS_OK);
    EXPECT_TRUE(eventually([&] { return counted.load() == 2; }));
}

// A thread waiting in get() reads the mailbox while the io thread sleeps:
// what it finds that is not its to act on (completions, requests) still runs
// on the io thread, in the order it was written.
TEST(WakePosix, AThreadReadingForItsAnswerLeavesTheRestToTheIoThread) {
    const std::string system = unique_name("S");
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    std::mutex mutex;
    std::vector<std::string> recorded;
    std::atomic<int> off_io_thread{0};
    ASSERT_TRUE(me.register_method({{"name", "record"}}, [&](Bytes args) {
        if (!Tarnvel::on_io_thread()) ++off_io_thread;
        std::lock_guard lock(mutex);
        recorded.push_back(to_text(args));
        return Bytes{};
    }));
    Peer srv = Peer::serve("srv", system);
    Peer blocker = Peer::serve("blocker", system);  // its one handler thread blocks
    ASSERT_EQ(call_wait(me, "srv", srv.pid(), "echo", "x").status, STATUS_OK);
    const std::string mine = mailbox_of(system, me.pid());
    ASSERT_FALSE(mine.empty());

    WaitingThread waiting;
    ASSERT_TRUE(wait_in_get(me, blocker, mine, waiting));

    constexpr int COUNT = 40;
    std::atomic<int> echoed{0};
    for (int i = 0; i < COUNT; ++i) {
        me.call("srv", srv.pid(), "echo", to_bytes(std::to_string(i)), LONG_TIMEOUT_MS, [&](CallResult r) {
            if (!Tarnvel::on_io_thread()) ++off_io_thread;
            if (r.status == STATUS_OK) ++echoed;
        });
    }
    ChildProcess caller =
        Peer::launch({"call-many", "caller", system, unique_name("rx"), std::to_string(DEFAULT_RECV_BYTES), "me",
                      std::to_string(me.pid()), "record", std::to_string(COUNT)});
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return echoed.load() == COUNT && recorded.size() == COUNT;
    }));
    EXPECT_FALSE(waiting.answered.load());
    blocker.send("release");
    waiting.thread.join();
    EXPECT_EQ(waiting.result.status, STATUS_OK);
    EXPECT_EQ(off_io_thread.load(), 0);
    std::lock_guard lock(mutex);
    std::vector<std::string> in_order;
    for (int i = 0; i < COUNT; ++i) in_order.push_back(std::to_string(i));
    EXPECT_EQ(recorded, in_order);
}

// How many complete records wait in that mailbox, which nobody reads now.
size_t unread_records(const std::string& mailbox) {
    const auto copy = platform::read_mapping(mailbox, mailbox_mapping_size(DEFAULT_RECV_BYTES));
    return copy ? unread_frames(copy->data()).size() : 0;
}

// Whether a thread of the mailbox's owner reads it in the io thread's place,
// awake or asleep.
bool reader_present(const std::string& mailbox, uint64_t bytes) { return waiter_word_of(mailbox, bytes) != 0; }

// A thread in wait_taking_answers() ends a call whose answer it reads on its
// own thread; a large answer it leaves to the io thread, whose completion
// wakes it. Either way the wait ends with the call, not at its limit.
TEST(WakePosix, AWaitingThreadTakesSmallAnswersItselfAndLeavesLargeOnesToTheIoThread) {
    const std::string system = unique_name("S");
    constexpr uint64_t ROOM = 1 << 20;
    Tarnvel me("me", system, unique_name("rx"), ROOM);
    Peer srv = Peer::serve("srv", system, ROOM);
    ASSERT_EQ(call_wait(me, "srv", srv.pid(), "echo", "x").status, STATUS_OK);  // the link is open
    const std::string mine = mailbox_of(system, me.pid());
    ASSERT_FALSE(mine.empty());
    for (const size_t size : {size_t{16}, size_t{300 * 1024}}) {
        SCOPED_TRACE(size);
        std::atomic<bool> ended{false};
        std::thread::id ended_on;
        size_t answered = 0;
        bool waited = false;
        bool woken = false;  // by the end of the call, not by the limit
        std::thread waiter([&] {
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            waited = me.wait_taking_answers([&] { return ended.load(); }, limit);
            woken = std::chrono::steady_clock::now() < limit;
        });
        // The answer comes once the thread is there to read it.
        ASSERT_TRUE(eventually([&] { return reader_present(mine, ROOM); }));
        const Bytes args(size, 'a');
        const std::function<void()> wake = me.answer_waiter_waker();
        me.call(
            "srv", srv.pid(), "echo", BytesView(args), LONG_TIMEOUT_MS,
            [&, wake](CallResult r) {
                answered = r.status == STATUS_OK ? r.result.size() : 0;
                ended_on = std::this_thread::get_id();
                ended = true;
                wake();
            },
            any_thread);
        const std::thread::id waiter_id = waiter.get_id();
        waiter.join();
        EXPECT_TRUE(waited);
        EXPECT_TRUE(woken);
        EXPECT_TRUE(ended.load());
        EXPECT_EQ(answered, size);
        EXPECT_EQ(ended_on == waiter_id, size < 128 * 1024);
    }
}

// With memory of its own for it, a waiting thread reads a large answer there
// itself; without, it leaves it to the io thread. An answer it reads there for
// a call whose completion must run on the io thread, or for a future another
// thread waits on, reaches it as a copy: the memory is the waiting thread's.
TEST(WakePosix, AWaitingThreadReadsALargeAnswerIntoTheSpaceItIsGiven) {
    const std::string system = unique_name("S");
    constexpr uint64_t ROOM = 1 << 20;
    Tarnvel me("me", system, unique_name("rx"), ROOM);
    Peer srv = Peer::serve("srv", system, ROOM);
    ASSERT_EQ(call_wait(me, "srv", srv.pid(), "echo", "x").status, STATUS_OK);
    const std::string mine = mailbox_of(system, me.pid());
    Bytes args(300 * 1024);
    for (size_t i = 0; i < args.size(); ++i) args[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    enum class Case { space, no_space, io_thread_call, future };
    // One call with a thread waiting for it: true when the answer went the
    // way the case means it to. It may go to the io thread all the same (one
    // that reads its mailbox at that moment takes it), but never wrong.
    const auto went_its_way = [&](Case which) {
        std::atomic<bool> ended{false};
        std::thread::id ended_on;
        CallResult got;
        Bytes space;
        Bytes read_there;
        std::vector<size_t> asked;
        std::thread waiter([&] {
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            const Tarnvel::AnswerSpace give = [&](size_t size) {
                asked.push_back(size);
                if (which == Case::no_space) return std::span<uint8_t>();
                space.assign(size, 0);
                return std::span<uint8_t>(space);
            };
            EXPECT_TRUE(me.wait_taking_answers([&] { return ended.load(); }, limit, give));
            EXPECT_LT(std::chrono::steady_clock::now(), limit);
            read_there = space;
        });
        EXPECT_TRUE(eventually([&] { return reader_present(mine, ROOM); }));
        const std::function<void()> wake = me.answer_waiter_waker();
        const auto done = [&, wake](CallResult r) {
            got = std::move(r);
            ended_on = std::this_thread::get_id();
            ended = true;
            wake();
        };
        if (which == Case::io_thread_call) {
            me.call("srv", srv.pid(), "echo", BytesView(args), LONG_TIMEOUT_MS, done);
        } else if (which == Case::future) {
            // Refused the mailbox, which the other thread holds, get() waits
            // for the io thread.
            done(me.call("srv", srv.pid(), "echo", BytesView(args), LONG_TIMEOUT_MS).get());
        } else {
            me.call("srv", srv.pid(), "echo", BytesView(args), LONG_TIMEOUT_MS, done, any_thread);
        }
        const std::thread::id waiter_id = waiter.get_id();
        waiter.join();
        EXPECT_TRUE(ended.load());
        EXPECT_EQ(got.status, STATUS_OK);
        EXPECT_LE(asked.size(), 1u);
        if (got.result_in_space) {
            EXPECT_EQ(which, Case::space);
            EXPECT_EQ(ended_on, waiter_id);
            EXPECT_TRUE(got.result.empty());
            EXPECT_TRUE(read_there == args);
        } else {
            EXPECT_TRUE(got.result == args);
        }
        if (which != Case::space) {
            EXPECT_NE(ended_on, waiter_id);
        }
        if (asked != std::vector<size_t>{args.size()}) return false;
        switch (which) {
            case Case::space:
                return got.result_in_space;
            case Case::no_space:
                return true;
            default:
                return read_there == args;  // read into the space, and copied for the io thread
        }
    };
    for (const Case which : {Case::space, Case::no_space, Case::io_thread_call, Case::future}) {
        SCOPED_TRACE(static_cast<int>(which));
        bool went = false;
        for (int attempt = 0; attempt < 5 && !went && !HasFailure(); ++attempt) went = went_its_way(which);
        EXPECT_TRUE(went);
    }
}

// While the waiting thread would get memory for a large answer (a Python
// thread waits for the interpreter lock), records behind it, whose writers
// set no event since it said it was reading, would wait too: it asks for
// none, and the io thread takes them all.
TEST(WakePosix, AWaitingThreadAsksForNoSpaceWhileRecordsWaitBehindTheAnswer) {
    const std::string system = unique_name("S");
    constexpr uint64_t ROOM = 1 << 20;
    Tarnvel me("me", system, unique_name("rx"), ROOM);
    Peer srv = Peer::serve("srv", system, ROOM);
    ASSERT_EQ(call_wait(me, "srv", srv.pid(), "echo", "x").status, STATUS_OK);  // its sequence number is 1
    // Calls the peer leaves unanswered, ended below by answers written by hand.
    std::atomic<int> ended{0};
    CallResult got[2];
    const std::function<void()> wake = me.answer_waiter_waker();
    const Bytes none;
    for (int i = 0; i < 2; ++i) {
        me.call(
            "srv", srv.pid(), "block", BytesView(none), LONG_TIMEOUT_MS,
            [&, i, wake](CallResult r) {
                got[i] = std::move(r);
                ++ended;
                wake();
            },
            any_thread);
    }
    Bytes large(1 + 300 * 1024, 'a');
    large[0] = STATUS_OK;
    auto mine = platform::PeerMailbox::open(mailbox_of(system, me.pid()));
    ASSERT_TRUE(mine.has_value());
    for (const Bytes& frame :
         {encode_raw_frame(2, 2, srv.pid(), large), encode_raw_frame(2, 3, srv.pid(), Bytes{STATUS_OK, 'o', 'k'})}) {
        ASSERT_TRUE(append_raw_record(mine->view(), static_cast<uint32_t>(frame.size()), frame));
    }
    std::vector<size_t> asked;
    Bytes space;
    const Tarnvel::AnswerSpace give = [&](size_t size) {
        asked.push_back(size);
        space.assign(size, 0);
        return std::span<uint8_t>(space);
    };
    EXPECT_TRUE(me.wait_taking_answers([&] { return ended.load() == 2; },
                                       std::chrono::steady_clock::now() + std::chrono::seconds(20), give));
    ASSERT_EQ(ended.load(), 2);
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(got[0].result.size(), large.size() - 1);
    EXPECT_FALSE(got[0].result_in_space);
    EXPECT_EQ(to_text(got[1].result), "ok");
}

// A waiting thread with a time limit never waits for a method that holds the
// io thread, and an answer that came meanwhile still ends its call: the io
// thread reads it once the method returns.
TEST(WakePosix, AWaitWithALimitEndsAtItWhileAMethodHoldsTheIoThread) {
    const std::string system = unique_name("S");
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> inside{false};
    ASSERT_TRUE(me.register_method({{"name", "hold"}}, [&, released](Bytes args) {
        inside = true;
        released.wait();
        return args;
    }));
    Peer srv = Peer::serve("srv", system);
    ASSERT_EQ(call_wait(me, "srv", srv.pid(), "echo", "x").status, STATUS_OK);
    const std::string mine = mailbox_of(system, me.pid());
    ChildProcess caller =
        Peer::launch({"call-many", "caller", system, unique_name("rx"), std::to_string(DEFAULT_RECV_BYTES), "me",
                      std::to_string(me.pid()), "hold", "1"});
    ASSERT_TRUE(eventually([&] { return inside.load(); }));

    std::atomic<bool> ended{false};
    const Bytes args = to_bytes("y");
    const std::function<void()> wake = me.answer_waiter_waker();
    me.call(
        "srv", srv.pid(), "echo", BytesView(args), LONG_TIMEOUT_MS,
        [&, wake](CallResult r) {
            ended = r.status == STATUS_OK;
            wake();
        },
        any_thread);
    ASSERT_TRUE(eventually([&] { return unread_records(mine) == 1; }));
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    EXPECT_TRUE(me.wait_taking_answers([&] { return ended.load(); }, limit));
    EXPECT_GE(std::chrono::steady_clock::now(), limit);
    EXPECT_FALSE(ended.load());
    release.set_value();
    EXPECT_TRUE(eventually([&] { return ended.load(); }));
    EXPECT_EQ(caller.read_line(std::chrono::seconds(30)), "matched 1");
}

// A thread may wait in the mailbox for more than a call (a Python Future's
// signal, set once its done-callbacks have run, one of which may close the
// node): close sends it away rather than wait for it.
TEST(WakePosix, CloseSendsAwayAThreadWaitingInTheMailboxForAnythingElse) {
    const std::string system = unique_name("S");
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    const std::string mine = mailbox_of(system, me.pid());
    bool waited = false;
    bool sent_away = false;
    std::thread waiter([&] {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        waited = me.wait_taking_answers([] { return false; }, limit);
        sent_away = std::chrono::steady_clock::now() < limit;
    });
    ASSERT_TRUE(eventually([&] { return reader_waits(mine, DEFAULT_RECV_BYTES); }));
    me.close();
    waiter.join();
    EXPECT_TRUE(waited);
    EXPECT_TRUE(sent_away);
    EXPECT_FALSE(
        me.wait_taking_answers([] { return false; }, std::chrono::steady_clock::now() + std::chrono::seconds(20)));
}

// While the io thread is held up outside its drain (in a time-out's
// completion), only a thread in take_answers() can end a call whose
// completion may run anywhere. A request written before an answer stays
// ahead of it: that call ends only once the io thread has run the request.
TEST(WakePosix, AnswersTakenByACallerEndTheirCallsInTheOrderWritten) {
    const std::string system = unique_name("S");
    std::mutex mutex;
    std::vector<std::string> happened;
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> io_held{false};
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    // Destroyed before the node, whose close needs its io thread back.
    struct Releaser {
        std::promise<void>& promise;
        ~Releaser() {
            try {
                promise.set_value();
            } catch (const std::future_error&) {
            }
        }
    } const releaser{release};
    ASSERT_TRUE(me.register_method({{"name", "record"}}, [&](Bytes args) {
        std::lock_guard lock(mutex);
        happened.push_back("request " + to_text(args));
        return args;
    }));
    Peer srv = Peer::serve("srv", system);
    Peer blocker = Peer::serve("blocker", system);
    ASSERT_EQ(call_wait(me, "srv", srv.pid(), "echo", "x").status, STATUS_OK);  // the link is open
    const std::string mine = mailbox_of(system, me.pid());
    ASSERT_FALSE(mine.empty());
    me.call("blocker", blocker.pid(), "block", {}, 50, [&, released](CallResult) {
        io_held = true;
        released.wait();
    });
    ASSERT_EQ(blocker.expect_line(), "blocked");
    ASSERT_TRUE(eventually([&] { return io_held.load(); }));

    const Bytes first = to_bytes("first");
    std::atomic<bool> first_ended{false};
    std::thread::id ended_on;
    me.call(
        "srv", srv.pid(), "echo", BytesView(first), LONG_TIMEOUT_MS,
        [&](CallResult r) {
            if (r.status == STATUS_OK) ended_on = std::this_thread::get_id();
            first_ended = true;
        },
        any_thread);
    EXPECT_TRUE(eventually([&] {
        me.take_answers();
        return first_ended.load();
    }));
    EXPECT_EQ(ended_on, std::this_thread::get_id());

    ChildProcess caller =
        Peer::launch({"call-many", "caller", system, unique_name("rx"), std::to_string(DEFAULT_RECV_BYTES), "me",
                      std::to_string(me.pid()), "record", "1"});
    ASSERT_TRUE(eventually([&] { return unread_records(mine) == 1; }));
    const Bytes second = to_bytes("second");
    me.call(
        "srv", srv.pid(), "echo", BytesView(second), LONG_TIMEOUT_MS,
        [&](CallResult) {
            std::lock_guard lock(mutex);
            happened.push_back("answer");
        },
        any_thread);
    ASSERT_TRUE(eventually([&] { return unread_records(mine) == 2; }));
    me.take_answers();
    me.take_answers();
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(happened.empty());
    }
    release.set_value();
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return happened.size() == 2;
    }));
    EXPECT_EQ(caller.read_line(std::chrono::seconds(30)), "matched 1");
    std::lock_guard lock(mutex);
    EXPECT_EQ(happened, (std::vector<std::string>{"request 0", "answer"}));
}

// A writer that cleared the waiter word's bit and died before its wake: the
// waiting thread sleeps on, and the next writer's event wakes the io thread,
// which takes both records and wakes the waiting thread with its answer.
TEST(WakePosix, AWriterKilledBetweenItsRecordAndItsWakeHoldsUpNoWaitingThread) {
    const std::string system = unique_name("S");
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    std::atomic<int> counted{0};
    ASSERT_TRUE(count_calls(me, counted));
    Peer srv = Peer::serve("srv", system);
    ASSERT_EQ(call_wait(me, "srv", srv.pid(), "echo", "x").status, STATUS_OK);
    const std::string mine = mailbox_of(system, me.pid());
    ASSERT_FALSE(mine.empty());

    WaitingThread waiting;
    ASSERT_TRUE(wait_in_get(me, srv, mine, waiting));

    // It clears the waiter's bit, as a writer about to wake it does, and
    // dies before its wake.
    write_and_die(mine, [](uint8_t* view) {
        uint32_t* word = reinterpret_cast<uint32_t*>(view + wake_area_offset(mailbox_capacity(DEFAULT_RECV_BYTES)) + 8);
        std::atomic_ref<uint32_t>(*word).fetch_and(~READER_WAITS);
    });
    if (HasFatalFailure()) return;
    EXPECT_FALSE(waiting.answered.load());

    srv.send("release");
    // Well before the call's time limit.
    EXPECT_TRUE(eventually([&] { return waiting.answered.load(); }));
    waiting.thread.join();
    EXPECT_EQ(waiting.result.status, STATUS_OK);
    EXPECT_TRUE(eventually([&] { return counted.load() == 1; }));
}

// A peer that called us and died: the link our answer left is watched, and
// its death is seen (its slot purged) with no message to it.
TEST(WakePosix, APeerDyingWhileLinkedIsSeenWithoutAMessage) {
    const std::string system = unique_name("S");
    Tarnvel me("me", system, unique_name("rx"), DEFAULT_RECV_BYTES);
    std::mutex mutex;
    std::optional<Reply> held;
    std::atomic<bool> second{false};
    ASSERT_TRUE(me.register_method({{"name", "hold"}}, [&](Bytes args, Reply reply) {
        if (to_text(args) == "0") {
            reply.complete(std::move(args));
            return;
        }
        std::lock_guard lock(mutex);
        held.emplace(std::move(reply));
        second = true;
    }));
    ChildProcess caller =
        Peer::launch({"call-many", "caller", system, unique_name("rx"), std::to_string(DEFAULT_RECV_BYTES), "me",
                      std::to_string(me.pid()), "hold", "2"});
    const auto caller_pid = static_cast<uint32_t>(caller.pid());
    ASSERT_TRUE(eventually([&] { return second.load(); }));
    const std::string theirs = mailbox_of(system, caller_pid);
    ASSERT_FALSE(theirs.empty());
    // The answer to "0" went out through a kept link.
    ASSERT_TRUE(eventually([&] { return maps_file(shm_object_path(SHM_MAPPING, theirs)); }));

    caller.kill();
    EXPECT_TRUE(eventually([&] { return mailbox_of(system, caller_pid).empty(); }, std::chrono::seconds(3)));
    std::lock_guard lock(mutex);
    held.reset();  // fails the call of a process that is gone
}

TEST(WakePosix, LinksLetGoOfLiveOwnersLeaveNoDescriptorsBehind) {
    // Links to live owners come and go (a cache beyond its bound does this);
    // each one watched must be let go with its descriptors when it is gone.
    boost::asio::io_context io;
    platform::LinkWatch watch(io, {});
    std::vector<std::string> names;
    std::vector<platform::SharedMapping> mailboxes;
    std::vector<std::unique_ptr<platform::MailboxEvent>> events;
    for (int i = 0; i < 3; ++i) {
        names.push_back(unique_name("m"));
        mailboxes.push_back(platform::SharedMapping::create(names.back(), 4096, "mailbox"));
        events.push_back(std::make_unique<platform::MailboxEvent>(io, names.back()));
    }
    const auto open_descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator{});
    };
    const auto watch_and_drop = [&](int times) {
        for (int i = 0; i < times; ++i) {
            platform::OpenFailure why = platform::OpenFailure::local;
            auto link = platform::PeerLink::open(names[i % 3], platform::current_process_id(), why);
            ASSERT_TRUE(link.has_value());
            watch.watch(*link, platform::current_process_id(), false);
        }
    };
    watch_and_drop(10);
    const auto before = open_descriptors();
    watch_and_drop(100);
    EXPECT_LE(open_descriptors(), before + 2);
}

}  // namespace
}  // namespace tarnvel::test
