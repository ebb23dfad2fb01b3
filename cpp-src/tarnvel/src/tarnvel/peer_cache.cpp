#include "peer_cache.hpp"

#include <algorithm>
#include <utility>

namespace tarnvel {

platform::PeerLink* PeerCache::current(const std::string& mailbox_name) {
    const auto it =
        std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.mailbox_name == mailbox_name; });
    if (it == entries_.end()) {
        return nullptr;
    }
    if (!it->link.current()) {
        entries_.erase(it);
        return nullptr;
    }
    it->last_use = ++uses_;
    return &it->link;
}

platform::PeerLink* PeerCache::get(const std::string& mailbox_name, uint32_t owner_pid, platform::OpenFailure& why) {
    if (platform::PeerLink* kept = current(mailbox_name)) {
        return kept;
    }
    std::optional<platform::PeerLink> opened = platform::PeerLink::open(mailbox_name, owner_pid, why);
    if (!opened && why == platform::OpenFailure::local && !entries_.empty()) {
        // Our own links may be what uses up the descriptors or the address
        // space: let them go and try once more.
        clear();
        opened = platform::PeerLink::open(mailbox_name, owner_pid, why);
    }
    if (!opened) {
        return nullptr;
    }
    if (!opened->keepable()) {
        unkept_ = std::move(opened);
        return &*unkept_;
    }
    // A link that stays writes every page of the ring in turn: entering
    // them now saves a fault on each. One that has to push a live link out
    // is likely to be pushed out soon itself, after a few pages.
    if (entries_.size() < bound_ || !oldest()->link.current()) opened->enter_pages();
    return keep(mailbox_name, std::move(*opened));
}

std::vector<PeerCache::Entry>::iterator PeerCache::oldest() {
    return std::min_element(entries_.begin(), entries_.end(),
                            [](const Entry& a, const Entry& b) { return a.last_use < b.last_use; });
}

platform::PeerLink* PeerCache::keep(const std::string& mailbox_name, platform::PeerLink link) {
    if (entries_.size() >= bound_) entries_.erase(oldest());
    entries_.push_back(Entry{mailbox_name, std::move(link), ++uses_});
    return &entries_.back().link;
}

uint32_t* PeerCache::signal_memory(const std::string& mailbox_name) noexcept {
    const auto it =
        std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.mailbox_name == mailbox_name; });
    return it == entries_.end() ? nullptr : &it->signalled;
}

void PeerCache::forget(const std::string& mailbox_name) noexcept {
    std::erase_if(entries_, [&](const Entry& e) { return e.mailbox_name == mailbox_name; });
}

void PeerCache::clear() noexcept {
    entries_.clear();
    unkept_.reset();
}

}  // namespace tarnvel
