// The node's outbox: every frame it sends waits here until the io thread
// writes it into the destination's mailbox.
#pragma once

#include "tarnvel.hpp"

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace tarnvel {

struct OutgoingMessage {
    std::string node_name;
    uint32_t pid = 0;
    Bytes frame;
    // True for the request of a call: a failed delivery finishes that call.
    bool expects_reply = false;
    uint16_t seq = 0;
};

struct Outbox {
    std::mutex mutex;
    std::deque<OutgoingMessage> messages;
    // True while a chain of delivery steps is scheduled or running; at most
    // one chain exists, so messages leave in the order they were queued.
    bool draining = false;
};

}  // namespace tarnvel
