// Shortened library timing for the tests that would otherwise sit out a book
// refresh or a wait bound at full length. Peers started meanwhile get the
// same timing: Peer::launch passes it as a leading "--timing=R,E,U" option
// (milliseconds: book refresh period, exclusive and unusable wait limits).
#pragma once

#include "settings.hpp"

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

namespace tarnvel::test {

// Puts `timing` in force until the end of the scope. Only what starts
// meanwhile uses it: a node's refresh period is read when its next refresh is
// scheduled, so nodes are constructed inside the scope.
class ScopedTiming {
public:
    explicit ScopedTiming(const settings::Timing& timing) : previous_(settings::set_timing(timing)) {}
    ~ScopedTiming() { settings::set_timing(previous_); }
    ScopedTiming(const ScopedTiming&) = delete;
    ScopedTiming& operator=(const ScopedTiming&) = delete;

private:
    settings::Timing previous_;
};

inline std::string timing_option(const settings::Timing& t) {
    return "--timing=" + std::to_string(t.book_refresh_period.count()) + "," +
           std::to_string(t.exclusive_wait_limit.count()) + "," + std::to_string(t.unusable_wait_limit.count());
}

inline std::optional<settings::Timing> parse_timing_option(const std::string& arg) {
    long long refresh = 0, exclusive = 0, unusable = 0;
    char end = 0;
    if (std::sscanf(arg.c_str(), "--timing=%lld,%lld,%lld%c", &refresh, &exclusive, &unusable, &end) != 3)
        return std::nullopt;
    return settings::Timing{std::chrono::milliseconds(refresh), std::chrono::milliseconds(exclusive),
                            std::chrono::milliseconds(unusable)};
}

}  // namespace tarnvel::test
