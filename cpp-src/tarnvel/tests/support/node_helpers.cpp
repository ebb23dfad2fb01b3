#include "support/node_helpers.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace tarnvel::test {

Bytes to_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::string to_text(const Bytes& b) { return std::string(b.begin(), b.end()); }

bool is_ready(const std::future<CallResult>& f) {
    return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

CallResult await(std::future<CallResult>& f, std::chrono::milliseconds limit) {
    if (f.wait_for(limit) != std::future_status::ready) throw std::runtime_error("call did not finish in time");
    return f.get();
}

CallResult call_wait(Tarnvel& node, const std::string& target, uint32_t pid, const std::string& method,
                     std::string_view args, int64_t timeout_ms) {
    auto f = node.call(target, pid, method, to_bytes(args), timeout_ms);
    return await(f);
}

bool finishes(std::function<void()> f, std::chrono::milliseconds limit) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([done, f = std::move(f)] {
        f();
        done->set_value();
    }).detach();
    if (finished.wait_for(limit) == std::future_status::ready) return true;
    std::fprintf(stderr, "operation hung; aborting\n");
    std::abort();
}

std::optional<std::string> unpack_answer(const Bytes& answer) {
    if (answer.size() < 4) return std::nullopt;
    uint32_t length = 0;
    for (int i = 3; i >= 0; --i) length = (length << 8) | answer[static_cast<size_t>(i)];
    if (length == 0 || uint64_t{length} + 4 != answer.size() || answer.back() != 0) return std::nullopt;
    return std::string(answer.begin() + 4, answer.end() - 1);
}

}  // namespace tarnvel::test
