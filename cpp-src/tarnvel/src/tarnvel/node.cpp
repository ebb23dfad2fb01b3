// The life of a node: construction, the io thread, close and destruction.
#include "held_names.hpp"
#include "impl.hpp"
#include "names.hpp"
#include "ring.hpp"
#include "settings.hpp"

#include <boost/asio/post.hpp>

#include <chrono>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace tarnvel {

namespace {

// The node whose io thread this is, if any. Set by the io thread itself, so it
// cannot be confused by a later thread that is given the same id.
thread_local const Tarnvel::Impl* current_io_node = nullptr;

}  // namespace

Tarnvel::Impl::Impl() : work(boost::asio::make_work_guard(io)) {}

Tarnvel::Impl::~Impl() {
    // A failed construction ends here too: whatever exists is released and
    // the own book slot cleared.
    try {
        close();
    } catch (...) {
    }
    if (closer.joinable()) closer.join();
}

void Tarnvel::Impl::construct(std::string node_name_arg, const std::string& system_name,
                              const std::string& recv_shm_name, uint64_t recv_shm_bytes) {
    validate_node_name(node_name_arg);
    validate_system_name(system_name);
    node_name = std::move(node_name_arg);
    const std::string book_object = book_name(system_name);
    const std::string book_mutex_object = book_mutex_name(system_name);
    check_book_names(book_object, book_mutex_object);
    own_pid = platform::current_process_id();
    mailbox_name = tarnvel::mailbox_name(recv_shm_name, own_pid);
    validate_recv_shm_bytes(recv_shm_bytes);

    // Refused before the book is opened: a failed construction that had
    // opened it would clear the slot of the node that holds the name.
    if (!held_mailbox_names().take(mailbox_name)) throw Error(ErrorKind::os_failure, "CreateFileMapping mailbox failed");
    holds_mailbox_name = true;

    // Dead processes' objects would otherwise pile up in shared memory.
    platform::sweep_leftovers();

    book_mutex.emplace(platform::NamedMutex::create(book_mutex_object));
    book.emplace(platform::SharedMapping::create(book_object, BOOK_SIZE, "book"));
    mailbox.emplace(platform::SharedMapping::create(mailbox_name, recv_shm_bytes, "mailbox"));
    init_mailbox(mailbox->view(), mailbox->size());
    reader.emplace(io, mailbox->view(), mailbox->size(), stopping,
                   [this](const Bytes& frame) { dispatch_frame(frame); });
    mailbox_event = std::make_unique<platform::MailboxEvent>(io, mailbox_name);
    delivery.emplace(book_ops(), calls, io);
    if (!book_register()) throw Error(ErrorKind::directory_full, "directory full");
    add_builtins();
    refresh_timer = std::make_unique<boost::asio::steady_timer>(io);
    io_thread = std::jthread([this] {
        current_io_node = this;
        // What escapes a handler ends the work it belonged to, never the
        // process; run() goes on with the next handler.
        for (;;) {
            try {
                io.run();
                break;
            } catch (...) {
            }
        }
        current_io_node = nullptr;
    });
    boost::asio::post(io, [this] {
        if (stopping) return;
        arm_wait();
        schedule_book_refresh();
    });
}

bool Tarnvel::Impl::on_io_thread() const { return current_io_node == this; }

bool Tarnvel::Impl::inherited_by_fork() const { return platform::current_process_id() != own_pid; }

std::shared_lock<std::shared_mutex> Tarnvel::Impl::enter_operation() {
    // Tested before the lock as well: a fork child must not touch a lock its
    // parent may have held, and callers that come after close has begun must
    // not keep it waiting.
    if (closed || inherited_by_fork()) throw Error(ErrorKind::closed, "Tarnvel is closed");
    std::shared_lock lock(lifecycle_mutex);
    if (closed) throw Error(ErrorKind::closed, "Tarnvel is closed");
    return lock;
}

bool Tarnvel::Impl::begin_close() {
    if (closed.exchange(true)) return false;
    {
        // Waits for the operations that passed their closed test before it was set.
        std::unique_lock lock(lifecycle_mutex);
        stopping = true;
    }
    // Timers and the event wait are cancelled once the io thread has ended:
    // they are not safe to touch from here while it runs, and a stopped
    // io_context runs none of their handlers anyway.
    work.reset();
    io.stop();
    return true;
}

void Tarnvel::Impl::close() {
    const bool first = begin_close();
    if (current_io_node == nullptr) {
        finish_close();
        return;
    }
    // On an io thread. A node's own io thread cannot join itself, and two
    // nodes whose handlers closed each other would wait for each other for
    // ever; so another thread finishes the close once the handler returns:
    // pending calls end and the objects are released without a later close.
    if (first) {
        try {
            closer = std::thread([this] {
                try {
                    finish_close();
                } catch (...) {
                    // The destructor tries again.
                }
            });
        } catch (...) {
            // Without a thread, the next close or the destructor finishes it
            // (and ends the pending calls).
        }
    }
    if (first && on_io_thread()) {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
}

void Tarnvel::Impl::finish_close() {
    std::lock_guard lock(close_mutex);
    if (close_finished) return;
    if (io_thread.joinable()) io_thread.join();
    if (refresh_timer) refresh_timer->cancel();
    if (mailbox_event) mailbox_event->cancel();
    calls.stop();
    calls.fail_all();
    if (delivery) delivery->close();
    delivery.reset();
    if (book_mutex && book) book_purge_pid(own_pid);
    if (mailbox) retire_mailbox(mailbox->view(), mailbox->size());
    mailbox_event.reset();
    mailbox.reset();
    if (holds_mailbox_name) {
        held_mailbox_names().give_back(mailbox_name);
        holds_mailbox_name = false;
    }
    book.reset();
    book_mutex.reset();
    close_finished = true;
}

void Tarnvel::Impl::abandon_after_fork() noexcept {
    // The child shares the parent's objects, locks and io machinery; dropping
    // its copies of the handles is all it may do. Abandoned owners release
    // nothing when destroyed; the event's io object must never be destroyed
    // in the child at all.
    if (mailbox_event) {
        mailbox_event->abandon();
        (void)mailbox_event.release();
    }
    if (mailbox) mailbox->abandon();
    if (book) book->abandon();
    if (book_mutex) book_mutex->abandon();
    mailbox.reset();
    book.reset();
    book_mutex.reset();
}

Book Tarnvel::Impl::book_ops() { return Book(*book_mutex, book->view()); }

bool Tarnvel::Impl::book_register() { return book_ops().register_node(own_pid, node_name, mailbox_name); }

std::optional<std::string> Tarnvel::Impl::book_lookup(std::string_view name, uint32_t pid) {
    return book_ops().lookup(name, pid);
}

void Tarnvel::Impl::book_purge_pid(uint32_t pid) { book_ops().purge_pid(pid); }

std::vector<NodeInfo> Tarnvel::Impl::list_nodes() {
    const auto operation = enter_operation();
    return book_ops().list();
}

void Tarnvel::Impl::schedule_book_refresh() {
    if (stopping) return;
    refresh_timer->expires_after(settings::timing().book_refresh_period);
    refresh_timer->async_wait([this](const boost::system::error_code& error) {
        if (error || stopping) return;
        // A slot purged by a peer (or taken by another node of this process)
        // comes back here.
        try {
            book_register();
        } catch (...) {
            // The book mutex failed; the next refresh tries again.
        }
        schedule_book_refresh();
    });
}

Tarnvel::Tarnvel(std::string node_name, std::string system_name, std::string recv_shm_name, uint64_t recv_shm_bytes)
    : impl_(std::make_unique<Impl>()) {
    impl_->construct(std::move(node_name), system_name, recv_shm_name, recv_shm_bytes);
}

Tarnvel::~Tarnvel() {
    if (!impl_) return;
    if (impl_->inherited_by_fork()) {
        impl_->abandon_after_fork();
        // Tearing down the io context here would reach into the parent's
        // epoll instance; the child's copy is left as it is.
        (void)impl_.release();
        return;
    }
    if (current_io_node != nullptr) {
        // The last reference went away inside a handler, of this node or of
        // another. An io thread cannot join itself, and joining another
        // node's would wait for ever if that node's handler waits for this
        // one (dropping it in turn, or for the Python interpreter lock this
        // thread holds); so another thread finishes the close and releases
        // the node.
        impl_->begin_close();
        Impl* impl = impl_.release();
        try {
            std::thread([impl] { delete impl; }).detach();
        } catch (...) {
            // No thread to finish with: leaking is the only safe choice.
        }
        return;
    }
    impl_.reset();
}

void Tarnvel::close() {
    if (impl_->inherited_by_fork()) {
        impl_->abandon_after_fork();
        return;
    }
    impl_->close();
}

uint32_t Tarnvel::pid() const { return impl_->own_pid; }

bool Tarnvel::on_io_thread() noexcept { return current_io_node != nullptr; }

std::future<CallResult> Tarnvel::call(std::string node_name, uint32_t pid, std::string method, Bytes args,
                                      int64_t timeout_ms) {
    return impl_->call(std::move(node_name), pid, std::move(method), std::move(args), timeout_ms);
}

void Tarnvel::call(std::string node_name, uint32_t pid, std::string method, Bytes args, int64_t timeout_ms,
                   CallCompletion on_done) {
    impl_->call(std::move(node_name), pid, std::move(method), std::move(args), timeout_ms, std::move(on_done));
}

bool Tarnvel::register_method(boost::json::object descriptor, MethodHandler handler) {
    if (impl_->closed || impl_->inherited_by_fork()) throw Error(ErrorKind::closed, "Tarnvel is closed");
    return impl_->registry.register_method(std::move(descriptor), std::move(handler));
}

std::vector<NodeInfo> Tarnvel::list_nodes() const { return impl_->list_nodes(); }

}  // namespace tarnvel
