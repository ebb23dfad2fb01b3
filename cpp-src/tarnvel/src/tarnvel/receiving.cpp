// Receiving: the io thread drains the node's own mailbox and acts on each
// frame, running the handler of a request or finishing a call with an answer.
#include "frame.hpp"
#include "impl.hpp"
#include "mailbox_reader.hpp"

#include <utility>

namespace tarnvel {

void Tarnvel::Impl::arm_wait() {
    if (stopping) return;
    // A completed wait has reset the event before it calls back, so every
    // record committed before a signal it took away is drained here, and
    // later records signal it anew.
    reader->drain();
    mailbox_event->async_wait([this] { arm_wait(); });
}

void Tarnvel::Impl::dispatch_frame(const Bytes& bytes) {
    // A handler may have closed the node; what the drain still takes from
    // the ring is dropped.
    if (stopping) return;
    const std::optional<FrameView> frame = view_frame(bytes);
    if (!frame) return;

    if (frame->kind == FRAME_KIND_RESPONSE) {
        if (frame->body.empty()) {
            calls.answer(frame->pid, frame->seq, CallResult{STATUS_EXEC_FAILED, {}});
            return;
        }
        CallResult result{frame->body[0], {}};
        if (result.status == STATUS_OK) result.result.assign(frame->body.begin() + 1, frame->body.end());
        calls.answer(frame->pid, frame->seq, std::move(result));
        return;
    }
    if (frame->kind != FRAME_KIND_REQUEST) return;

    const std::optional<RequestBody> request = decode_request_body(frame->body);
    if (!request) {
        send_reply(frame->pid, frame->seq, STATUS_EXEC_FAILED, {});
        return;
    }
    const std::optional<MethodHandler> handler = registry.find_handler(
        std::string(request->method), [&] { send_reply(frame->pid, frame->seq, STATUS_EXEC_FAILED, {}); });
    if (!handler) return;
    try {
        Bytes result = (*handler)(Bytes(request->args.begin(), request->args.end()));
        send_reply(frame->pid, frame->seq, STATUS_OK, result);
    } catch (...) {
        send_reply(frame->pid, frame->seq, STATUS_EXEC_FAILED, {});
    }
}

void Tarnvel::Impl::send_reply(uint32_t caller_pid, uint16_t seq, uint8_t status, const Bytes& result) {
    // Addressed by pid alone: to the node of the first slot that carries it.
    std::optional<BookEntry> caller = book_ops().entry_of(caller_pid);
    // Nobody to address: the caller's call ends by its time-out.
    if (!caller || caller->node_name.empty()) return;
    Bytes frame = encode_response(seq, own_pid, status, result);
    delivery->send(OutgoingMessage{std::move(caller->node_name), caller_pid, std::move(caller->mailbox_name),
                                   std::move(frame), false, seq});
}

}  // namespace tarnvel
