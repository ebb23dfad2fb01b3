#include "support/platform_extras.hpp"

#include <utility>

namespace tarnvel::platform {

std::optional<PeerMailbox> PeerMailbox::open(const std::string& mailbox_name, OpenFailure* why) noexcept {
    OpenFailure failure = OpenFailure::local;
    try {
        PeerMailbox opened;
        opened.mapping_ = open_peer_mapping(mailbox_name, failure);
        if (opened.mapping_) {
            opened.name_ = mailbox_name;
            return opened;
        }
    } catch (...) {
        failure = OpenFailure::local;
    }
    if (why != nullptr) {
        *why = failure;
    }
    return std::nullopt;
}

}  // namespace tarnvel::platform
