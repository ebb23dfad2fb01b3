// The state of one node and the operations of its parts. Each group of member
// functions is defined in the file named after its concern.
#pragma once

#include "book.hpp"
#include "delivery.hpp"
#include "pending_calls.hpp"
#include "platform/platform.hpp"
#include "registry.hpp"
#include "mailbox_reader.hpp"
#include "tarnvel/tarnvel.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>

namespace tarnvel {

struct Tarnvel::Impl {
    // Construction runs top to bottom and destruction bottom to top; the
    // kernel objects outlive the io thread and everything it runs.
    std::string node_name;
    std::string mailbox_name;
    uint32_t own_pid = 0;
    std::optional<platform::NamedMutex> book_mutex;
    std::optional<platform::SharedMapping> book;
    std::optional<platform::SharedMapping> mailbox;
    boost::asio::io_context io;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work;
    std::unique_ptr<platform::MailboxEvent> mailbox_event;
    std::unique_ptr<boost::asio::steady_timer> refresh_timer;
    std::jthread io_thread;
    std::atomic<bool> stopping{false};
    MethodRegistry registry;
    PendingCalls calls{io};
    std::optional<Delivery> delivery;  // engaged once the book exists
    std::atomic<bool> closed{false};

    // Public operations that use the book or the io context hold this shared
    // while close holds it exclusively to set the flags, so none of them can
    // slip past the closed test and then meet released objects.
    std::shared_mutex lifecycle_mutex;
    std::mutex close_mutex;
    bool close_finished = false;  // guarded by close_mutex
    // Finishes a close that was started by one of the node's own handlers.
    std::thread closer;
    bool holds_mailbox_name = false;
    std::optional<MailboxReader> reader;  // io thread only, once the mailbox exists

    Impl();
    ~Impl();

    // node.cpp
    void construct(std::string node_name_arg, const std::string& system_name, const std::string& recv_shm_name,
                   uint64_t recv_shm_bytes);
    void close();
    bool begin_close();
    void finish_close();
    bool on_io_thread() const;
    // For operations that use the book or the io context: throws "Tarnvel is
    // closed", else holds close off until the returned lock is released.
    std::shared_lock<std::shared_mutex> enter_operation();
    bool inherited_by_fork() const;
    void abandon_after_fork() noexcept;

    // book operations bound to this node (book.cpp holds the layout)
    Book book_ops();
    bool book_register();
    std::optional<std::string> book_lookup(std::string_view name, uint32_t pid);
    void book_purge_pid(uint32_t pid);
    std::vector<NodeInfo> list_nodes();
    void schedule_book_refresh();

    // builtins.cpp
    void add_builtin(boost::json::object descriptor, MethodHandler handler);
    void add_builtins();

    // calls.cpp
    void call(std::string target_name, uint32_t pid, std::string method, Bytes args, int64_t timeout_ms,
              CallCompletion done);
    std::future<CallResult> call(std::string target_name, uint32_t pid, std::string method, Bytes args,
                                 int64_t timeout_ms);

    // receiving.cpp
    void arm_wait();
    void dispatch_frame(const Bytes& bytes);
    void send_reply(uint32_t caller_pid, uint16_t seq, uint8_t status, const Bytes& result);
};

}  // namespace tarnvel
