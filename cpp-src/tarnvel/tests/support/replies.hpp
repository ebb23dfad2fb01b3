// Replies whose answer goes to a plain function, for running handlers
// outside a node.
#pragma once

#include "frame.hpp"
#include "reply.hpp"
#include "tarnvel/tarnvel.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>

namespace tarnvel::test {

class FunctionReplyState final : public Reply::State {
public:
    using Deliver = std::function<void(uint8_t status, Bytes result)>;
    explicit FunctionReplyState(Deliver deliver) : deliver_(std::move(deliver)) {}
    ~FunctionReplyState() override { answer(STATUS_EXEC_FAILED, {}); }

private:
    void deliver(uint8_t status, Payload result) noexcept override {
        try {
            const std::span<const uint8_t> bytes = result.bytes();
            deliver_(status, Bytes(bytes.begin(), bytes.end()));
        } catch (...) {
        }
    }

    Deliver deliver_;
};

inline Reply reply_to(FunctionReplyState::Deliver deliver) {
    return Reply(std::make_shared<FunctionReplyState>(std::move(deliver)));
}

// What a handler answers at once, as the inbox would run it: what it throws
// fails the reply. Nothing when it kept the reply unanswered.
inline std::optional<CallResult> answer_now(const DeferredHandler& handler, Bytes args) {
    std::optional<CallResult> answer;
    {
        Reply reply = reply_to([&](uint8_t status, Bytes result) { answer = CallResult{status, std::move(result)}; });
        try {
            handler(std::move(args), reply);
        } catch (...) {
            reply.fail();
        }
        if (!reply.answered()) return std::nullopt;
    }
    return answer;
}

}  // namespace tarnvel::test
