#include "inbox.hpp"

#include "frame.hpp"
#include "ring.hpp"

#include <string>
#include <utility>

namespace tarnvel {

Inbox::Inbox(boost::asio::io_context& io, const std::atomic<bool>& stopping, uint32_t pid, MailboxNameHold name,
             uint64_t bytes, Links links)
    : stopping_(stopping), pid_(pid), links_(links), name_(std::move(name)) {
    mailbox_.emplace(platform::SharedMapping::create(name_.name(), bytes, platform::MappingPurpose::mailbox));
    init_mailbox(mailbox_->view(), mailbox_->size());
    reader_.emplace(io, mailbox_->view(), mailbox_->size(), [this](const Bytes& frame) { dispatch(frame); });
    event_ = std::make_unique<platform::MailboxEvent>(io, name_.name());
}

Inbox::~Inbox() {
    if (mailbox_) retire_mailbox(mailbox_->view(), mailbox_->size());
}

void Inbox::start() { arm_wait(); }

void Inbox::stop() noexcept {
    if (event_) event_->cancel();
}

void Inbox::abandon() noexcept {
    // The event's io object must never be destroyed in a fork child: it would
    // reach into the parent's io machinery.
    if (event_) {
        event_->abandon();
        (void)event_.release();
    }
    if (mailbox_) mailbox_->abandon();
    mailbox_.reset();
}

void Inbox::arm_wait() {
    // A completed wait has reset the event before it calls back, so every
    // record committed before a signal it took away is drained here, and
    // later records signal it anew.
    reader_->drain();
    event_->async_wait([this] { arm_wait(); });
}

void Inbox::dispatch(const Bytes& bytes) {
    // A handler may have closed the node; what the drain still takes from
    // the ring is dropped.
    if (stopping_) return;
    const std::optional<FrameView> frame = view_frame(bytes);
    if (!frame) return;

    if (frame->kind == FRAME_KIND_RESPONSE) {
        if (frame->body.empty()) {
            links_.calls.answer(frame->pid, frame->seq, CallResult{STATUS_EXEC_FAILED, {}});
            return;
        }
        CallResult result{frame->body[0], {}};
        if (result.status == STATUS_OK) result.result.assign(frame->body.begin() + 1, frame->body.end());
        links_.calls.answer(frame->pid, frame->seq, std::move(result));
        return;
    }
    if (frame->kind == FRAME_KIND_REQUEST) serve(Caller{frame->pid, frame->seq}, frame->body);
}

void Inbox::serve(const Caller& caller, std::span<const uint8_t> body) {
    const std::optional<RequestBody> request = decode_request_body(body);
    if (!request) {
        reply(caller, STATUS_EXEC_FAILED, {});
        return;
    }
    const std::optional<MethodHandler> handler = links_.registry.find_handler(
        std::string(request->method), [&] { reply(caller, STATUS_EXEC_FAILED, {}); });
    if (!handler) return;
    try {
        const Bytes result = (*handler)(Bytes(request->args.begin(), request->args.end()));
        reply(caller, STATUS_OK, result);
    } catch (...) {
        reply(caller, STATUS_EXEC_FAILED, {});
    }
}

void Inbox::reply(const Caller& caller, uint8_t status, std::span<const uint8_t> result) {
    // Addressed by pid alone: to the node of the first slot that carries it.
    std::optional<BookEntry> to = links_.directory.entry_of(caller.pid);
    // Nobody to address: the caller's call ends by its time-out.
    if (!to || to->node_name.empty()) return;
    Bytes frame = encode_response(caller.seq, pid_, status, result);
    links_.outbox.send(OutgoingMessage{std::move(to->node_name), caller.pid, std::move(to->mailbox_name),
                                       std::move(frame), false, caller.seq});
}

}  // namespace tarnvel
