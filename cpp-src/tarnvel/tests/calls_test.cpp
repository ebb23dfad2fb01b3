// Calls between processes and within one: outcomes, ordering, time-outs,
// delivery failures, close with calls in flight, and the method registry as
// callers see it through "sys.list_methods".
#include "names.hpp"
#include "platform/platform.hpp"
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/platform_extras.hpp"
#include "support/raw_book.hpp"
#include "support/raw_mailbox.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

namespace tarnvel::test {
namespace {

const std::string LIST_METHODS_DESCRIPTOR =
    R"({"type":"method","name":"sys.list_methods","params":[],"return":[{"type":"char*"}]})";
const std::string LIST_NODES_DESCRIPTOR =
    R"({"type":"method","name":"sys.list_nodes","params":[],"return":[{"type":"char*"}]})";

MethodHandler echo_handler() {
    return [](Bytes b) { return b; };
}

class Calls : public ::testing::Test {
protected:
    void SetUp() override {
        system_ = unique_name("S");
        me_.emplace("me", system_, unique_name("rx"), DEFAULT_RECV_BYTES);
    }

    Tarnvel& me() { return *me_; }

    CallResult call(Peer& peer, const std::string& method, std::string_view args = {},
                    int64_t timeout_ms = LONG_TIMEOUT_MS) {
        return call_wait(me(), peer.node_name(), peer.pid(), method, args, timeout_ms);
    }
    std::future<CallResult> start(Peer& peer, const std::string& method, std::string_view args = {},
                                  int64_t timeout_ms = LONG_TIMEOUT_MS) {
        return me().call(peer.node_name(), peer.pid(), method, to_bytes(args), timeout_ms);
    }
    CallResult call_self(const std::string& method, std::string_view args = {}) {
        return call_wait(me(), "me", me().pid(), method, args);
    }
    std::string list_methods_text() {
        auto r = call_self("sys.list_methods");
        EXPECT_EQ(r.status, STATUS_OK);
        return unpack_answer(r.result).value_or("<not a packed string>");
    }
    // A target that is only a book slot, with a mailbox nobody reads.
    platform::SharedMapping quiet_target(size_t slot, uint32_t pid, const std::string& node = "quiet") {
        const std::string name = unique_name(node);
        auto mapping = platform::SharedMapping::create(name, 4096, "mailbox");
        write_mailbox_header(mapping.view(), {RAW_MAILBOX_MAGIC, 4096 - 16, 0, 0});
        RawBook(system_).write_slot(slot, pid, node, name);
        return mapping;
    }
    std::string my_mailbox() {
        for (auto& s : RawBook(system_).slots())
            if (s.pid == me().pid()) return s.mailbox_name;
        return {};
    }
    // Writes these frames into this node's mailbox as a peer would, and
    // signals it.
    void write_to_me(const std::vector<Bytes>& frames) {
        auto mine = platform::PeerMailbox::open(my_mailbox());
        ASSERT_TRUE(mine.has_value());
        for (const auto& f : frames) ASSERT_TRUE(append_raw_record(mine->view(), static_cast<uint32_t>(f.size()), f));
        platform::signal_mailbox_event(my_mailbox());
    }

    std::string system_;
    std::optional<Tarnvel> me_;
};

TEST_F(Calls, Echo) {
    Peer srv = Peer::serve("srv", system_);
    auto r = call(srv, "echo", "hello");
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), "hello");

    std::string binary;
    for (int i = 0; i < 40000; ++i) binary.push_back(static_cast<char>(i * 7));
    r = call(srv, "echo", binary);
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), binary);

    r = call(srv, "echo", "");
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_TRUE(r.result.empty());
    EXPECT_EQ(srv.quit(), 0);
}

TEST_F(Calls, HandlerOutcomes) {
    Peer srv = Peer::serve("srv", system_);
    for (const char* unknown : {"nope", "ECHO", "echo ", "sys.nope", ""}) {
        auto r = call(srv, unknown, "x");
        EXPECT_EQ(r.status, STATUS_EXEC_FAILED) << unknown;
        EXPECT_TRUE(r.result.empty()) << unknown;
    }
    auto failed = call(srv, "fail", "x");
    EXPECT_EQ(failed.status, STATUS_EXEC_FAILED);
    EXPECT_TRUE(failed.result.empty());

    auto empty = call(srv, "empty", "ignored");
    EXPECT_EQ(empty.status, STATUS_OK);
    EXPECT_TRUE(empty.result.empty());

    // The node goes on serving after a handler threw.
    auto after = call(srv, "echo", "still here");
    EXPECT_EQ(after.status, STATUS_OK);
    EXPECT_EQ(to_text(after.result), "still here");
    EXPECT_EQ(srv.quit(), 0);
}

TEST_F(Calls, TimeoutDropsTheLateAnswer) {
    Peer srv = Peer::serve("srv", system_);
    auto slow = call(srv, "sleep", "300", 20);
    EXPECT_EQ(slow.status, STATUS_TIMEOUT);
    EXPECT_TRUE(slow.result.empty());
    // Sent while the slow handler still runs: its answer arrives after the
    // dropped late one and must not be mixed up with it.
    auto next = call(srv, "echo", "next");
    EXPECT_EQ(next.status, STATUS_OK);
    EXPECT_EQ(to_text(next.result), "next");
}

TEST_F(Calls, NonPositiveTimeoutsStillDeliver) {
    Peer srv = Peer::serve("srv", system_);
    EXPECT_EQ(call(srv, "record", "zero", 0).status, STATUS_TIMEOUT);
    EXPECT_EQ(call(srv, "record", "negative", -5).status, STATUS_TIMEOUT);
    EXPECT_EQ(call(srv, "record", "min", std::numeric_limits<int64_t>::min()).status, STATUS_TIMEOUT);
    // The largest limit must not overflow into the past.
    EXPECT_EQ(call(srv, "record", "max", std::numeric_limits<int64_t>::max()).status, STATUS_OK);
    auto r = call(srv, "recorded");
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), "zero,negative,min,max");
}

TEST_F(Calls, CallsArriveInOrder) {
    Peer srv = Peer::serve("srv", system_);
    std::vector<std::future<CallResult>> futures;
    for (int i = 0; i < 10; ++i) futures.push_back(start(srv, "record", std::to_string(i)));
    for (auto& f : futures) EXPECT_EQ(await(f).status, STATUS_OK);
    auto r = call(srv, "recorded");
    EXPECT_EQ(to_text(r.result), "0,1,2,3,4,5,6,7,8,9");
}

TEST_F(Calls, FullMailboxHoldsCallsUntilThereIsRoom) {
    // A ring of 496 bytes; an echo of 100 bytes is a 132-byte record.
    Peer small = Peer::serve("small", system_, 512);
    const std::string payload(100, 'p');

    // Larger than the whole ring: fails at once, not at its time-out.
    EXPECT_EQ(call(small, "echo", std::string(470, 'x')).status, STATUS_DELIVER_FAILED);

    auto blocked = start(small, "block");
    ASSERT_EQ(small.expect_line(), "blocked");
    std::vector<std::future<CallResult>> futures;
    for (int i = 0; i < 6; ++i) futures.push_back(start(small, "echo", payload + std::to_string(i)));
    // One that cannot wait that long ends at its own time limit.
    EXPECT_EQ(call(small, "echo", payload, 50).status, STATUS_TIMEOUT);
    for (int i = 0; i < 6; ++i) EXPECT_FALSE(is_ready(futures[i])) << i;

    small.send("release");
    auto r = await(blocked);
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), "released");
    // The ones that did not fit waited for room instead of failing.
    for (int i = 0; i < 6; ++i) {
        auto echo = await(futures[i]);
        EXPECT_EQ(echo.status, STATUS_OK) << i;
        EXPECT_EQ(to_text(echo.result), payload + std::to_string(i));
    }
    // Room again once the owner has read.
    EXPECT_EQ(call(small, "echo", payload).status, STATUS_OK);
    EXPECT_EQ(small.quit(), 0);
}

// Borrowed bytes are read during the call alone: a message that has to wait
// (for its destination to be opened, or for room) takes a copy, so changing
// the caller's buffer afterwards changes nothing that was sent.
TEST_F(Calls, BorrowedBytesAreCopiedWhenTheMessageWaits) {
    Peer small = Peer::serve("small", system_, 512);
    Bytes buffer(100);
    const auto fill = [&](char c) { std::fill(buffer.begin(), buffer.end(), static_cast<uint8_t>(c)); };
    // The first call to a peer waits for the io thread to open it.
    fill('a');
    auto first = me().call(small.node_name(), small.pid(), "echo", BytesView(buffer), LONG_TIMEOUT_MS);
    fill('!');
    EXPECT_EQ(to_text(await(first).result), std::string(100, 'a'));

    auto blocked = start(small, "block");
    ASSERT_EQ(small.expect_line(), "blocked");
    // Some fit the ring at once; the rest wait in the outbox for room.
    std::vector<std::future<CallResult>> futures;
    for (char c = 'b'; c <= 'g'; ++c) {
        fill(c);
        futures.push_back(me().call(small.node_name(), small.pid(), "echo", BytesView(buffer), LONG_TIMEOUT_MS));
    }
    fill('!');
    small.send("release");
    EXPECT_EQ(await(blocked).status, STATUS_OK);
    for (size_t i = 0; i < futures.size(); ++i) {
        auto echo = await(futures[i]);
        EXPECT_EQ(echo.status, STATUS_OK) << i;
        EXPECT_EQ(to_text(echo.result), std::string(100, static_cast<char>('b' + i))) << i;
    }

    // The same for an answer: the first to a caller waits for its link.
    me().register_method(boost::json::parse(R"({"name":"lend"})").as_object(), [](Bytes, Reply reply) {
        Bytes lent(64, 'r');
        reply.complete(BytesView(lent));
        std::fill(lent.begin(), lent.end(), '!');
    });
    ChildProcess caller = Peer::launch({"call", "caller", system_, unique_name("rx"), "65536", "me",
                                        std::to_string(me().pid()), "lend", "", "10000"});
    EXPECT_EQ(caller.read_line(std::chrono::seconds(30)), "result 0 " + std::string(64, 'r'));
    EXPECT_EQ(caller.wait(WAIT_LIMIT), 0);
    EXPECT_EQ(small.quit(), 0);
}

// Calls that completions make on the io thread leave together, a few in one
// reservation of a mailbox's ring. Some may not: the small mailbox can fill,
// and another thread calls it half-way, while the io thread holds the batch.
// Each destination must still get every call once, in the order made.
TEST_F(Calls, CallsMadeInCompletionsKeepTheirOrder) {
    Peer small = Peer::serve("small", system_, 512);  // room for a few calls at a time
    Peer large = Peer::serve("large", system_);
    constexpr int COUNT = 60;
    std::mutex mutex;
    std::condition_variable changed;
    int answered = 0;
    int ok = 0;
    bool other_turn = false;
    const CallCompletion on_done = [&](CallResult r) {
        std::lock_guard lock(mutex);
        ++answered;
        if (r.status == STATUS_OK) ++ok;
        changed.notify_all();
    };
    // Calls "T" to small once told to, while the io thread waits for it.
    std::thread other([&] {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, WAIT_LIMIT, [&] { return other_turn; })) return;
        lock.unlock();
        me().call(small.node_name(), small.pid(), "record", to_bytes("T"), LONG_TIMEOUT_MS, on_done);
        lock.lock();
        other_turn = false;
        changed.notify_all();
    });
    me().call(large.node_name(), large.pid(), "echo", to_bytes("go"), LONG_TIMEOUT_MS, [&](CallResult) {
        for (int i = 0; i < COUNT; ++i) {
            Peer& to = i % 3 == 2 ? large : small;
            me().call(to.node_name(), to.pid(), "record", to_bytes(std::to_string(i)), LONG_TIMEOUT_MS, on_done);
            if (i == COUNT / 2) {
                std::unique_lock lock(mutex);
                other_turn = true;
                changed.notify_all();
                changed.wait_for(lock, WAIT_LIMIT, [&] { return !other_turn; });
            }
        }
    });
    bool all_answered = false;
    {
        std::unique_lock lock(mutex);
        all_answered = changed.wait_for(lock, WAIT_LIMIT, [&] { return answered == COUNT + 1; });
    }
    other.join();
    ASSERT_TRUE(all_answered);
    EXPECT_EQ(ok, COUNT + 1);
    std::string to_small;
    std::string to_large;
    for (int i = 0; i < COUNT; ++i) {
        std::string& list = i % 3 == 2 ? to_large : to_small;
        list += (list.empty() ? "" : ",") + std::to_string(i);
        if (i == COUNT / 2) to_small += ",T";
    }
    EXPECT_EQ(to_text(call(small, "recorded").result), to_small);
    EXPECT_EQ(to_text(call(large, "recorded").result), to_large);
    EXPECT_EQ(small.quit(), 0);
    EXPECT_EQ(large.quit(), 0);
}

// A call made in a completion that fails as it is written (it could never
// fit its destination's mailbox) ends with its own completion, which runs
// outside any other call: it may call again, and it may close the node.
TEST_F(Calls, ACallThatFailsInACompletionEndsCleanly) {
    Peer small = Peer::serve("small", system_, 512);
    const std::string too_large(1000, 'x');
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint8_t> statuses;
    const auto note = [&](CallResult r) {
        std::lock_guard lock(mutex);
        statuses.push_back(r.status);
        changed.notify_all();
    };
    const auto wait_for_count = [&](size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, WAIT_LIMIT, [&] { return statuses.size() >= count; });
    };
    const auto record = [&](Tarnvel& node, std::string_view what, CallCompletion done) {
        node.call(small.node_name(), small.pid(), "record", to_bytes(what), LONG_TIMEOUT_MS, std::move(done));
    };
    // Enough calls for them to be written while the last one is made.
    const auto calls_around = [&](Tarnvel& node, CallCompletion on_failure) {
        record(node, "a", note);
        record(node, too_large, std::move(on_failure));
        for (const char* what : {"b", "c", "d", "e", "f", "g"}) record(node, what, note);
    };
    // Its completion calls again: that call must go out, not wait for traffic.
    me().call(small.node_name(), small.pid(), "echo", to_bytes("go"), LONG_TIMEOUT_MS, [&](CallResult) {
        calls_around(me(), [&](CallResult r) {
            note(r);
            record(me(), "z", note);
        });
    });
    ASSERT_TRUE(wait_for_count(9));
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), STATUS_DELIVER_FAILED), 1);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), STATUS_OK), 8);
    EXPECT_EQ(to_text(call(small, "recorded").result), "a,b,c,d,e,f,g,z");

    // More failures than a batch keeps aside at once, in one completion.
    statuses.clear();
    std::string expected = "a,b,c,d,e,f,g,z";
    me().call(small.node_name(), small.pid(), "echo", to_bytes("go"), LONG_TIMEOUT_MS, [&](CallResult) {
        for (int i = 0; i < 20; ++i) {
            record(me(), too_large, note);
            record(me(), std::to_string(i), note);
        }
    });
    for (int i = 0; i < 20; ++i) expected += "," + std::to_string(i);
    ASSERT_TRUE(wait_for_count(40));
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), STATUS_DELIVER_FAILED), 20);
    EXPECT_EQ(to_text(call(small, "recorded").result), expected);

    // Its completion closes the node: the close must finish.
    std::promise<void> tried;
    me().call(small.node_name(), small.pid(), "echo", to_bytes("go"), LONG_TIMEOUT_MS, [&](CallResult) {
        calls_around(me(), [&](CallResult) {
            try {
                me().close();
            } catch (const std::system_error&) {
                // From the io thread another thread finishes the close.
            }
            tried.set_value();
        });
    });
    ASSERT_EQ(tried.get_future().wait_for(WAIT_LIMIT), std::future_status::ready);
    me().close();
    EXPECT_EQ(small.quit(), 0);
}

TEST_F(Calls, SelfCall) {
    ASSERT_TRUE(me().register_method({{"name", "twice"}}, [](Bytes b) {
        Bytes out = b;
        out.insert(out.end(), b.begin(), b.end());
        return out;
    }));
    auto r = call_self("twice", "ab");
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), "abab");
}

TEST_F(Calls, HandlerMayRegisterAndCall) {
    std::mutex mutex;
    std::optional<std::future<CallResult>> inner;
    ASSERT_TRUE(me().register_method({{"name", "reenter"}}, [&](Bytes) {
        EXPECT_TRUE(me().register_method({{"name", "late"}}, echo_handler()));
        // The answer can only come after this handler returns: do not wait here.
        auto f = me().call("me", me().pid(), "late", to_bytes("from inside"), LONG_TIMEOUT_MS);
        std::lock_guard lock(mutex);
        inner = std::move(f);
        return to_bytes("ok");
    }));
    auto r = call_self("reenter");
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), "ok");
    std::future<CallResult> f;
    {
        std::lock_guard lock(mutex);
        ASSERT_TRUE(inner.has_value());
        f = std::move(*inner);
    }
    auto in = await(f);
    EXPECT_EQ(in.status, STATUS_OK);
    EXPECT_EQ(to_text(in.result), "from inside");
    EXPECT_EQ(to_text(call_self("late", "direct").result), "direct");

    // The same from another process's handler, which calls its own node.
    Peer srv = Peer::serve("srv", system_);
    auto remote = call(srv, "reenter", "late2");
    EXPECT_EQ(to_text(remote.result), "ok");
    EXPECT_EQ(to_text(call(srv, "late2", "served").result), "served");
    EXPECT_TRUE(eventually([&] { return to_text(call(srv, "inner").result) == "0:late2"; }));
    EXPECT_EQ(srv.quit(), 0);
}

TEST_F(Calls, ListMethodsOfAPlainNode) {
    const std::string expected = "[" + LIST_METHODS_DESCRIPTOR + "," + LIST_NODES_DESCRIPTOR + "]";
    Peer plain = Peer::hold("plain", system_);
    auto r = call(plain, "sys.list_methods");
    ASSERT_EQ(r.status, STATUS_OK);
    ASSERT_EQ(r.result.size(), 172u);
    EXPECT_EQ(r.result[0], 0xa8);
    EXPECT_EQ(r.result[1], 0);
    EXPECT_EQ(r.result[2], 0);
    EXPECT_EQ(r.result[3], 0);
    EXPECT_EQ(unpack_answer(r.result), expected);

    // The argument is ignored.
    EXPECT_EQ(call(plain, "sys.list_methods", "whatever").result, r.result);
    EXPECT_EQ(call_self("sys.list_methods", std::string(1000, 'x')).result, r.result);
    EXPECT_EQ(plain.quit(), 0);
}

TEST_F(Calls, ListNodesAnswer) {
    Peer quoted = Peer::hold("say \"hi\"\\", system_);
    const std::string expected = R"([{"node_name":"me","pid":)" + std::to_string(me().pid()) +
                                 R"(},{"node_name":"say \"hi\"\\","pid":)" + std::to_string(quoted.pid()) + "}]";
    auto r = call(quoted, "sys.list_nodes");
    ASSERT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(unpack_answer(r.result), expected);
    EXPECT_EQ(call_self("sys.list_nodes", "ignored").result, r.result);
    EXPECT_EQ(quoted.quit(), 0);
}

TEST_F(Calls, TargetMustMatchNameAndPid) {
    Peer srv = Peer::serve("srv", system_);
    RawBook book(system_);
    const Bytes before = book.snapshot();

    auto wrong_pid = me().call("srv", me().pid(), "echo", {}, LONG_TIMEOUT_MS);
    auto wrong_name = me().call("me", srv.pid(), "echo", {}, LONG_TIMEOUT_MS);
    auto unknown = me().call("nobody", 0x7FFFFFF0u, "echo", {}, LONG_TIMEOUT_MS);
    // Decided by the look-up inside call, before anything is sent.
    for (auto* f : {&wrong_pid, &wrong_name, &unknown}) {
        ASSERT_TRUE(is_ready(*f));
        auto r = f->get();
        EXPECT_EQ(r.status, STATUS_EXEC_FAILED);
        EXPECT_TRUE(r.result.empty());
    }
    EXPECT_EQ(book.snapshot(), before);
    EXPECT_EQ(call(srv, "echo", "fine").status, STATUS_OK);
}

// Targets that exist only as book slots, with mailboxes made by hand.
TEST_F(Calls, DeliveryOutcomes) {
    RawBook book(system_);
    const std::string missing = unique_name("missing");
    const std::string zeroed = unique_name("zeroed");
    const std::string lying = unique_name("lying");
    auto zeroed_map = platform::SharedMapping::create(zeroed, 4096, "mailbox");
    auto lying_map = platform::SharedMapping::create(lying, 4096, "mailbox");
    write_mailbox_header(lying_map.view(), {RAW_MAILBOX_MAGIC, 100000, 0, 0});

    const uint32_t base = 0x7FFFFF00u;
    book.write_slot(10, base + 1, "missing", missing);
    book.write_slot(11, base + 1, "missing too", missing);
    book.write_slot(13, base + 3, "zeroed", zeroed);
    book.write_slot(14, base + 4, "lying", lying);
    auto quiet_map = quiet_target(15, base + 5);
    auto pids = [&] {
        std::vector<uint32_t> out;
        for (auto& s : book.slots()) out.push_back(s.pid);
        return out;
    };
    ASSERT_EQ(pids().size(), 6u);

    // No mailbox: the peer is taken for dead and every slot of its pid is cleared.
    EXPECT_EQ(call_wait(me(), "missing", base + 1, "echo").status, STATUS_EXEC_FAILED);
    EXPECT_EQ(pids(), (std::vector<uint32_t>{me().pid(), base + 3, base + 4, base + 5}));

    // A mailbox that is there but unusable fails the call and keeps the slot.
    EXPECT_EQ(call_wait(me(), "zeroed", base + 3, "echo").status, STATUS_DELIVER_FAILED);
    EXPECT_EQ(call_wait(me(), "lying", base + 4, "echo").status, STATUS_DELIVER_FAILED);
    EXPECT_EQ(read_mailbox_header(lying_map.view()).write_pos, 0u);
    EXPECT_EQ(pids().size(), 4u);

    // A mailbox nobody reads takes the request; the call then times out.
    EXPECT_EQ(call_wait(me(), "quiet", base + 5, "ping", "abc", 50).status, STATUS_TIMEOUT);
    EXPECT_EQ(call_wait(me(), "quiet", base + 5, "ping", "", 50).status, STATUS_TIMEOUT);
    // A request may be written after its call timed out.
    const size_t first_length = 15 + 4 + 5 + 3;
    ASSERT_TRUE(eventually(
        [&] { return read_mailbox_header(quiet_map.view()).write_pos == 8 + first_length + 8 + (first_length - 3); }));
    EXPECT_EQ(read_mailbox_header(quiet_map.view()).read_pos, 0u);
    Bytes head = read_ring(quiet_map.view(), 0, 8);
    EXPECT_EQ(head, (Bytes{static_cast<uint8_t>(first_length), 0, 0, 0, 1, 0, 0, 0}));
    auto frame = decode_raw_frame(read_ring(quiet_map.view(), 8, first_length));
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->kind, 1);
    EXPECT_EQ(frame->seq, 1);
    EXPECT_EQ(frame->pid, me().pid());
    EXPECT_EQ(frame->body, (Bytes{5, 0, 0, 0, 'p', 'i', 'n', 'g', 0, 'a', 'b', 'c'}));
    auto second = decode_raw_frame(read_ring(quiet_map.view(), 8 + first_length + 8, first_length - 3));
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->seq, 2);
}

// Requests written by hand into a serving node's mailbox, answered to a
// requester that exists only as a book slot with a mailbox nobody reads.
TEST_F(Calls, AnswersOnTheWire) {
    Peer srv = Peer::serve("srv", system_);
    RawBook book(system_);
    const std::string inbox = unique_name("inbox");
    auto inbox_map = platform::SharedMapping::create(inbox, 4096, "mailbox");
    write_mailbox_header(inbox_map.view(), {RAW_MAILBOX_MAGIC, 4096 - 16, 0, 0});
    const uint32_t asker = 0x7FFFFF10u;
    const uint32_t gone = 0x7FFFFF11u;  // its mailbox has vanished
    book.write_slot(30, asker, "asker", inbox);
    book.write_slot(31, gone, "gone", unique_name("vanished"));

    const std::vector<Bytes> requests = {
        encode_request_frame(1, asker, "echo", "hi"),
        encode_request_frame(2, asker, "fail", "x"),
        encode_request_frame(3, asker, "empty", "x"),
        encode_request_frame(4, asker, "nope", ""),
        encode_raw_frame(1, 5, asker, Bytes{5, 0, 0}),                              // shorter than a length
        encode_raw_frame(1, 6, asker, Bytes{0, 0, 0, 0, 0}),                        // length 0
        encode_raw_frame(1, 7, asker, Bytes{9, 0, 0, 0, 'e', 'c', 'h', 'o', 0}),    // name beyond the body
        encode_raw_frame(1, 8, asker, Bytes{5, 0, 0, 0, 'e', 'c', 'h', 'o', 'x'}),  // no NUL after the name
        encode_raw_frame(3, 9, asker, Bytes{}),                                     // no such kind: ignored
        encode_request_frame(10, gone, "echo", "lost"),
        encode_request_frame(11, 0x7FFFFF12u, "echo", "unknown requester"),
        encode_request_frame(12, asker, "echo", "end"),
    };
    auto mailbox = platform::PeerMailbox::open(srv.mailbox_name());
    ASSERT_TRUE(mailbox.has_value());
    for (const auto& r : requests) ASSERT_TRUE(append_raw_record(mailbox->view(), static_cast<uint32_t>(r.size()), r));
    platform::signal_mailbox_event(srv.mailbox_name());

    ASSERT_TRUE(eventually([&] { return unread_frames(inbox_map.view()).size() >= 9; }));
    const std::vector<std::pair<uint16_t, Bytes>> expected = {
        {1, {0, 'h', 'i'}},       {2, {2}}, {3, {0}}, {4, {2}}, {5, {2}}, {6, {2}}, {7, {2}}, {8, {2}},
        {12, {0, 'e', 'n', 'd'}},
    };
    auto answers = unread_frames(inbox_map.view());
    ASSERT_EQ(answers.size(), expected.size());
    for (size_t i = 0; i < answers.size(); ++i) {
        auto frame = decode_raw_frame(answers[i]);
        ASSERT_TRUE(frame.has_value()) << i;
        EXPECT_EQ(frame->kind, 2) << i;
        EXPECT_EQ(frame->pid, srv.pid()) << i;
        EXPECT_EQ(frame->seq, expected[i].first) << i;
        EXPECT_EQ(frame->body, expected[i].second) << i;
    }
    // The requester whose answer could not be delivered was taken for dead.
    EXPECT_TRUE(eventually([&] {
        for (auto& slot : book.slots())
            if (slot.pid == gone) return false;
        return true;
    }));
    EXPECT_EQ(book.slots().size(), 3u);
    EXPECT_EQ(call(srv, "echo", "still serving").status, STATUS_OK);
    EXPECT_EQ(srv.quit(), 0);
}

// Answers written by hand into the caller's mailbox for calls to a target
// that exists only as a book slot with a mailbox nobody reads.
TEST_F(Calls, AnswersAsTheCallerReadsThem) {
    const uint32_t target = 0x7FFFFF20u;
    auto target_map = quiet_target(40, target, "target");

    std::vector<std::future<CallResult>> futures;
    for (int i = 0; i < 6; ++i) futures.push_back(me().call("target", target, "m", {}, LONG_TIMEOUT_MS));
    // Once a request is in the ring its call is pending.
    ASSERT_TRUE(eventually([&] { return unread_frames(target_map.view()).size() == 6; }));
    std::vector<uint16_t> seq;
    for (const auto& bytes : unread_frames(target_map.view())) seq.push_back(decode_raw_frame(bytes).value().seq);
    EXPECT_EQ(seq, (std::vector<uint16_t>{1, 2, 3, 4, 5, 6}));

    const std::vector<Bytes> answers = {
        encode_raw_frame(2, seq[0], target, Bytes{0}),
        encode_raw_frame(2, seq[1], target, Bytes{2, 'x', 'y'}),
        encode_raw_frame(2, seq[2], target, Bytes{}),
        encode_raw_frame(2, seq[3], target, Bytes{7, 'z'}),
        encode_raw_frame(2, seq[4], target + 1, Bytes{0, 'w', 'r', 'o', 'n', 'g'}),
        encode_raw_frame(2, seq[4], target, Bytes{0, 'r', 'i', 'g', 'h', 't'}),
        encode_raw_frame(2, seq[4], target, Bytes{0, 'l', 'a', 't', 'e'}),
    };
    ASSERT_NO_FATAL_FAILURE(write_to_me(answers));

    const std::vector<std::pair<uint8_t, std::string>> expected = {
        {STATUS_OK, ""}, {STATUS_EXEC_FAILED, ""}, {STATUS_EXEC_FAILED, ""}, {7, ""}, {STATUS_OK, "right"},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        auto r = await(futures[i]);
        EXPECT_EQ(int{r.status}, int{expected[i].first}) << i;
        EXPECT_EQ(to_text(r.result), expected[i].second) << i;
    }
    EXPECT_FALSE(is_ready(futures[5]));
    me().close();
    EXPECT_EQ(await(futures[5]).status, STATUS_EXEC_FAILED);
}

// A completion that reads its answer in place sees what a copy would show:
// every status, the answer for the right caller only, nothing late, and the
// right bytes whether the answer lies in one piece or across the ring's end.
TEST_F(Calls, InPlaceCompletionsSeeWhatACopyWouldShow) {
    std::mutex mutex;
    std::vector<std::tuple<uint8_t, std::string, uint64_t>> seen;  // status, result, unfit answer bytes
    const InPlaceCompletion note = [&](const CallResultView& r) {
        const auto bytes = r.result.bytes();
        std::lock_guard lock(mutex);
        seen.emplace_back(r.status, std::string(bytes.begin(), bytes.end()), r.unfit_answer_bytes);
    };
    const auto outcomes = [&] {
        std::lock_guard lock(mutex);
        return seen;
    };
    const uint32_t target = 0x7FFFFF21u;
    auto target_map = quiet_target(41, target, "target");
    for (int i = 0; i < 6; ++i) me().call_in_place("target", target, "m", BytesView({}), LONG_TIMEOUT_MS, note);
    me().call_in_place("target", target, "m", BytesView({}), 1, note);
    ASSERT_TRUE(eventually([&] { return outcomes().size() == 1; }));
    EXPECT_EQ(outcomes()[0], std::make_tuple(STATUS_TIMEOUT, std::string(), uint64_t{0}));
    ASSERT_TRUE(eventually([&] { return unread_frames(target_map.view()).size() == 7; }));
    std::vector<uint16_t> seq;
    for (const auto& bytes : unread_frames(target_map.view())) seq.push_back(decode_raw_frame(bytes).value().seq);
    const std::vector<Bytes> answers = {
        encode_raw_frame(2, seq[0], target, Bytes{0, 'o', 'k'}),
        encode_raw_frame(2, seq[1], target, Bytes{}),
        encode_raw_frame(2, seq[2], target, Bytes{7, 'z'}),
        encode_raw_frame(2, seq[3], target, Bytes{3, 0x10, 0x27, 0, 0}),
        encode_raw_frame(2, seq[4], target + 1, Bytes{0, 'w', 'r', 'o', 'n', 'g'}),
        encode_raw_frame(2, seq[4], target, Bytes{0, 'r', 'i', 'g', 'h', 't'}),
        encode_raw_frame(2, seq[4], target, Bytes{0, 'a', 'g', 'a', 'i', 'n'}),
        encode_raw_frame(2, seq[6], target, Bytes{0, 'l', 'a', 't', 'e'}),
    };
    ASSERT_NO_FATAL_FAILURE(write_to_me(answers));
    ASSERT_TRUE(eventually([&] { return outcomes().size() == 6; }));
    EXPECT_EQ(outcomes(), (std::vector<std::tuple<uint8_t, std::string, uint64_t>>{
                              {STATUS_TIMEOUT, "", 0},
                              {STATUS_OK, "ok", 0},
                              {STATUS_EXEC_FAILED, "", 0},
                              {7, "", 0},
                              {STATUS_DELIVER_FAILED, "", 10000},
                              {STATUS_OK, "right", 0},
                          }));

    // Answers of many sizes through a 64 KiB mailbox: many lie across its end,
    // and a thread waiting for calls of its own reads some of them and hands
    // them over.
    Peer srv = Peer::serve("srv", system_);
    std::atomic<bool> stop{false};
    std::atomic<size_t> waited_wrong{0};
    std::thread waiter([&] {
        while (!stop) {
            if (me().call(srv.node_name(), srv.pid(), "echo", to_bytes("mine"), LONG_TIMEOUT_MS).get().result !=
                to_bytes("mine")) {
                ++waited_wrong;
            }
        }
    });
    std::mt19937 random(7);
    std::vector<std::string> sent;
    size_t wrong = 0;
    std::atomic<size_t> done{0};
    for (int i = 0; i < 60; ++i) {
        std::string args(random() % 20000, '\0');
        for (char& c : args) c = static_cast<char>(random());
        sent.push_back(args);
        const Bytes bytes = to_bytes(args);
        me().call_in_place(srv.node_name(), srv.pid(), "echo", BytesView(bytes), LONG_TIMEOUT_MS,
                           [&, i](const CallResultView& r) {
                               const auto got = r.result.bytes();
                               if (r.status != STATUS_OK || std::string(got.begin(), got.end()) != sent[i]) ++wrong;
                               ++done;
                           });
        // One at a time, so that `sent` does not move under a completion.
        ASSERT_TRUE(eventually([&] { return done == sent.size(); }));
    }
    stop = true;
    waiter.join();
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(waited_wrong, 0u);
    me().close();
    EXPECT_EQ(outcomes().size(), 7u);
    EXPECT_EQ(std::get<0>(outcomes().back()), STATUS_EXEC_FAILED);
    EXPECT_EQ(srv.quit(), 0);
}

// A completion that reads in place may close its node, from inside the drain
// that is reading the mailbox: the answers behind it are dropped, their calls
// end at the close, and each completion runs once.
TEST_F(Calls, AnInPlaceCompletionMayCloseItsNode) {
    ASSERT_TRUE(me().register_method({{"name", "echo"}}, echo_handler()));
    std::mutex mutex;
    std::vector<uint8_t> statuses;
    std::optional<std::error_code> refused;
    const Bytes args = to_bytes("x");
    for (int i = 0; i < 8; ++i) {
        me().call_in_place("me", me().pid(), "echo", BytesView(args), LONG_TIMEOUT_MS, [&](const CallResultView& r) {
            {
                std::lock_guard lock(mutex);
                statuses.push_back(r.status);
                if (statuses.size() > 1) return;
            }
            try {
                me().close();
            } catch (const std::system_error& e) {
                refused = e.code();
            }
        });
    }
    EXPECT_TRUE(eventually([&] { return error_of([&] { me().list_nodes(); }) == "Tarnvel is closed"; }));
    me().close();
    std::lock_guard lock(mutex);
    ASSERT_EQ(statuses.size(), 8u);
    EXPECT_EQ(statuses[0], STATUS_OK);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(*refused, std::errc::resource_deadlock_would_occur);
}

// The completion form: run once per call, on the calling thread before call()
// returns when the outcome is known at once, on the io thread otherwise;
// never when call() refuses; what it throws is dropped.
TEST_F(Calls, CompletionRunsOnceWhereverTheCallEnds) {
    ASSERT_TRUE(me().register_method({{"name", "echo"}}, echo_handler()));
    EXPECT_FALSE(Tarnvel::on_io_thread());
    std::mutex mutex;
    std::vector<std::tuple<uint8_t, std::thread::id, bool>> runs;  // status, thread, on an io thread
    const auto note = [&](bool throws) -> CallCompletion {
        return [&, throws](CallResult r) {
            std::lock_guard lock(mutex);
            runs.emplace_back(r.status, std::this_thread::get_id(), Tarnvel::on_io_thread());
            if (throws) throw std::runtime_error("dropped");
        };
    };
    const auto seen = [&] {
        std::lock_guard lock(mutex);
        return runs;
    };
    const auto here = std::this_thread::get_id();
    EXPECT_NO_THROW(me().call("absent", 0x7FFFFFF0u, "echo", {}, LONG_TIMEOUT_MS, note(true)));
    ASSERT_EQ(seen().size(), 1u);
    EXPECT_EQ(seen()[0], std::make_tuple(STATUS_EXEC_FAILED, here, false));

    me().call("me", me().pid(), "echo", {}, LONG_TIMEOUT_MS, note(true));
    ASSERT_TRUE(eventually([&] { return seen().size() == 2; }));
    EXPECT_EQ(std::get<0>(seen()[1]), STATUS_OK);
    EXPECT_NE(std::get<1>(seen()[1]), here);
    EXPECT_TRUE(std::get<2>(seen()[1]));
    EXPECT_EQ(to_text(call_self("echo", "still serving").result), "still serving");

    auto quiet = quiet_target(50, 0x7FFFFF40u);
    me().call("quiet", 0x7FFFFF40u, "m", {}, LONG_TIMEOUT_MS, note(false));
    me().close();
    EXPECT_EQ(error_of([&] { me().call("me", me().pid(), "echo", {}, LONG_TIMEOUT_MS, note(false)); }),
              "Tarnvel is closed");
    ASSERT_EQ(seen().size(), 3u);
    EXPECT_EQ(seen()[2], std::make_tuple(STATUS_EXEC_FAILED, here, false));
}

// With every sequence number towards one process taken by a pending call,
// the next call to it fails at once instead of reusing a key.
TEST_F(Calls, EverySequenceNumberPendingFailsTheNextCallAtOnce) {
    const uint32_t target = 0x7FFFFF41u;
    auto quiet = quiet_target(51, target);
    std::array<std::atomic<int>, 4> by_status{};
    const CallCompletion count = [&by_status](CallResult r) { ++by_status.at(r.status); };
    // Longer than any machine takes to issue them all (under TSan on a busy
    // machine that passed 10 s): the first must still be pending at the last.
    constexpr int64_t NEVER_MS = 3'600'000;
    for (int i = 0; i < 65535; ++i) me().call("quiet", target, "m", {}, NEVER_MS, count);
    EXPECT_EQ(by_status[STATUS_DELIVER_FAILED], 0);
    std::optional<uint8_t> next;
    me().call("quiet", target, "m", {}, NEVER_MS, [&next](CallResult r) { next = r.status; });
    EXPECT_EQ(next, STATUS_DELIVER_FAILED);
    me().close();
    EXPECT_EQ(by_status[STATUS_EXEC_FAILED], 65535);
}

TEST_F(Calls, ManyThreadsCallAtOnce) {
    Peer srv = Peer::serve("srv", system_);
    std::atomic<int> matched{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::future<CallResult>> futures;
            for (int i = 0; i < 100; ++i) futures.push_back(start(srv, "echo", std::to_string(t * 1000 + i)));
            for (int i = 0; i < 100; ++i) {
                auto r = await(futures[i]);
                if (r.status == STATUS_OK && to_text(r.result) == std::to_string(t * 1000 + i)) ++matched;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(matched.load(), 400);
}

TEST_F(Calls, ManyProcessesCallOneNode) {
    constexpr int CALLERS = 3;
    constexpr int COUNT = 300;
    // One method per caller, so the handler knows whose sequence it sees.
    std::mutex mutex;
    std::vector<std::vector<int>> arrivals(CALLERS);
    for (int c = 0; c < CALLERS; ++c) {
        ASSERT_TRUE(me().register_method({{"name", "echo" + std::to_string(c)}}, [&, c](Bytes b) {
            std::lock_guard lock(mutex);
            arrivals[c].push_back(std::stoi(to_text(b)));
            return b;
        }));
    }
    std::vector<ChildProcess> callers;
    for (int c = 0; c < CALLERS; ++c)
        callers.push_back(
            Peer::launch({"call-many", "caller" + std::to_string(c), system_, unique_name("rx"), "65536", "me",
                          std::to_string(me().pid()), "echo" + std::to_string(c), std::to_string(COUNT)}));
    for (auto& c : callers) {
        EXPECT_EQ(c.read_line(std::chrono::seconds(60)), "matched " + std::to_string(COUNT));
        EXPECT_EQ(c.wait(WAIT_LIMIT), 0);
    }
    // Each caller's calls, all made at once, arrive once each and in the
    // order they were made, however the callers interleave.
    std::vector<int> in_order(COUNT);
    for (int i = 0; i < COUNT; ++i) in_order[i] = i;
    std::lock_guard lock(mutex);
    for (int c = 0; c < CALLERS; ++c) EXPECT_EQ(arrivals[c], in_order) << "caller " << c;
}

TEST_F(Calls, GarbageInTheMailboxIsSkipped) {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::string> seen;
    ASSERT_TRUE(me().register_method({{"name", "record"}}, [&](Bytes b) {
        std::lock_guard lock(mutex);
        seen.push_back(to_text(b));
        arrived.notify_all();
        return Bytes{};
    }));
    // The node is up and waiting.
    ASSERT_EQ(call_self("record", "warm-up").status, STATUS_OK);
    {
        std::lock_guard lock(mutex);
        seen.clear();
    }
    auto mailbox = platform::PeerMailbox::open(my_mailbox());
    ASSERT_TRUE(mailbox.has_value());
    uint8_t* view = mailbox->view();
    const uint32_t capacity = read_mailbox_header(view).capacity;
    ASSERT_EQ(capacity, DEFAULT_RECV_BYTES - 16);

    // From a requester that is not in the book: the answers are dropped, so no
    // answer into this very mailbox signals it again and restarts the drain.
    const uint32_t stranger = 0x7FFFFF30u;
    Bytes good = encode_request_frame(7, stranger, "record", "first");
    Bytes bad_marker = good;
    bad_marker[bad_marker.size() - 1] = 0xEE;
    Bytes bad_length = good;
    bad_length[1] ^= 1;
    const Bytes nothing;
    ASSERT_TRUE(append_raw_record(view, static_cast<uint32_t>(bad_marker.size()), bad_marker));
    ASSERT_TRUE(append_raw_record(view, static_cast<uint32_t>(bad_length.size()), bad_length));
    ASSERT_TRUE(append_raw_record(view, 0, nothing));
    ASSERT_TRUE(append_raw_record(view, static_cast<uint32_t>(good.size()), good));
    // Heads that no honest sender writes: longer than the ring, and reaching
    // past write_pos. More of them than the passes a single wake-up makes, so
    // "last" arrives only if skipping one does not end the pass.
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(append_raw_record(view, capacity + 1, nothing));
        ASSERT_TRUE(append_raw_record(view, 0xFFFFFFF0u, nothing));
        ASSERT_TRUE(append_raw_record(view, capacity - 100, nothing));
    }
    Bytes last = encode_request_frame(8, stranger, "record", "last");
    ASSERT_TRUE(append_raw_record(view, static_cast<uint32_t>(last.size()), last));
    // One signal for all of them.
    platform::signal_mailbox_event(my_mailbox());

    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(arrived.wait_for(lock, WAIT_LIMIT, [&] { return seen.size() >= 2; }));
        EXPECT_EQ(seen, (std::vector<std::string>{"first", "last"}));
    }
    // Consumed records are zeroed, so a reserved but unwritten range never looks ready.
    EXPECT_TRUE(eventually([&] {
        auto h = read_mailbox_header(view);
        return h.read_pos == h.write_pos && ring_is_zero(view);
    }));
    EXPECT_EQ(call_self("record", "after").status, STATUS_OK);
}

// A committed record whose ready field reads 2 (no honest sender commits
// so) but whose length is right: the reader goes past the whole record, not
// into its frame, and the records behind it arrive.
TEST_F(Calls, DamagedRecordDoesNotStrandTheRecordsBehindIt) {
    ASSERT_TRUE(me().register_method({{"name", "echo"}}, echo_handler()));
    ASSERT_EQ(call_self("echo", "warm-up").status, STATUS_OK);
    auto mailbox = platform::PeerMailbox::open(my_mailbox());
    ASSERT_TRUE(mailbox.has_value());
    const Bytes damaged = encode_request_frame(7, 0x7FFFFF31u, "echo", "damaged");
    ASSERT_TRUE(append_raw_record(mailbox->view(), static_cast<uint32_t>(damaged.size()), damaged, 2));

    const auto r = call_self("echo", "behind");
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), "behind");
}

// Writers killed between their reservation and their commit: one right
// after its compare-and-swap (nothing written), one half-way through its
// frame. Neither ever commits; the records behind them arrive all the same.
TEST_F(Calls, AbandonedReservationsDoNotStrandTheRecordsBehindThem) {
    ASSERT_TRUE(me().register_method({{"name", "echo"}}, echo_handler()));
    ASSERT_EQ(call_self("echo", "warm-up").status, STATUS_OK);
    auto mailbox = platform::PeerMailbox::open(my_mailbox());
    ASSERT_TRUE(mailbox.has_value());
    ASSERT_TRUE(append_raw_record(mailbox->view(), 0, Bytes(40, 0), 0));
    Bytes half = encode_request_frame(8, 0x7FFFFF32u, "echo", "never committed");
    const auto length = static_cast<uint32_t>(half.size());
    std::fill(half.begin() + static_cast<std::ptrdiff_t>(half.size() / 2), half.end(), 0);
    ASSERT_TRUE(append_raw_record(mailbox->view(), length, half, 0));

    const auto r = call_self("echo", "behind");
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), "behind");
    EXPECT_EQ(call_self("echo", "and after").status, STATUS_OK);
}

TEST_F(Calls, ClosingFailsPendingCalls) {
    Peer srv = Peer::serve("srv", system_);
    std::vector<std::future<CallResult>> futures;
    futures.push_back(start(srv, "block"));
    ASSERT_EQ(srv.expect_line(), "blocked");
    // The last of these have most likely not even started on the io thread.
    for (int i = 0; i < 40; ++i) futures.push_back(start(srv, "echo", std::to_string(i)));
    me().close();
    for (auto& f : futures) {
        ASSERT_TRUE(is_ready(f));
        auto r = f.get();
        EXPECT_EQ(r.status, STATUS_EXEC_FAILED);
        EXPECT_TRUE(r.result.empty());
    }
    srv.send("release");
    EXPECT_EQ(srv.quit(), 0);
}

// The io thread is held inside a handler, so the calls made meanwhile are
// accepted but their start never runs; close must end them all the same.
TEST_F(Calls, CallsWhoseStartNeverRanFailAtClose) {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
    ASSERT_TRUE(me().register_method({{"name", "hold"}}, [&](Bytes) {
        std::unique_lock lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait_for(lock, WAIT_LIMIT, [&] { return released; });
        return to_bytes("released");
    }));
    const auto release = [&] {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    };
    auto held = me().call("me", me().pid(), "hold", {}, LONG_TIMEOUT_MS);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, WAIT_LIMIT, [&] { return entered; }));
    }
    std::vector<std::future<CallResult>> waiting;
    for (int i = 0; i < 5; ++i) waiting.push_back(me().call("me", me().pid(), "sys.list_methods", {}, LONG_TIMEOUT_MS));
    for (auto& f : waiting) EXPECT_FALSE(is_ready(f));

    // Released only once close has stopped the io context: handlers queued
    // behind this one must never run, or the calls could end with answers
    // instead. A close from another node's handler returns just then.
    Tarnvel closer("closer", unique_name("S"), unique_name("rx"), DEFAULT_RECV_BYTES);
    ASSERT_TRUE(closer.register_method({{"name", "close"}}, [&](Bytes) {
        me().close();
        release();
        return Bytes{};
    }));
    EXPECT_EQ(call_wait(closer, "closer", closer.pid(), "close").status, STATUS_OK);
    EXPECT_TRUE(finishes([&] { me().close(); }, std::chrono::seconds(30)));

    waiting.push_back(std::move(held));
    for (size_t i = 0; i < waiting.size(); ++i) {
        ASSERT_TRUE(is_ready(waiting[i])) << i;
        auto r = waiting[i].get();
        EXPECT_EQ(r.status, STATUS_EXEC_FAILED) << i;
        EXPECT_TRUE(r.result.empty()) << i;
    }
}

TEST_F(Calls, CallRacingClose) {
    me().close();
    std::mt19937 random(12345);
    const std::string recv = unique_name("rx");
    for (int round = 0; round < 200; ++round) {
        Tarnvel node("racer", system_, recv, DEFAULT_RECV_BYTES);
        ASSERT_TRUE(node.register_method({{"name", "echo"}}, echo_handler()));
        std::vector<std::future<CallResult>> futures;
        std::string refusal;
        std::atomic<bool> go{false};
        std::atomic<bool> closed{false};
        std::thread caller([&] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0;; ++i) {
                // Enough calls to overlap the close; then one that must be refused.
                if (i == 300)
                    while (!closed.load()) std::this_thread::yield();
                try {
                    futures.push_back(node.call("racer", node.pid(), "echo", to_bytes("r"), LONG_TIMEOUT_MS));
                } catch (const std::runtime_error& e) {
                    refusal = e.what();
                    return;
                }
            }
        });
        go = true;
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
        node.close();
        closed = true;
        caller.join();
        ASSERT_EQ(refusal, "Tarnvel is closed") << round;
        for (auto& f : futures) {
            ASSERT_EQ(f.wait_for(WAIT_LIMIT), std::future_status::ready) << round;
            CallResult r;
            ASSERT_NO_THROW(r = f.get()) << round;
            EXPECT_TRUE(r.status == STATUS_OK || r.status == STATUS_EXEC_FAILED) << round << " " << int{r.status};
        }
    }
}

TEST_F(Calls, CloseFromOwnHandler) {
    std::optional<std::error_code> refused;
    ASSERT_TRUE(me().register_method({{"name", "close"}}, [&](Bytes) {
        try {
            me().close();
        } catch (const std::system_error& e) {
            refused = e.code();
        }
        return Bytes{};
    }));
    auto f = me().call("me", me().pid(), "close", {}, LONG_TIMEOUT_MS);
    // The node stops answering; closing it from here finishes the job.
    EXPECT_TRUE(eventually([&] { return error_of([&] { me().list_nodes(); }) == "Tarnvel is closed"; }));
    me().close();
    ASSERT_TRUE(is_ready(f));
    EXPECT_EQ(f.get().status, STATUS_EXEC_FAILED);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(*refused, std::errc::resource_deadlock_would_occur);
}

TEST_F(Calls, CloseIsNotStarvedByCallers) {
    ASSERT_TRUE(me().register_method({{"name", "echo"}}, echo_handler()));
    constexpr int THREADS = 8;
    struct Outcomes {
        std::vector<std::future<CallResult>> futures;
        std::string refusal;
    };
    std::vector<Outcomes> outcomes(THREADS);
    std::atomic<int> calls_made{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> callers;
    for (int t = 0; t < THREADS; ++t) {
        callers.emplace_back([&, t] {
            // Half call a target that is not there (decided at once), half the
            // node itself (queued for its io thread).
            const bool live = t % 2 == 0;
            while (!stop) {
                try {
                    outcomes[t].futures.push_back(
                        live ? me().call("me", me().pid(), "echo", to_bytes("x"), LONG_TIMEOUT_MS)
                             : me().call("absent", 0x7FFFFFF0u, "echo", {}, LONG_TIMEOUT_MS));
                } catch (const std::runtime_error& e) {
                    outcomes[t].refusal = e.what();
                    return;
                }
                ++calls_made;
            }
        });
    }
    EXPECT_TRUE(eventually([&] { return calls_made >= THREADS * 20; }));

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        me().close();
        closed = true;
    });
    const bool closed_in_time = eventually([&] { return closed.load(); }, std::chrono::seconds(30));
    EXPECT_TRUE(closed_in_time) << "close waited behind the callers";
    // Lets a starved close through, so that the test ends either way.
    stop = true;
    closer.join();
    for (auto& c : callers) c.join();

    for (int t = 0; t < THREADS; ++t) {
        if (closed_in_time) {
            EXPECT_EQ(outcomes[t].refusal, "Tarnvel is closed") << t;
        }
        for (auto& f : outcomes[t].futures) {
            ASSERT_TRUE(is_ready(f)) << t;
            if (t % 2 != 0) {
                EXPECT_EQ(f.get().status, STATUS_EXEC_FAILED) << t;
            }
        }
    }
}

TEST_F(Calls, LastReferenceDroppedInsideItsOwnHandler) {
    // A system of its own: this process's slot in the fixture's system stays "me"'s.
    const std::string system = unique_name("S");
    const std::string recv = unique_name("rx");
    auto node = std::make_unique<Tarnvel>("dropped", system, recv, DEFAULT_RECV_BYTES);
    const uint32_t pid = node->pid();
    const std::string mailbox = recv + "_" + std::to_string(pid);
    std::atomic<bool> handler_returned{false};
    ASSERT_TRUE(node->register_method({{"name", "drop"}}, [&](Bytes) {
        node.reset();
        handler_returned = true;
        return to_bytes("gone");
    }));
    ASSERT_TRUE(platform::PeerMailbox::open(mailbox).has_value());

    // The node is not touched from here on: the handler owns its end.
    auto f = node->call("dropped", pid, "drop", {}, LONG_TIMEOUT_MS);
    auto r = await(f);
    EXPECT_EQ(r.status, STATUS_EXEC_FAILED);
    EXPECT_TRUE(handler_returned);
    // Another thread finishes the close: the mailbox and the system's book go.
    EXPECT_TRUE(eventually([&] { return !platform::PeerMailbox::open(mailbox).has_value(); }));
    EXPECT_TRUE(eventually([&] { return !system_exists(system); }));

    // The close finishes: the name is free for a new node, which serves.
    std::optional<Tarnvel> again;
    EXPECT_TRUE(eventually(
        [&] { return error_of([&] { again.emplace("again", system, recv, DEFAULT_RECV_BYTES); }).empty(); }));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(call_wait(*again, "again", pid, "sys.list_methods").status, STATUS_OK);
}

// Thread ids are reused once a thread has been joined: a node closed earlier
// and destroyed on a new thread (likely to get its io thread's old id) is
// torn down there and then, its handlers with it.
TEST_F(Calls, NodeDestroyedOnALaterThreadIsTornDownAtOnce) {
    auto node = std::make_unique<Tarnvel>("later", unique_name("S"), unique_name("rx"), DEFAULT_RECV_BYTES);
    auto sentinel = std::make_shared<int>(0);
    ASSERT_TRUE(node->register_method({{"name", "hold"}}, [sentinel](Bytes) { return Bytes{}; }));
    node->close();
    for (int i = 0; i < 3; ++i) std::thread([] {}).join();
    std::thread([&] { node.reset(); }).join();
    EXPECT_EQ(sentinel.use_count(), 1);
}

// Handlers of two nodes that, at the same moment, close each other or drop
// the last reference to each other: neither waits for the other's io thread,
// so both handlers return and both nodes finish closing.
class HandlersEndingEachOther : public ::testing::TestWithParam<bool> {};

TEST_P(HandlersEndingEachOther, DoNotDeadlock) {
    const bool drop = GetParam();
    auto a = std::make_unique<Tarnvel>("a", unique_name("S"), unique_name("rx"), DEFAULT_RECV_BYTES);
    auto b = std::make_unique<Tarnvel>("b", unique_name("S"), unique_name("rx"), DEFAULT_RECV_BYTES);
    std::atomic<int> entered{0};
    std::atomic<int> returned{0};
    const auto ending = [&](std::unique_ptr<Tarnvel>& other) {
        return [&, drop](Bytes) {
            // Ending either node before both handlers run would keep the
            // other handler waiting for its partner.
            ++entered;
            while (entered < 2) std::this_thread::yield();
            drop ? other.reset() : other->close();
            ++returned;
            return Bytes{};
        };
    };
    ASSERT_TRUE(a->register_method({{"name", "end_other"}}, ending(b)));
    ASSERT_TRUE(b->register_method({{"name", "end_other"}}, ending(a)));
    auto fa = a->call("a", a->pid(), "end_other", {}, LONG_TIMEOUT_MS);
    auto fb = b->call("b", b->pid(), "end_other", {}, LONG_TIMEOUT_MS);
    EXPECT_TRUE(eventually([&] { return returned == 2; }));
    // The closes complete (on other threads, when dropped) and end the calls,
    // unless an answer came first.
    if (!drop) {
        EXPECT_TRUE(finishes([&] {
            a->close();
            b->close();
        }));
    }
    for (auto* f : {&fa, &fb}) {
        const uint8_t status = await(*f).status;
        EXPECT_TRUE(status == STATUS_OK || status == STATUS_EXEC_FAILED) << int{status};
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, HandlersEndingEachOther, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Dropping" : "Closing"; });

TEST_F(Calls, MailboxNameHeldByALiveNodeIsRefused) {
    const std::string system = unique_name("S");
    const std::string recv = unique_name("rx");
    std::optional<Tarnvel> holder(std::in_place, "holder", system, recv, DEFAULT_RECV_BYTES);
    ASSERT_TRUE(holder->register_method({{"name", "echo"}}, echo_handler()));

    // A node of another system cannot take it either: the mailbox name does
    // not depend on the system.
    EXPECT_EQ(error_of([&] { Tarnvel second("second", unique_name("S"), recv, 4096); }),
              "CreateFileMapping mailbox failed");
    // The holder's mailbox was left alone: it goes on serving.
    auto r = call_wait(*holder, "holder", holder->pid(), "echo", "still mine");
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), "still mine");

    EXPECT_EQ(error_of([&] { Tarnvel second("second", system, recv, DEFAULT_RECV_BYTES); }),
              "CreateFileMapping mailbox failed");

    holder->close();
    Tarnvel after("after", system, recv, DEFAULT_RECV_BYTES);
    EXPECT_EQ(call_wait(after, "after", after.pid(), "sys.list_methods").status, STATUS_OK);
}

// A refused node of the holder's own system must not cost the holder its
// slot in the book, or the holder cannot be reached by name until its next
// refresh.
TEST_F(Calls, RefusedNodeOfTheSameSystemLeavesTheHolderReachable) {
    const std::string system = unique_name("S");
    const std::string recv = unique_name("rx");
    Tarnvel holder("holder", system, recv, DEFAULT_RECV_BYTES);
    EXPECT_EQ(error_of([&] { Tarnvel second("second", system, recv, DEFAULT_RECV_BYTES); }),
              "CreateFileMapping mailbox failed");
    EXPECT_EQ(call_wait(holder, "holder", holder.pid(), "sys.list_methods").status, STATUS_OK);
    EXPECT_EQ(holder.list_nodes().size(), 1u);
}

TEST_F(Calls, RegistryNameRules) {
    const auto add = [&](boost::json::object d) { return me().register_method(std::move(d), echo_handler()); };
    EXPECT_FALSE(add({}));
    EXPECT_FALSE(add({{"type", "method"}}));
    EXPECT_FALSE(add({{"name", 1}}));
    EXPECT_FALSE(add({{"name", nullptr}}));
    EXPECT_FALSE(add({{"name", boost::json::object{}}}));
    EXPECT_FALSE(add({{"name", boost::json::array{"echo"}}}));
    EXPECT_FALSE(add({{"name", ""}}));
    EXPECT_FALSE(add({{"name", "sys."}}));
    EXPECT_FALSE(add({{"name", "sys.echo"}}));
    EXPECT_FALSE(add({{"name", "sys.list_nodes"}}));
    EXPECT_TRUE(add({{"name", "sys"}}));
    EXPECT_TRUE(add({{"name", "sysx"}}));
    EXPECT_TRUE(add({{"name", "SYS.echo"}}));

    // A refused duplicate leaves the first registration serving and listed.
    EXPECT_TRUE(me().register_method({{"name", "echo"}, {"v", 1}}, echo_handler()));
    EXPECT_FALSE(me().register_method({{"name", "echo"}, {"v", 2}}, [](Bytes) { return to_bytes("second"); }));
    EXPECT_TRUE(me().register_method({{"name", "echo "}}, [](Bytes) { return to_bytes("blank"); }));
    EXPECT_EQ(to_text(call_self("echo", "first").result), "first");
    EXPECT_EQ(to_text(call_self("echo ", "x").result), "blank");

    // The built-ins still answer as before.
    EXPECT_EQ(call_self("sys.list_nodes").status, STATUS_OK);

    const std::string expected = R"([{"name":"SYS.echo"},{"name":"echo","v":1},{"name":"echo "},{"name":"sys"},)" +
                                 LIST_METHODS_DESCRIPTOR + "," + LIST_NODES_DESCRIPTOR + R"(,{"name":"sysx"}])";
    EXPECT_EQ(list_methods_text(), expected);
}

TEST_F(Calls, ListingIsInByteOrderWithDescriptorsVerbatim) {
    const char* descriptors[] = {
        R"({"name":"z","doc":"last","version":3,"nested":{"b":[1,2],"a":null},"flag":true})",
        R"({"type":"method","name":"a","params":[{"type":"char*"}],"return":[]})",
        R"({"doc":"before the name","name":"A"})",
        R"({"name":"0"})",
    };
    for (const char* d : descriptors)
        ASSERT_TRUE(me().register_method(boost::json::parse(d).as_object(), echo_handler())) << d;
    const std::string expected = std::string("[") + descriptors[3] + "," + descriptors[2] + "," + descriptors[1] + "," +
                                 LIST_METHODS_DESCRIPTOR + "," + LIST_NODES_DESCRIPTOR + "," + descriptors[0] + "]";
    EXPECT_EQ(list_methods_text(), expected);
}

}  // namespace
}  // namespace tarnvel::test
