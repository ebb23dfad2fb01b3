// A peer's mailbox for one message. A handle kept here would keep the
// section alive for every process, so a dead or re-created peer would look
// alive to third parties: a Windows link is opened per message and never
// kept.
#include "platform/platform.hpp"
#include "platform/win32/section.hpp"

#include <utility>

namespace tarnvel::platform {

struct PeerLink::Native {
    detail::MappedSection mailbox;
    std::string mailbox_name;
};

PeerLink::PeerLink(std::unique_ptr<Native> native) : native_(std::move(native)) {}
PeerLink::PeerLink(PeerLink&&) noexcept = default;
PeerLink& PeerLink::operator=(PeerLink&&) noexcept = default;
PeerLink::~PeerLink() = default;

std::optional<PeerLink> PeerLink::open(const std::string& mailbox_name, uint32_t, OpenFailure& why) noexcept {
    why = OpenFailure::local;
    std::optional<detail::MappedSection> mailbox = detail::open_section(mailbox_name, why);
    if (!mailbox) {
        return std::nullopt;
    }
    try {
        return PeerLink(std::make_unique<Native>(Native{std::move(*mailbox), mailbox_name}));
    } catch (...) {
        why = OpenFailure::local;
        return std::nullopt;
    }
}

bool PeerLink::keepable() const noexcept { return false; }

bool PeerLink::current() noexcept { return false; }

uint8_t* PeerLink::view() const noexcept { return native_ ? native_->mailbox.view() : nullptr; }

uint64_t PeerLink::size() const noexcept { return native_ ? native_->mailbox.size() : 0; }

// Pages fault in as they are written, as before.
void PeerLink::enter_pages() noexcept {}

void PeerLink::signal() noexcept {
    if (native_) {
        detail::set_mailbox_event(native_->mailbox_name);
    }
}

}  // namespace tarnvel::platform
