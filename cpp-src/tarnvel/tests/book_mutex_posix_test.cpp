// A holder of the system's mutex that is stopped (SIGSTOP, a debugger, a
// paused machine) must not stall a bounded lock; killed, it lets it through.
#include "names.hpp"
#include "platform/platform.hpp"
#include "support/peer.hpp"
#include "support/unique_names.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <string>

namespace tarnvel::test {
namespace {

using namespace std::chrono_literals;

TEST(BookMutexPosix, StoppedHolderMakesABoundedLockFailAndKilledOneLetsItThrough) {
    const std::string system = unique_name("stop");
    Peer holder = Peer::start({"lock-book-mutex", system});
    auto mutex = platform::NamedMutex::create(book_mutex_name(system));
    ASSERT_EQ(::kill(static_cast<pid_t>(holder.pid()), SIGSTOP), 0);

    EXPECT_FALSE(mutex.try_lock_for(200ms));
    EXPECT_FALSE(mutex.try_lock_for(200ms)) << "still stopped, still held";

    ASSERT_EQ(::kill(static_cast<pid_t>(holder.pid()), SIGKILL), 0);
    ASSERT_TRUE(mutex.try_lock_for(10s)) << "the dead holder's mutex counts as acquired";
    mutex.unlock();
    mutex.lock();
    mutex.unlock();
}

}  // namespace
}  // namespace tarnvel::test
