// What stands behind a Reply: the one answer to one request and the way it
// goes back. The inbox makes them.
#pragma once

#include "frame.hpp"
#include "tarnvel/tarnvel.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace tarnvel {

struct Reply::State {
    virtual ~State() = default;

    // Gives the answer unless one was given already (then false).
    bool answer(uint8_t status, Payload result) noexcept {
        if (answered.exchange(true)) return false;
        deliver(status, std::move(result));
        return true;
    }

    std::atomic<bool> answered{false};

protected:
    State() = default;
    // Carries the answer away, on the thread that gives it. Every derived
    // state's destructor answers STATUS_EXEC_FAILED first, so that a reply
    // dropped unanswered tells the caller at once.
    // A borrowed result is valid until it returns.
    virtual void deliver(uint8_t status, Payload result) noexcept = 0;
};

}  // namespace tarnvel
