#include "reply.hpp"

#include <utility>

namespace tarnvel {

Reply::Reply(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}

bool Reply::complete(Bytes result) const { return state_ && state_->answer(STATUS_OK, std::move(result)); }

bool Reply::complete(BytesView result) const {
    return state_ && state_->answer(STATUS_OK, Payload::borrowed(result.bytes()));
}

bool Reply::fail() const { return state_ && state_->answer(STATUS_EXEC_FAILED, {}); }

bool Reply::answered() const noexcept { return state_ && state_->answered; }

}  // namespace tarnvel
