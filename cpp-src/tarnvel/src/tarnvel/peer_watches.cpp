#include "peer_watches.hpp"

#include <boost/asio/post.hpp>

#include <utility>

namespace tarnvel {

void PeerWatches::watch(uint32_t pid) noexcept {
    if (pid != 0 && last_asked_.load(std::memory_order_relaxed) == pid) return;
    try {
        {
            std::lock_guard lock(mutex_);
            const bool added = asked_.insert(pid).second;
            last_asked_.store(pid, std::memory_order_relaxed);
            if (!added) return;
        }
        // Watches are io objects: made on the io thread.
        boost::asio::post(io_, [this, pid] {
            try {
                start(pid);
            } catch (...) {
                forget(pid);
            }
        });
    } catch (...) {
        forget(pid);  // no memory: the next call asks again
    }
}

void PeerWatches::start(uint32_t pid) {
    // A process already gone (or an id no process has, as a peer that
    // follows the formats by hand may write) is left to the deliveries to
    // judge; it stays asked for, so it is not tried again.
    if (stopping_ || !platform::process_exists(pid)) return;
    std::optional<platform::ProcessWatch> made = platform::ProcessWatch::start(io_, pid);
    if (!made) {
        forget(pid);
        return;
    }
    auto& watch = watches_[pid];
    watch = std::make_unique<platform::ProcessWatch>(std::move(*made));
    watch->async_wait([this, pid] {
        if (stopping_) return;
        try {
            on_exit_(pid);
        } catch (...) {
        }
        // Not destroyed inside its own handler: dropped on the next turn.
        try {
            boost::asio::post(io_, [this, pid] {
                watches_.erase(pid);
                forget(pid);
            });
        } catch (...) {
            // Kept until close; that pid is not watched again meanwhile.
        }
    });
}

void PeerWatches::forget(uint32_t pid) noexcept {
    std::lock_guard lock(mutex_);
    asked_.erase(pid);
    if (last_asked_.load(std::memory_order_relaxed) == pid) last_asked_.store(0, std::memory_order_relaxed);
}

void PeerWatches::stop() noexcept { watches_.clear(); }

}  // namespace tarnvel
