// The wake word: a writer that finds its owner awake sets no event, so a
// wake-up may only be skipped when the owner will read the record anyway.
#include "frame.hpp"
#include "ring.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"
#include "wake_word.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace tarnvel::test {
namespace {

// Whether a writer of a record to that mailbox must set its event.
bool event_needed(uint8_t* view, uint64_t size, uint32_t* signalled = nullptr) {
    uint32_t* waiter = nullptr;
    return wake_needed(view, size, signalled, &waiter) == WakeNeeded::event;
}

// A manual-reset event as the owner's platform event behaves: a set after
// the reset always ends the next wait.
class Event {
public:
    void set() {
        std::lock_guard lock(mutex_);
        set_ = true;
        changed_.notify_all();
    }
    // Waits for a set and resets; false when none came within `limit`.
    bool wait_and_reset(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, limit, [&] { return set_; })) return false;
        set_ = false;
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

bool serve_echo(Tarnvel& node) {
    return node.register_method(boost::json::object{{"type", "method"}, {"name", "echo"}},
                                [](Bytes args) { return args; });
}

// Calls `target`'s "echo" from `threads` threads of `node` at once, 300 calls
// each; the calls whose answer is wrong or missing.
int failed_echoes(Tarnvel& node, const std::string& target, uint32_t pid, int threads) {
    std::atomic<int> failed{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const std::string text = std::to_string(t) + ":" + std::to_string(i);
                const CallResult r = call_wait(node, target, pid, "echo", text);
                if (r.status != STATUS_OK || to_text(r.result) != text) ++failed;
            }
        });
    }
    for (auto& t : callers) t.join();
    return failed.load();
}

// Many writers and an owner that goes to sleep as soon as it finds nothing,
// so that it keeps falling asleep between a writer's commit and its look at
// the word. A lost wake-up leaves records unread with the owner waiting.
TEST(Wake, NoWakeUpIsLostBetweenManyWritersAndASleepingOwner) {
    constexpr uint64_t BYTES = 4096;  // small: writers also meet a full ring
    constexpr int WRITERS = 4;
    constexpr int EACH = 3000;
    std::vector<uint64_t> storage((mailbox_mapping_size(BYTES) + 7) / 8);
    uint8_t* view = reinterpret_cast<uint8_t*>(storage.data());
    const uint64_t mapped = mailbox_mapping_size(BYTES);
    init_mailbox(view, BYTES);
    init_wake_word(view, BYTES);
    Event event;
    std::atomic<bool> given_up{false};  // the owner stopped reading

    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; ++w) {
        writers.emplace_back([&, w] {
            const Bytes frame = encode_request(static_cast<uint16_t>(w + 1), 1, "m", Bytes{1, 2, 3});
            // Each writer remembers the word it last set the event under, and
            // skips the event while that word stands.
            uint32_t memory = 0;
            uint32_t* signalled = &memory;
            for (int i = 0; i < EACH;) {
                const AppendResult r = append_record(view, mapped, frame);
                // As a sender does: after a record, and when the ring is full
                // (its owner is behind), the event only for a sleeping owner.
                if (event_needed(view, mapped, signalled)) event.set();
                if (r == AppendResult::ok) {
                    ++i;
                } else {
                    ASSERT_EQ(r, AppendResult::full);
                    if (given_up) return;
                    std::this_thread::yield();
                }
            }
        });
    }

    size_t taken = 0;
    DrainState state;
    Bytes buffer;
    const auto take = [&] { drain_records(view, BYTES, buffer, state, [&](const Bytes&) { ++taken; }); };
    bool lost = false;
    uint32_t wakes = 0;
    while (taken < size_t{WRITERS} * EACH) {
        say_owner_awake(view, BYTES, wakes);
        take();
        say_owner_asleep(view, BYTES, wakes);
        take();
        if (taken == size_t{WRITERS} * EACH) break;
        if (!event.wait_and_reset(std::chrono::milliseconds(WAIT_LIMIT))) {
            lost = true;
            given_up = true;
            break;
        }
    }
    for (auto& t : writers) t.join();
    EXPECT_FALSE(lost) << "owner asleep with " << (size_t{WRITERS} * EACH - taken) << " records unread";
    EXPECT_EQ(taken, size_t{WRITERS} * EACH);
}

// An owner without a word (or one whose mapping ends with its ring) is set
// after every record, as before the word existed.
TEST(Wake, AMailboxWithoutAWordIsAlwaysSignalled) {
    constexpr uint64_t BYTES = 1024;
    std::vector<uint64_t> storage((mailbox_mapping_size(BYTES) + 7) / 8);
    uint8_t* view = reinterpret_cast<uint8_t*>(storage.data());
    init_mailbox(view, BYTES);
    EXPECT_TRUE(event_needed(view, BYTES));
    EXPECT_TRUE(event_needed(view, mailbox_mapping_size(BYTES)));  // no magic
    init_wake_word(view, BYTES);
    EXPECT_TRUE(event_needed(view, BYTES));  // the word lies outside what is mapped
    EXPECT_TRUE(event_needed(view, mailbox_mapping_size(BYTES)));
    uint32_t wakes = 0;
    say_owner_awake(view, BYTES, wakes);
    EXPECT_FALSE(event_needed(view, mailbox_mapping_size(BYTES)));
    // Asleep: the first writer sets the event; it need not again until the
    // owner has woken, while a writer without memory always does.
    say_owner_asleep(view, BYTES, wakes);
    uint32_t memory = 0;
    EXPECT_TRUE(event_needed(view, mailbox_mapping_size(BYTES), &memory));
    EXPECT_FALSE(event_needed(view, mailbox_mapping_size(BYTES), &memory));
    EXPECT_TRUE(event_needed(view, mailbox_mapping_size(BYTES)));
    say_owner_awake(view, BYTES, wakes);
    say_owner_asleep(view, BYTES, wakes);
    EXPECT_TRUE(event_needed(view, mailbox_mapping_size(BYTES), &memory));
    // The word sits on a 64-byte boundary behind the ring, whatever its size.
    EXPECT_EQ(wake_area_offset(65), 128u);
    EXPECT_EQ(wake_area_offset(48), 64u);
}

// The same through a node: threads call the node's own method at once, so
// the caller threads and the io thread write while the io thread sleeps and
// wakes between them.
TEST(Wake, ANodeCalledFromManyThreadsAnswersEveryCall) {
    const std::string system = unique_name("S");
    Tarnvel node("n", system, unique_name("rx"), 8192);
    ASSERT_TRUE(serve_echo(node));
    EXPECT_EQ(failed_echoes(node, "n", node.pid(), 4), 0);
}

// Threads waiting in get() for answers from another process: one of them
// reads the ring and sleeps on the waiter word, the others wait on their
// futures, and the peer's answers to all of them go through whichever reads,
// while another peer's requests go through the io thread. A lost wake-up
// leaves a call to end by its time limit; the sanitizer sees the two readers
// of one ring.
TEST(Wake, ThreadsWaitingForAnotherProcessGetEveryAnswer) {
    const std::string system = unique_name("S");
    Tarnvel node("n", system, unique_name("rx"), 8192);
    ASSERT_TRUE(serve_echo(node));
    Peer srv = Peer::serve("srv", system);
    constexpr int REQUESTS = 2000;
    ChildProcess asker = Peer::launch({"call-many", "asker", system, unique_name("rx"), "65536", "n",
                                       std::to_string(node.pid()), "echo", std::to_string(REQUESTS)});
    EXPECT_EQ(failed_echoes(node, "srv", srv.pid(), 3), 0);
    EXPECT_EQ(asker.read_line(std::chrono::seconds(60)), "matched " + std::to_string(REQUESTS));
}

// Calls whose completions may run on any thread, while another thread takes
// the answers as often as it can: each call ends once, with its own answer,
// and the requests of another peer that the taking thread leaves for the io
// thread are all served. The sanitizer sees the two readers of one ring.
TEST(Wake, AnswersTakenBetweenWaitsEndEachCallOnce) {
    // Declared before the node: a call left pending ends when it closes.
    std::mutex mutex;
    std::condition_variable changed;
    constexpr int CALLS = 3000;
    std::vector<int> ends(CALLS, 0);
    int ended = 0;
    int wrong = 0;
    const std::string system = unique_name("S");
    Tarnvel node("n", system, unique_name("rx"), 8192);
    ASSERT_TRUE(serve_echo(node));
    Peer srv = Peer::serve("srv", system);
    constexpr int WINDOW = 64;
    ChildProcess asker = Peer::launch({"call-many", "asker", system, unique_name("rx"), "65536", "n",
                                       std::to_string(node.pid()), "echo", std::to_string(CALLS)});
    std::atomic<bool> finished{false};
    std::thread taker([&] {
        while (!finished.load()) {
            node.take_answers();
            std::this_thread::yield();
        }
    });
    bool all_ended = false;
    {
        std::unique_lock lock(mutex);
        for (int i = 0; i < CALLS; ++i) {
            lock.unlock();
            const std::string text = std::to_string(i);
            const Bytes arg(text.begin(), text.end());
            node.call(
                "srv", srv.pid(), "echo", BytesView(arg), 30000,
                [&, i, text](CallResult r) {
                    std::lock_guard done(mutex);
                    if (r.status != STATUS_OK || to_text(r.result) != text) ++wrong;
                    ++ends[i];
                    ++ended;
                    changed.notify_all();
                },
                any_thread);
            lock.lock();
            // A call that never ends stops the loop; the taker is joined first.
            if (!changed.wait_for(lock, std::chrono::seconds(60), [&] { return i + 1 - ended < WINDOW; })) break;
        }
        all_ended = changed.wait_for(lock, std::chrono::seconds(60), [&] { return ended == CALLS; });
    }
    finished = true;
    taker.join();
    EXPECT_TRUE(all_ended);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(std::count(ends.begin(), ends.end(), 1), CALLS);
    EXPECT_EQ(asker.read_line(std::chrono::seconds(60)), "matched " + std::to_string(CALLS));
}

}  // namespace
}  // namespace tarnvel::test
