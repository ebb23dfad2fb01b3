// Delivery: the io thread writes each queued frame into its destination's
// mailbox, one message per step.
#include "impl.hpp"
#include "ring.hpp"

#include <boost/asio/post.hpp>

#include <utility>

namespace tarnvel {

void Tarnvel::Impl::enqueue_outgoing(OutgoingMessage message) {
    std::lock_guard lock(outbox.mutex);
    outbox.messages.push_back(std::move(message));
    if (!outbox.draining) {
        outbox.draining = true;
        // Never inline, even on the io thread: a handler's reply goes out
        // after the handler has returned.
        boost::asio::post(io, [this] { deliver_next(); });
    }
}

void Tarnvel::Impl::deliver_next() {
    OutgoingMessage message;
    {
        std::lock_guard lock(outbox.mutex);
        if (outbox.messages.empty()) {
            outbox.draining = false;
            return;
        }
        message = std::move(outbox.messages.front());
        outbox.messages.pop_front();
    }

    const auto finish = [&](uint8_t status) {
        if (message.expects_reply) calls.complete_call(message.pid, message.seq, CallResult{status, {}});
    };

    std::optional<platform::PeerMailbox> peer;
    if (const auto peer_mailbox_name = book_lookup(message.node_name, message.pid); !peer_mailbox_name) {
        finish(STATUS_EXEC_FAILED);
    } else if (peer = platform::PeerMailbox::open(*peer_mailbox_name);
               !peer || (peer->size() != 0 && peer->size() < MAILBOX_HEADER_SIZE)) {
        // A mailbox vanishes with its owner's process: the peer is gone, and
        // so are all its slots.
        book_purge_pid(message.pid);
        finish(STATUS_EXEC_FAILED);
    } else if (append_record(peer->view(), peer->size(), message.frame) != AppendResult::ok) {
        finish(STATUS_DELIVER_FAILED);
    } else {
        platform::signal_mailbox_event(*peer_mailbox_name);
    }

    {
        std::lock_guard lock(outbox.mutex);
        if (outbox.messages.empty()) {
            outbox.draining = false;
        } else {
            boost::asio::post(io, [this] { deliver_next(); });
        }
    }
}

}  // namespace tarnvel
