// Small helpers for tests that drive nodes through the public interface.
#pragma once

#include "tarnvel/tarnvel.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace tarnvel::test {

// How long any single outcome may take before a test gives up on it; far
// above what a loaded 2-core sanitizer run needs, and only paid on failure.
inline constexpr std::chrono::seconds WAIT_LIMIT{10};
inline constexpr int64_t LONG_TIMEOUT_MS = 10000;

Bytes to_bytes(std::string_view s);
std::string to_text(const Bytes& b);

bool is_ready(const std::future<CallResult>& f);
// The call's outcome; throws std::runtime_error when it is not ready within `limit`.
CallResult await(std::future<CallResult>& f, std::chrono::milliseconds limit = WAIT_LIMIT);
CallResult call_wait(Tarnvel& node, const std::string& target, uint32_t pid, const std::string& method,
                     std::string_view args = {}, int64_t timeout_ms = LONG_TIMEOUT_MS);

// The string carried by an answer in packed form (u32 length + 1, bytes, NUL);
// nothing when the answer breaks that form or has bytes after it.
std::optional<std::string> unpack_answer(const Bytes& answer);

// Polls `condition` until it holds or `limit` passes.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = WAIT_LIMIT) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Runs `f` on a thread of its own; true once it has returned. A hang (a lock
// that is never handed on, a join that never ends) cannot be undone, so after
// `limit` it ends the test binary loudly instead of blocking it for ever.
bool finishes(std::function<void()> f, std::chrono::milliseconds limit = WAIT_LIMIT);

// The message of the std::runtime_error that `f` throws; "" when it throws nothing.
template <class F>
std::string error_of(F f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return {};
}

}  // namespace tarnvel::test
