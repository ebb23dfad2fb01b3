// Platform operations that only tests need: another node's mailbox opened
// the way the owner's own handle is (it counts as a holder while it lives),
// and a mailbox's event set or reset by name.
#pragma once

#include "platform/platform.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tarnvel::platform {

class PeerMailbox {
public:
    // Nothing when no live object has that name or it cannot be mapped;
    // `why` (if given) tells the two apart.
    static std::optional<PeerMailbox> open(const std::string& mailbox_name, OpenFailure* why = nullptr) noexcept;

    // Empty in a fork child, like every inherited view.
    uint8_t* view() const noexcept { return mapping_ ? mapping_->view() : nullptr; }
    // Bytes that may be accessed from view() (page-rounded on Windows).
    uint64_t size() const noexcept { return mapping_ ? mapping_->size() : 0; }
    const std::string& name() const noexcept { return name_; }

    // This platform's handle and view.
    struct Mapping {
        virtual ~Mapping() = default;
        virtual uint8_t* view() const noexcept = 0;
        virtual uint64_t size() const noexcept = 0;
    };

private:
    PeerMailbox() = default;

    std::unique_ptr<Mapping> mapping_;
    std::string name_;
};

// This platform's part of PeerMailbox::open.
std::unique_ptr<PeerMailbox::Mapping> open_peer_mapping(const std::string& mailbox_name, OpenFailure& why);

// Sets the event of the mailbox with that name. Never blocks, never throws; a
// missing event is ignored.
void signal_mailbox_event(const std::string& mailbox_name) noexcept;

// Takes a set away from the event of the mailbox with that name, as its
// owner's wait does.
void reset_mailbox_event(const std::string& mailbox_name) noexcept;

}  // namespace tarnvel::platform
