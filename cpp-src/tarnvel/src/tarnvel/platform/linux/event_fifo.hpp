// Setting a mailbox's event from outside its owner.
#pragma once

#include <string_view>

#include "platform/linux/object_handles.hpp"

namespace tarnvel::platform::detail {

// The event's FIFO, opened read-write: with a reader always present (this
// descriptor), a write can never fail with EPIPE or raise SIGPIPE, whatever
// the calling thread's signal mask. Nothing is ever read from it here. Empty
// when there is no FIFO of ours under the name.
ObjectFd open_event_for_setting(std::string_view mailbox_name) noexcept;

// Sets the event through such a descriptor. Never blocks.
void write_signal_byte(int fd) noexcept;

}  // namespace tarnvel::platform::detail
