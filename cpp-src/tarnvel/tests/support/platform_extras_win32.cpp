#include "support/platform_extras.hpp"

#include "names.hpp"
#include "platform/win32/section.hpp"

#include <windows.h>

#include <utility>

namespace tarnvel::platform {

namespace {

struct PlatformMapping final : PeerMailbox::Mapping {
    explicit PlatformMapping(detail::MappedSection&& mapping) : opened(std::move(mapping)) {}
    uint8_t* view() const noexcept override { return opened.view(); }
    uint64_t size() const noexcept override { return opened.size(); }
    detail::MappedSection opened;
};

}  // namespace

std::unique_ptr<PeerMailbox::Mapping> open_peer_mapping(const std::string& mailbox_name, OpenFailure& why) {
    auto opened = detail::open_section(mailbox_name, why);
    if (!opened) {
        return nullptr;
    }
    return std::make_unique<PlatformMapping>(std::move(*opened));
}

void signal_mailbox_event(const std::string& mailbox_name) noexcept { detail::set_mailbox_event(mailbox_name); }

void reset_mailbox_event(const std::string& mailbox_name) noexcept {
    HANDLE handle = OpenEventA(EVENT_MODIFY_STATE, FALSE, mailbox_event_name(mailbox_name).c_str());
    if (handle != nullptr) {
        ResetEvent(handle);
        CloseHandle(handle);
    }
}

}  // namespace tarnvel::platform
