// The bounded wait on the system's mutex, on every platform.
#include "names.hpp"
#include "platform/platform.hpp"
#include "support/peer.hpp"
#include "support/unique_names.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

namespace tarnvel::test {
namespace {

using namespace std::chrono_literals;

TEST(NamedMutex, BoundedLockGivesUpWhileAnotherThreadHoldsIt) {
    auto mutex = platform::NamedMutex::create(book_mutex_name(unique_name("tl")));
    std::promise<void> held;
    std::promise<void> done;
    std::thread holder([&] {
        mutex.lock();
        held.set_value();
        done.get_future().wait();
        mutex.unlock();
    });
    held.get_future().wait();
    EXPECT_FALSE(mutex.try_lock_for(50ms));
    EXPECT_FALSE(mutex.try_lock_for(0ms));
    done.set_value();
    holder.join();

    ASSERT_TRUE(mutex.try_lock_for(10s));
    mutex.unlock();
}

TEST(NamedMutex, BoundedLockGetsAMutexWhoseHolderWasKilled) {
    const std::string system = unique_name("tlk");
    Peer holder = Peer::start({"lock-book-mutex", system});
    auto mutex = platform::NamedMutex::create(book_mutex_name(system));
    EXPECT_FALSE(mutex.try_lock_for(50ms));
    holder.kill();
    ASSERT_TRUE(mutex.try_lock_for(10s)) << "an abandoned mutex counts as acquired";
    mutex.unlock();
    ASSERT_TRUE(mutex.try_lock_for(0ms));
    mutex.unlock();
}

}  // namespace
}  // namespace tarnvel::test
