// The links to the peers a node delivers to, kept between messages so that a
// message costs a few cheap checks instead of opening the peer's objects.
#pragma once

#include "platform/platform.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnvel {

// Not thread-safe: its user makes sure one thread at a time uses it.
class PeerCache {
public:
    // Enough for the peers a node talks to at once; each link costs up to
    // four descriptors (its mailbox, event and owner's pidfd, and the node
    // watch's copy of that pidfd) and a mapping.
    static constexpr size_t DEFAULT_BOUND = 32;

    explicit PeerCache(size_t bound = DEFAULT_BOUND) : bound_(bound == 0 ? 1 : bound) {}

    // The kept link to this mailbox if it is still current; a stale one is
    // dropped. Never opens anything.
    platform::PeerLink* current(const std::string& mailbox_name);

    // current(), or else the ordinary open by name. Nothing when the mailbox
    // cannot be opened, and `why` says whether its owner is gone.
    platform::PeerLink* get(const std::string& mailbox_name, uint32_t owner_pid, platform::OpenFailure& why);

    // Releases a link that this platform does not let us keep; call it after
    // each use of get().
    void release_unkept() noexcept { unkept_.reset(); }

    // The word under which this node last set the kept link's event (see
    // wake_word.hpp); nullptr when no link to that mailbox is kept.
    uint32_t* signal_memory(const std::string& mailbox_name) noexcept;

    void forget(const std::string& mailbox_name) noexcept;
    void clear() noexcept;
    size_t size() const noexcept { return entries_.size(); }

private:
    struct Entry {
        std::string mailbox_name;
        platform::PeerLink link;
        uint64_t last_use = 0;
        uint32_t signalled = 0;
    };

    platform::PeerLink* keep(const std::string& mailbox_name, platform::PeerLink link);
    // The least recently used entry, the next to go; entries_ must not be empty.
    std::vector<Entry>::iterator oldest();

    std::vector<Entry> entries_;
    std::optional<platform::PeerLink> unkept_;
    size_t bound_;
    uint64_t uses_ = 0;
};

}  // namespace tarnvel
