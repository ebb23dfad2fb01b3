// The parts of MailboxEvent that do not depend on the platform.
#include "platform/platform.hpp"

namespace tarnvel::platform {

MailboxEvent& MailboxEvent::operator=(MailboxEvent&& other) noexcept {
    if (this != &other) {
        // Ends like a destroyed event: cancelled first, so that no completion
        // already queued calls its function afterwards.
        MailboxEvent replaced(std::move(*this));
        // A swap, which needs no complete Native here: ours is empty now.
        native_.swap(other.native_);
    }
    return *this;
}

}  // namespace tarnvel::platform
