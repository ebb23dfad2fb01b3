// Delivery: every frame a node sends, a request or an answer, is written into
// its destination's mailbox, in the order the node sent them.
#pragma once

#include "directory.hpp"
#include "peer_cache.hpp"
#include "ring.hpp"
#include "tarnvel/tarnvel.hpp"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace tarnvel {

struct OutgoingMessage {
    std::string node_name;
    uint32_t pid = 0;
    // Where the sender found the destination in the book a moment ago.
    std::string mailbox_name;
    Bytes frame;
    // True for the request of a call: a failed delivery finishes that call.
    bool expects_reply = false;
    uint16_t seq = 0;
};

class Delivery {
public:
    // Told of a request the io thread could not deliver: the status that
    // ends its call.
    using Undelivered = std::function<void(uint32_t pid, uint16_t seq, uint8_t status)>;

    Delivery(Directory& directory, boost::asio::io_context& io, Undelivered undelivered)
        : directory_(directory), io_(io), undelivered_(std::move(undelivered)) {}

    // Writes the message from the calling thread when nothing is queued ahead
    // of it and its destination's link is kept and current; otherwise queues
    // it for the io thread, which looks the destination up again and opens
    // it. Either way messages leave in the order they were sent. A request
    // that fails on the calling thread is not finished here: its status is
    // returned, for the caller to finish the call once it holds no lock.
    std::optional<uint8_t> send(OutgoingMessage message);

    // Drops every kept link; for close, once no thread sends any more.
    void close() noexcept;

private:
    // What became of one message: nothing to report, or the status that
    // ends its call.
    using Outcome = std::optional<uint8_t>;

    void deliver_next();  // io thread, one message per step
    // Writes through the kept, current link to `mailbox`, if there is one.
    // False when there is none or its header went bad (the link is then
    // dropped): nothing was written, and opening afresh decides.
    bool write_kept(const std::string& mailbox, const OutgoingMessage& message, Outcome& outcome);
    // Signals the peer after a successful append; the outcome of the write.
    Outcome finish_write(platform::PeerLink& link, AppendResult appended);
    Outcome deliver(const OutgoingMessage& message);
    // Hands the right to deliver on: to the io thread while messages wait.
    void end_turn();
    void finish(const OutgoingMessage& message, Outcome outcome);

    Directory& directory_;
    boost::asio::io_context& io_;
    Undelivered undelivered_;

    std::mutex mutex_;
    std::deque<OutgoingMessage> queue_;  // guarded by mutex_
    // The right to deliver: held by one thread at a time, from taking a
    // message to ending its turn, and always while messages wait (the io
    // thread's chain of steps holds it then). Its holder alone uses peers_.
    bool busy_ = false;  // guarded by mutex_
    PeerCache peers_;
};

}  // namespace tarnvel
