// Handlers that take their time: answers given later and from other threads,
// handlers on the node's workers, and close while they run. The node calls
// itself, through its own mailbox, as any caller would.
#include "support/node_helpers.hpp"
#include "support/peer.hpp"
#include "support/unique_names.hpp"
#include "tarnvel/tarnvel.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace tarnvel::test {
namespace {

// Far beyond WAIT_LIMIT: a call that ends at all within a test's wait ended
// by its answer, not by its time limit.
constexpr int64_t NEVER_MS = 600000;

// A latch a handler waits on until the test opens it.
class Gate {
public:
    void open() { opened_.set_value(); }
    void wait() { opened_future_.wait(); }

private:
    std::promise<void> opened_;
    std::shared_future<void> opened_future_ = opened_.get_future().share();
};

// The replies a deferred handler keeps for the test to answer.
class KeptReplies {
public:
    DeferredHandler handler() {
        return [this](Bytes, Reply reply) {
            std::lock_guard lock(mutex_);
            kept_.push_back(std::move(reply));
        };
    }
    // The oldest kept reply, once there is one.
    Reply take() {
        EXPECT_TRUE(eventually([&] {
            std::lock_guard lock(mutex_);
            return !kept_.empty();
        }));
        std::lock_guard lock(mutex_);
        Reply reply = kept_.front();
        kept_.erase(kept_.begin());
        return reply;
    }

private:
    std::mutex mutex_;
    std::vector<Reply> kept_;
};

class Serving : public ::testing::Test {
protected:
    void SetUp() override { me_.emplace("me", unique_name("S"), unique_name("rx"), DEFAULT_RECV_BYTES); }

    Tarnvel& me() { return *me_; }
    CallFuture start(const std::string& method, std::string_view args = {}, int64_t timeout_ms = NEVER_MS) {
        return me().call("me", me().pid(), method, to_bytes(args), timeout_ms);
    }

    CallResult await_result(const std::string& method, std::string_view args = {}) {
        auto future = start(method, args);
        return await(future);
    }

    std::optional<Tarnvel> me_;
};

TEST_F(Serving, AnswerGivenLaterFromAnotherThread) {
    KeptReplies replies;
    ASSERT_TRUE(me().register_method({{"name", "later"}}, replies.handler()));
    auto first = start("later");
    auto second = start("later");
    Reply reply = replies.take();
    EXPECT_FALSE(is_ready(first));

    std::thread([reply] { EXPECT_TRUE(reply.complete(to_bytes("done"))); }).join();
    const CallResult r = await(first);
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_EQ(to_text(r.result), "done");
    // Once only: later answers change nothing.
    EXPECT_TRUE(reply.answered());
    EXPECT_FALSE(reply.complete(to_bytes("again")));
    EXPECT_FALSE(reply.fail());

    std::thread([reply = replies.take()] { EXPECT_TRUE(reply.fail()); }).join();
    EXPECT_EQ(await(second).status, STATUS_EXEC_FAILED);
}

TEST_F(Serving, UnansweredReplyFailsTheCallAtOnce) {
    ASSERT_TRUE(me().register_method({{"name", "drop"}}, DeferredHandler([](Bytes, Reply) {})));
    ASSERT_TRUE(me().register_method({{"name", "throw"}},
                                     DeferredHandler([](Bytes, Reply) { throw std::runtime_error("no"); })));
    KeptReplies replies;
    ASSERT_TRUE(me().register_method({{"name", "keep"}}, replies.handler()));
    auto dropped = start("drop");
    auto thrown = start("throw");
    auto kept = start("keep");
    EXPECT_EQ(await(dropped).status, STATUS_EXEC_FAILED);
    EXPECT_EQ(await(thrown).status, STATUS_EXEC_FAILED);
    // Kept, then let go on another thread without an answer.
    std::thread([reply = replies.take()] {}).join();
    EXPECT_EQ(await(kept).status, STATUS_EXEC_FAILED);
}

TEST_F(Serving, AnswerAfterCloseIsDropped) {
    KeptReplies replies;
    ASSERT_TRUE(me().register_method({{"name", "later"}}, replies.handler()));
    auto closed = start("later");
    Reply kept_past_close = replies.take();
    me().close();
    EXPECT_EQ(await(closed).status, STATUS_EXEC_FAILED);
    EXPECT_TRUE(kept_past_close.complete(to_bytes("too late")));

    // A reply may outlive its node altogether.
    SetUp();
    ASSERT_TRUE(me().register_method({{"name", "later"}}, replies.handler()));
    auto destroyed = start("later");
    Reply kept_past_node = replies.take();
    me_.reset();
    EXPECT_EQ(await(destroyed).status, STATUS_EXEC_FAILED);
    EXPECT_TRUE(kept_past_node.complete(to_bytes("too late")));
}

TEST_F(Serving, InPlaceMethodGetsItsArgumentWholeWhereverItLies) {
    // A small mailbox: requests lie across its end, and from about half its
    // size on, an answer finds no room beside the request it answers and
    // waits for the request to be taken (its bytes copied first).
    Tarnvel node("small", unique_name("S"), unique_name("rx"), 4096 + 16);
    // On the io thread all the same: a worker would find the bytes cleared.
    node.set_worker_threads(2);
    ASSERT_TRUE(node.register_in_place_method(
        {{"name", "echo"}}, InPlaceHandler([](BytesView args, Reply reply) { reply.complete(args); })));
    ASSERT_TRUE(node.register_in_place_method(
        {{"name", "throw"}}, InPlaceHandler([](BytesView, Reply) { throw std::runtime_error("no"); })));
    ASSERT_TRUE(node.register_method({{"name", "plain"}}, [](Bytes args) { return args; }));
    for (size_t size = 0; size < 2700; size += 89) {
        Bytes args(size);
        for (size_t i = 0; i < size; ++i) args[i] = static_cast<uint8_t>(i * 7 + size);
        for (const char* method : {"echo", "plain"}) {
            auto future = node.call("small", node.pid(), method, args, LONG_TIMEOUT_MS);
            const CallResult r = await(future);
            ASSERT_EQ(r.status, STATUS_OK) << method << " " << size;
            ASSERT_EQ(r.result, args) << method << " " << size;
        }
    }
    EXPECT_EQ(call_wait(node, "small", node.pid(), "throw", "x").status, STATUS_EXEC_FAILED);

    // A method in both forms: on a node with workers the deferred form takes
    // every request; without them the in-place form takes those lying whole
    // in the mailbox, the deferred one those across its end. (The test's
    // waits leave the mailbox to the io thread.)
    ASSERT_TRUE(node.register_in_place_method(
        {{"name", "both"}}, [](Bytes args, Reply reply) { reply.complete(std::move(args)); },
        [](BytesView, Reply reply) { reply.complete(to_bytes("in place")); }));
    EXPECT_EQ(to_text(call_wait(node, "small", node.pid(), "both", "x").result), "x");
    Tarnvel bare("bare", unique_name("S"), unique_name("rx"), 4096 + 16);
    size_t copied = 0;
    size_t in_place = 0;
    ASSERT_TRUE(bare.register_in_place_method(
        {{"name", "both"}},
        [&](Bytes args, Reply reply) {
            ++copied;
            reply.complete(std::move(args));
        },
        [&](BytesView args, Reply reply) {
            ++in_place;
            reply.complete(args);
        }));
    for (size_t size = 0; size < 2700; size += 89) {
        const Bytes args(size, static_cast<uint8_t>(size));
        auto future = bare.call("bare", bare.pid(), "both", args, LONG_TIMEOUT_MS);
        ASSERT_EQ(await(future).result, args) << size;
    }
    EXPECT_GT(copied, 0u);
    EXPECT_GT(in_place, 0u);
    // Only names free to take are taken, in either form.
    EXPECT_FALSE(node.register_in_place_method({{"name", "plain"}}, InPlaceHandler([](BytesView, Reply) {})));
    EXPECT_FALSE(node.register_in_place_method({{"name", "sys.echo"}}, InPlaceHandler([](BytesView, Reply) {})));
}

TEST_F(Serving, SlowHandlerOnAWorkerDelaysNeitherBuiltinsNorOtherMethods) {
    me().set_worker_threads(2);
    Gate gate;
    ASSERT_TRUE(me().register_method({{"name", "slow"}}, [&](Bytes) {
        gate.wait();
        return to_bytes("slow");
    }));
    ASSERT_TRUE(me().register_method({{"name", "echo"}}, [](Bytes b) { return b; }));
    auto slow = start("slow");
    auto slow_too = start("slow");
    // Both workers are held: the built-ins are still answered by the io thread.
    EXPECT_EQ(await_result("sys.list_methods").status, STATUS_OK);
    EXPECT_EQ(await_result("sys.list_nodes").status, STATUS_OK);
    EXPECT_FALSE(is_ready(slow));
    gate.open();
    EXPECT_EQ(to_text(await(slow).result), "slow");
    EXPECT_EQ(to_text(await(slow_too).result), "slow");

    Gate second_gate;
    ASSERT_TRUE(me().register_method({{"name", "slower"}}, [&](Bytes) {
        second_gate.wait();
        return Bytes{};
    }));
    auto slower = start("slower");
    EXPECT_EQ(to_text(await_result("echo", "fast").result), "fast");
    EXPECT_FALSE(is_ready(slower));
    second_gate.open();
    EXPECT_EQ(await(slower).status, STATUS_OK);
}

TEST_F(Serving, OnlyAnIoThreadIsRefusedAWait) {
    // On the io thread the wait fails at once instead of for ever.
    ASSERT_TRUE(me().register_method({{"name", "wait_on_io"}}, [&](Bytes) {
        EXPECT_TRUE(Tarnvel::on_io_thread());
        auto inner = start("sys.list_nodes");
        try {
            inner.get();
        } catch (const std::system_error& e) {
            if (e.code() == std::errc::resource_deadlock_would_occur) return to_bytes("refused");
        }
        return to_bytes("waited");
    }));
    EXPECT_EQ(to_text(await_result("wait_on_io").result), "refused");

    // On a worker a handler may wait for its own node's methods.
    me().set_worker_threads(2);
    ASSERT_TRUE(me().register_method({{"name", "echo"}}, [](Bytes b) { return b; }));
    ASSERT_TRUE(me().register_method({{"name", "compose"}}, [&](Bytes b) {
        EXPECT_FALSE(Tarnvel::on_io_thread());
        const CallResult inner = start("echo", to_text(b)).get();
        return inner.status == STATUS_OK ? inner.result : to_bytes("failed");
    }));
    EXPECT_EQ(to_text(await_result("compose", "nested").result), "nested");
}

TEST_F(Serving, CloseWaitsForRunningWorkersAndDropsTheirAnswers) {
    me().set_worker_threads(1);
    Gate entered;
    Gate gate;
    ASSERT_TRUE(me().register_method({{"name", "slow"}}, [&](Bytes) {
        entered.open();
        gate.wait();
        return to_bytes("late");
    }));
    auto running = start("slow");
    auto queued = start("slow");
    entered.wait();
    auto closing = std::async(std::launch::async, [&] { me().close(); });
    // Close ends the calls first, whatever the handlers still do.
    EXPECT_EQ(await(running).status, STATUS_EXEC_FAILED);
    EXPECT_EQ(await(queued).status, STATUS_EXEC_FAILED);
    EXPECT_NE(closing.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    gate.open();
    EXPECT_TRUE(finishes([&] { closing.get(); }));
}

TEST_F(Serving, CloseFromAWorkerHandler) {
    me().set_worker_threads(1);
    std::promise<std::string> outcome;
    ASSERT_TRUE(me().register_method({{"name", "close"}}, [&](Bytes) {
        try {
            me().close();
            outcome.set_value("returned");
        } catch (const std::system_error& e) {
            outcome.set_value(e.code() == std::errc::resource_deadlock_would_occur ? "refused" : e.what());
        }
        return Bytes{};
    }));
    auto closed = start("close");
    auto said = outcome.get_future();
    ASSERT_EQ(said.wait_for(WAIT_LIMIT), std::future_status::ready);
    EXPECT_EQ(said.get(), "refused");
    EXPECT_EQ(await(closed).status, STATUS_EXEC_FAILED);
    EXPECT_EQ(error_of([&] { start("close"); }), "Tarnvel is closed");
    EXPECT_TRUE(finishes([&] { me().close(); }));
}

TEST_F(Serving, WorkerCountIsBounded) {
    EXPECT_EQ(error_of([&] { me().set_worker_threads(Tarnvel::MAX_WORKER_THREADS + 1); }), "invalid worker count");
    me().set_worker_threads(Tarnvel::MAX_WORKER_THREADS);
    me().close();
    EXPECT_EQ(error_of([&] { me().set_worker_threads(1); }), "Tarnvel is closed");
}

}  // namespace
}  // namespace tarnvel::test
