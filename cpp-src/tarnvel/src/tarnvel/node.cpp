// The node: its parts made, started and released in order, and the public
// operations that use them.
#include "impl.hpp"

#include "builtins.hpp"
#include "frame.hpp"
#include "held_names.hpp"
#include "names.hpp"

#include <chrono>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

namespace tarnvel {

Tarnvel::Impl::Impl() : life([this] { release(); }, [this] { calls.fail_all(); }) {}

Tarnvel::Impl::~Impl() {
    try {
        life.close();
    } catch (...) {
    }
    life.join_closer();
}

void Tarnvel::Impl::open(std::string node_name, const std::string& system_name, const std::string& recv_shm_name,
                         uint64_t recv_shm_bytes) {
    validate_node_name(node_name);
    validate_system_name(system_name);
    const std::string book_object = book_name(system_name);
    const std::string book_mutex_object = book_mutex_name(system_name);
    check_book_names(book_object, book_mutex_object);
    std::string own_mailbox = mailbox_name(recv_shm_name, life.pid());
    validate_recv_shm_bytes(recv_shm_bytes);

    // Refused before the book is opened: a failed construction that had
    // opened it would clear the slot of the node that holds the name.
    MailboxNameHold held(own_mailbox);
    // Likewise: the book keys a slot by process, so a second node of this
    // process would take the first one's slot.
    system_hold.emplace(book_object);

    // Dead processes' objects would otherwise pile up in shared memory.
    platform::sweep_leftovers();

    directory.emplace(life.io(), life.stopping(), life.pid(), book_object, book_mutex_object);
    outbox.emplace(
        *directory, life.io(), [this](uint32_t pid, uint16_t seq, uint8_t status) { fail_request(pid, seq, status); },
        [this](uint32_t pid) { peer_died(pid); });
    // The io thread's batch of calls holds the right to deliver; it is not
    // held while the book's mutex may keep that thread waiting.
    directory->before_book_reads([this] {
        if (outbox) outbox->hold_off();
    });
    inbox.emplace(life.io(), life.stopping(), life.pid(), std::move(held), recv_shm_bytes,
                  Inbox::Links{registry, calls, *directory, *outbox, workers});
    watches.emplace(life.io(), life.stopping(), [this](uint32_t pid) { peer_died(pid); });
    answer_waits = inbox->answer_waits();
    if (!directory->enter(std::move(node_name), std::move(own_mailbox))) {
        throw Error(ErrorKind::directory_full, "directory full");
    }
    add_builtins(registry, [this] { return list_nodes(); });
    life.start([this] {
        inbox->start();
        directory->start_refresh();
    });
}

void Tarnvel::Impl::close() { life.close(); }

void Tarnvel::Impl::release() {
    // The io thread has ended: its timers and waits are cancelled first, the
    // calls still pending end, and only then does anything shared go.
    if (directory) directory->stop_refresh();
    if (watches) watches->stop();
    if (inbox) inbox->stop();
    // Requests no worker has started are answered with failure, as far as
    // the outbox can still write without its io thread; what running
    // handlers answer from now on is dropped.
    workers.discard_waiting();
    if (inbox) inbox->close_replies();
    calls.stop();
    calls.fail_all();
    // Every future is ready now, so a thread reading in the io thread's
    // place leaves (one waiting for anything else is sent away); none may
    // come in once the mailbox goes.
    if (answer_waits) answer_waits->shut();
    // After the calls have ended: a handler may be waiting for one.
    workers.join();
    if (outbox) {
        outbox->flush_answers();
        outbox->close();
    }
    outbox.reset();
    if (directory) directory->leave();
    watches.reset();
    inbox.reset();
    directory.reset();
    // Only once the slot is cleared may another node of this process enter.
    system_hold.reset();
}

void Tarnvel::Impl::abandon_after_fork() noexcept {
    // The child shares the parent's objects, locks and io machinery; dropping
    // its copies of the handles is all it may do.
    if (inbox) inbox->abandon();
    if (directory) directory->abandon();
}

void Tarnvel::Impl::fail_request(uint32_t pid, uint16_t seq, uint8_t status) {
    calls.complete(pid, seq, CallResult{status, {}});
}

void Tarnvel::Impl::peer_died(uint32_t pid) {
    // Answers it wrote before it died are taken first: they still count.
    if (inbox) inbox->drain();
    calls.fail_peer(pid);
    directory->purge(pid);
}

void Tarnvel::Impl::call(std::string target_name, uint32_t pid, std::string method, Payload args, int64_t timeout_ms,
                         CallEnd done, bool anywhere, bool takes_space) {
    // Outcomes known here are handed over only once the operation has ended:
    // a completion may itself call or close.
    std::optional<uint8_t> at_once;
    std::optional<uint16_t> seq;
    {
        // Held while the request is handed to the outbox: close cannot
        // release the book or the io context half-way through.
        const auto operation = life.enter_operation();
        std::optional<std::string> mailbox;
        bool book_busy = false;
        try {
            mailbox = directory->lookup(target_name, pid);
        } catch (const BookBusy&) {
            // A stopped or stuck holder of the book mutex: nothing is known
            // of the peer, which is left in the book.
            book_busy = true;
        }
        if (book_busy) {
            at_once = STATUS_DELIVER_FAILED;
        } else if (!mailbox) {
            at_once = STATUS_EXEC_FAILED;
        } else if (!request_fits_frame(method.size(), args.size())) {
            at_once = STATUS_DELIVER_FAILED;
        } else {
            const auto deadline = deadline_after(timeout_ms);
            try {
                seq = calls.add(pid, done, deadline, anywhere, takes_space);
            } catch (...) {
                seq.reset();  // out of memory: the call was not entered
            }
            if (!seq) {
                // Every sequence number of that process is in use by a
                // pending call, or no memory to enter the call.
                at_once = STATUS_DELIVER_FAILED;
            } else {
                try {
                    at_once = outbox->send(OutgoingMessage{std::move(target_name), pid, std::move(*mailbox),
                                                           request_frame(*seq, life.pid(), method, std::move(args)),
                                                           true, *seq, deadline});
                } catch (...) {
                    at_once = STATUS_DELIVER_FAILED;  // out of memory
                }
                // Its death ends the call at once, not at its time limit.
                if (!at_once && pid != life.pid()) watches->watch(pid);
            }
        }
    }
    if (!at_once) return;
    if (seq) {
        fail_request(pid, *seq, *at_once);
    } else {
        done.run(CallResult{*at_once, {}});
    }
}

CallFuture Tarnvel::Impl::call(std::string target_name, uint32_t pid, std::string method, Payload args,
                               int64_t timeout_ms) {
    auto promise = std::make_shared<std::promise<CallResult>>();
    std::future<CallResult> future = promise->get_future();
    // Read before close can release it; a closed node refuses the call below.
    std::shared_ptr<AnswerWaits> waits = answer_waits;
    call(std::move(target_name), pid, std::move(method), std::move(args), timeout_ms,
         CallCompletion([promise, waits](CallResult result) {
             promise->set_value(std::move(result));
             if (waits) waits->wake();
         }),
         true);
    return CallFuture(std::move(future), std::move(waits));
}

template <class... Handlers>
bool Tarnvel::Impl::register_method(boost::json::object descriptor, Handlers... handlers) {
    if (life.closed()) throw Error(ErrorKind::closed, "Tarnvel is closed");
    return registry.register_method(std::move(descriptor), std::move(handlers)...);
}

void Tarnvel::Impl::set_worker_threads(unsigned count) {
    if (life.closed()) throw Error(ErrorKind::closed, "Tarnvel is closed");
    if (count > MAX_WORKER_THREADS) throw Error(ErrorKind::invalid_argument, "invalid worker count");
    workers.set_size(count);
}

std::vector<NodeInfo> Tarnvel::Impl::list_nodes() {
    const auto operation = life.enter_operation();
    return directory->list();
}

Tarnvel::Tarnvel(std::string node_name, std::string system_name, std::string recv_shm_name, uint64_t recv_shm_bytes)
    : impl_(std::make_unique<Impl>()) {
    impl_->open(std::move(node_name), system_name, recv_shm_name, recv_shm_bytes);
}

Tarnvel::~Tarnvel() {
    if (!impl_) return;
    if (impl_->life.inherited_by_fork()) {
        impl_->abandon_after_fork();
        // Tearing down the io context here would reach into the parent's
        // epoll instance; the child's copy is left as it is.
        (void)impl_.release();
        return;
    }
    if (Lifecycle::on_any_handler_thread()) {
        // The last reference went away inside a handler, of this node or of
        // another. An io thread cannot join itself, and joining another
        // node's would wait for ever if that node's handler waits for this
        // one (dropping it in turn, or for the Python interpreter lock this
        // thread holds); so another thread finishes the close and releases
        // the node.
        impl_->life.begin_close();
        Impl* impl = impl_.release();
        try {
            std::thread([impl] { delete impl; }).detach();
        } catch (...) {
            // No thread to finish with: leaking is the only safe choice.
        }
        return;
    }
    // Closed while the node is still whole: a completion that runs during the
    // close (the calls still pending end there) may still reach the node
    // (a waker of answer_waiter_waker(), say), which it could not once impl_ is reset.
    try {
        impl_->life.close();
    } catch (...) {
        // The destruction of the Impl closes it too.
    }
    impl_.reset();
}

void Tarnvel::close() {
    if (impl_->life.inherited_by_fork()) {
        impl_->abandon_after_fork();
        return;
    }
    impl_->close();
}

uint32_t Tarnvel::pid() const { return impl_->life.pid(); }

bool Tarnvel::on_io_thread() noexcept { return Lifecycle::on_any_io_thread(); }

namespace {

void refuse_wait_on_io_thread(const std::future<CallResult>& future) {
    if (!Lifecycle::on_any_io_thread()) return;
    if (future.valid() && future.wait_for(std::chrono::seconds(0)) == std::future_status::ready) return;
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                            "an io thread cannot wait for a call's result: only an io thread reads it");
}

}  // namespace

CallResult CallFuture::get() {
    refuse_wait_on_io_thread(*this);
    if (reader_ && valid()) reader_->wait(*this);
    return std::future<CallResult>::get();
}

void CallFuture::wait() const {
    refuse_wait_on_io_thread(*this);
    if (reader_ && valid()) reader_->wait(*this);
    std::future<CallResult>::wait();
}

CallFuture Tarnvel::call(std::string node_name, uint32_t pid, std::string method, Bytes args, int64_t timeout_ms) {
    return impl_->call(std::move(node_name), pid, std::move(method), std::move(args), timeout_ms);
}

void Tarnvel::call(std::string node_name, uint32_t pid, std::string method, Bytes args, int64_t timeout_ms,
                   CallCompletion on_done) {
    impl_->call(std::move(node_name), pid, std::move(method), std::move(args), timeout_ms, std::move(on_done));
}

CallFuture Tarnvel::call(std::string node_name, uint32_t pid, std::string method, BytesView args,
                         int64_t timeout_ms) {
    return impl_->call(std::move(node_name), pid, std::move(method), Payload::borrowed(args.bytes()), timeout_ms);
}

void Tarnvel::call(std::string node_name, uint32_t pid, std::string method, BytesView args, int64_t timeout_ms,
                   CallCompletion on_done) {
    impl_->call(std::move(node_name), pid, std::move(method), Payload::borrowed(args.bytes()), timeout_ms,
                std::move(on_done));
}

void Tarnvel::call_in_place(std::string node_name, uint32_t pid, std::string method, BytesView args, int64_t timeout_ms,
                            InPlaceCompletion on_done) {
    impl_->call(std::move(node_name), pid, std::move(method), Payload::borrowed(args.bytes()), timeout_ms,
                std::move(on_done));
}

void Tarnvel::call(std::string node_name, uint32_t pid, std::string method, BytesView args, int64_t timeout_ms,
                   CallCompletion on_done, AnyThread) {
    impl_->call(std::move(node_name), pid, std::move(method), Payload::borrowed(args.bytes()), timeout_ms,
                std::move(on_done), true, true);
}

void Tarnvel::take_answers() {
    // An io thread may be inside its own drain, whose lock this would take.
    if (on_io_thread() || !impl_->answer_waits) return;
    impl_->answer_waits->take_now();
}

namespace {

// A thread waiting in wait_taking_answers() reads answers up to this size and
// leaves larger ones to the io thread, unless it has memory of its own for
// them (an AnswerSpace). Such a caller copies its answer again
// (into a Python bytes object), so it would hold two large buffers on its
// thread's heap at once, which glibc's allocator hands back to the system and
// faults in again on every call (a 1 MiB echo took ten times as long); on the
// io thread's heap only one comes and goes at a time.
constexpr uint64_t WAITER_TAKES_AT_MOST = 128 * 1024;

}  // namespace

bool Tarnvel::wait_taking_answers(const std::function<bool()>& done, std::chrono::steady_clock::time_point until) {
    // An io thread reads its mailbox in its own loop, which waiting here
    // would hold up.
    if (on_io_thread() || !impl_->answer_waits) return false;
    return impl_->answer_waits->wait(done, until, WAITER_TAKES_AT_MOST);
}

bool Tarnvel::wait_taking_answers(const std::function<bool()>& done, std::chrono::steady_clock::time_point until,
                                  const AnswerSpace& space) {
    if (on_io_thread() || !impl_->answer_waits) return false;
    return impl_->answer_waits->wait(done, until, WAITER_TAKES_AT_MOST, &space);
}

std::function<void()> Tarnvel::answer_waiter_waker() const {
    // Holds what it wakes, not the node: it may be called after the node is
    // gone (wake() then finds nobody waiting).
    return [waits = impl_ ? impl_->answer_waits : nullptr] {
        if (waits) waits->wake();
    };
}

bool Tarnvel::register_method(boost::json::object descriptor, MethodHandler handler) {
    // The plain form is the deferred one answering before it returns.
    return impl_->register_method(std::move(descriptor), answering_at_once(std::move(handler)));
}

bool Tarnvel::register_method(boost::json::object descriptor, DeferredHandler handler) {
    return impl_->register_method(std::move(descriptor), std::move(handler));
}

bool Tarnvel::register_in_place_method(boost::json::object descriptor, InPlaceHandler handler) {
    return impl_->register_method(std::move(descriptor), std::move(handler));
}

bool Tarnvel::register_in_place_method(boost::json::object descriptor, DeferredHandler handler,
                                       InPlaceHandler in_place) {
    return impl_->register_method(std::move(descriptor), std::move(handler), std::move(in_place));
}

void Tarnvel::set_worker_threads(unsigned count) { impl_->set_worker_threads(count); }

std::vector<NodeInfo> Tarnvel::list_nodes() const { return impl_->list_nodes(); }

}  // namespace tarnvel
