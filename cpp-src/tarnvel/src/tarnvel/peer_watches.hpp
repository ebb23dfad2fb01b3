// Watches on the processes this node has called: a peer that dies ends the
// calls pending at it at once, instead of at their time limits.
#pragma once

#include "platform/platform.hpp"

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace tarnvel {

class PeerWatches {
public:
    // `on_exit` runs on the io thread once a watched process has ended.
    PeerWatches(boost::asio::io_context& io, const std::atomic<bool>& stopping, std::function<void(uint32_t)> on_exit)
        : io_(io), stopping_(stopping), on_exit_(std::move(on_exit)) {}
    PeerWatches(const PeerWatches&) = delete;
    PeerWatches& operator=(const PeerWatches&) = delete;

    // Any thread: watches `pid` from now on, if it is not watched yet. Best
    // effort: where no watch can be made, calls end by their time limits.
    void watch(uint32_t pid) noexcept;
    // Once the io thread has ended.
    void stop() noexcept;

private:
    void start(uint32_t pid);
    void forget(uint32_t pid) noexcept;

    boost::asio::io_context& io_;
    const std::atomic<bool>& stopping_;
    std::function<void(uint32_t)> on_exit_;
    std::mutex mutex_;
    std::set<uint32_t> asked_;  // guarded by mutex_: watched or about to be
    // The pid asked for last, while it is in asked_ (both change under
    // mutex_): calls to one peer check it without the lock. 0 for none.
    std::atomic<uint32_t> last_asked_{0};
    // The io thread's (and stop()'s once it has ended).
    std::map<uint32_t, std::unique_ptr<platform::ProcessWatch>> watches_;
};

}  // namespace tarnvel
