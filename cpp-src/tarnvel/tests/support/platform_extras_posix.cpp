#include "support/platform_extras.hpp"

#include "platform/linux/event_fifo.hpp"
#include "platform/linux/object_lifetime.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace tarnvel::platform {

namespace {

struct PlatformMapping final : PeerMailbox::Mapping {
    explicit PlatformMapping(detail::MappedObject&& mapping) : opened(std::move(mapping)) {}
    uint8_t* view() const noexcept override { return opened.view.data(); }
    uint64_t size() const noexcept override { return opened.view.size(); }
    detail::MappedObject opened;
};

}  // namespace

std::unique_ptr<PeerMailbox::Mapping> open_peer_mapping(const std::string& mailbox_name, OpenFailure& why) {
    auto opened = detail::open_mapping(mailbox_name, why);
    if (!opened) {
        return nullptr;
    }
    return std::make_unique<PlatformMapping>(std::move(*opened));
}

void signal_mailbox_event(const std::string& mailbox_name) noexcept {
    detail::ObjectFd fd = detail::open_event_for_setting(mailbox_name);
    if (fd.get() >= 0) {
        detail::write_signal_byte(fd.get());
    }
}

void reset_mailbox_event(const std::string& mailbox_name) noexcept {
    detail::ObjectFd fd = detail::open_event_for_setting(mailbox_name);
    char buffer[256];
    // A FIFO hands over what it holds up to the size asked for, so a short
    // read has emptied it (EAGAIN: it was empty).
    while (fd.get() >= 0) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n != static_cast<ssize_t>(sizeof buffer) && !(n < 0 && errno == EINTR)) {
            break;
        }
    }
}

}  // namespace tarnvel::platform
