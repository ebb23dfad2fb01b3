// How long a node's readers stay awake after an exchange, watching the
// mailbox for what comes next: a fixed while, and more after large records.
// A peer that has a megabyte to read and then a megabyte to write takes a
// hundred microseconds or more before its record is complete; a reader that
// has gone to sleep by then costs a wake-up on each side, tens of
// microseconds each on a busy or virtual machine. The extra time is in
// proportion to the bytes that moved, so the watch costs at most a small
// multiple of what moving them cost anyway.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace tarnvel {

class AwakeBudget {
public:
    // Any thread: the size of a record the node has just written to a peer,
    // or taken from its own mailbox.
    void sent(uint64_t bytes) noexcept { sent_.store(bytes, std::memory_order_relaxed); }
    void taken(uint64_t bytes) noexcept { taken_.store(bytes, std::memory_order_relaxed); }

    // `base`, and time for the larger of the last record sent and the last
    // one taken to cross again.
    std::chrono::nanoseconds beyond(std::chrono::nanoseconds base) const noexcept {
        const uint64_t bytes = std::min(
            std::max(sent_.load(std::memory_order_relaxed), taken_.load(std::memory_order_relaxed)), MOST_BYTES);
        return base + std::chrono::nanoseconds(bytes * PER_MIB.count() / (uint64_t{1} << 20));
    }

private:
    // Two copies of a megabyte between cores take about 100 us on the
    // machines measured; twice that leaves room for a slower one.
    static constexpr std::chrono::nanoseconds PER_MIB{200'000};
    // At most a millisecond more, whatever the record.
    static constexpr uint64_t MOST_BYTES = 5 * (uint64_t{1} << 20);

    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> taken_{0};
};

}  // namespace tarnvel
