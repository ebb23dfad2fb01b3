// Timing the library keeps fixed for its users. The tests shorten it so that
// they need not sit out a book refresh or a stalled opener at full length; it
// is not part of the public interface.
#pragma once

#include <chrono>

namespace tarnvel::settings {

struct Timing {
    // How often a node rewrites its book slot: a slot that a peer purged, or
    // that a sibling node of this process cleared, comes back at the latest
    // this long after.
    std::chrono::milliseconds book_refresh_period{5000};

    // An exclusive lock on a live named object is held by a creator while it
    // initialises, or by a releaser or a sweep while it decides: microseconds.
    // Whoever holds it longer (a stuck or foreign process) must not stall an
    // opener for ever, least of all a node's io thread delivering a message.
    std::chrono::milliseconds exclusive_wait_limit{2000};

    // A held object a creator cannot use (too small, or half-made by a creator
    // that died, with other openers looking at it just now): rounds spread over
    // this long let passing holders go, so that a leftover gets renewed, while
    // an object that stays unusable still fails well within a second.
    std::chrono::milliseconds unusable_wait_limit{750};

    bool operator==(const Timing&) const = default;
};

// The timing in force; every refresh and every open reads it afresh.
Timing timing() noexcept;

// Puts `timing` in force for what starts from now on (a node's next refresh,
// the next open) and returns the timing it replaces.
Timing set_timing(const Timing& timing) noexcept;

}  // namespace tarnvel::settings
