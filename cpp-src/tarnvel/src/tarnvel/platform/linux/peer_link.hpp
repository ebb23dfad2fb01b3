// What a Linux PeerLink holds, shared with the LinkWatch that watches it.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/linux/object_handles.hpp"
#include "platform/platform.hpp"

namespace tarnvel::platform {

struct PeerLink::Native {
    detail::ObjectFd mailbox;
    detail::MappedView view;
    detail::ObjectFd event;  // empty while the owner has no event (yet)
    detail::ObjectFd owner;  // pidfd; empty where there is none
    std::string mailbox_name;
    // Set once a LinkWatch watches the link; it turns true there when the
    // owner has ended or removed an object. Null while nobody watches.
    std::shared_ptr<std::atomic<bool>> stale;
};

}  // namespace tarnvel::platform
