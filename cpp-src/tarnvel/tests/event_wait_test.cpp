#include "platform/event_wait.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace {

// A completion queued before cancel() may run after it, even once the event
// is gone: it never calls the event's function.
TEST(EventWait, CompletionAfterCancelIsDroppedEvenOnceTheWaitIsGone) {
    std::function<void(const boost::system::error_code&)> completion;
    int calls = 0;
    struct {  // the platform's descriptor or handle
        int cancels = 0;
        void cancel(boost::system::error_code&) { ++cancels; }
    } waiter;
    {
        tarnvel::platform::detail::EventWait wait;
        wait.arm([](auto done) { done({}); }, [&] { ++calls; });
        wait.arm([&](auto done) { completion = std::move(done); }, [&] { ++calls; });
        wait.cancel(waiter);
        wait.cancel(waiter);
        wait.arm([](auto) { ADD_FAILURE() << "a wait started after cancel()"; }, [] {});
    }
    completion({});
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(waiter.cancels, 1);
}

}  // namespace
