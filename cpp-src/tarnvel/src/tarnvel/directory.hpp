// The directory: the system's book as this node sees it. It keeps the node's
// own slot written and answers where other nodes are; every lookup of the
// node goes through it.
#pragma once

#include "book.hpp"
#include "platform/platform.hpp"
#include "tarnvel/tarnvel.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnvel {

class Directory {
public:
    // Opens the system's book and its mutex, making them if need be, for the
    // node of process `pid`, whose slot enter() writes. `stopping` ends the
    // refresh.
    Directory(boost::asio::io_context& io, const std::atomic<bool>& stopping, uint32_t pid,
              const std::string& book_object, const std::string& book_mutex_object);
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    // Writes this node's slot, and keeps it written from start_refresh() on;
    // false when the book is full.
    bool enter(std::string node_name, std::string mailbox_name);
    // io thread: rewrites the slot every refresh period.
    void start_refresh();
    // Once the io thread has ended.
    void stop_refresh() noexcept;
    // Clears the slots of the node's process.
    void leave();

    // The mailbox name of the node (node_name, pid), if the book has it.
    std::optional<std::string> lookup(std::string_view node_name, uint32_t pid);
    // The first slot with this pid: where an answer to that process goes.
    std::optional<BookEntry> entry_of(uint32_t pid);
    // A peer found gone: every slot of its process.
    void purge(uint32_t pid);
    std::vector<NodeInfo> list();

    // In a fork child: drops the handles without releasing what they name.
    void abandon() noexcept;

private:
    Book book();
    void schedule_refresh();

    const std::atomic<bool>& stopping_;
    std::optional<platform::NamedMutex> mutex_;
    std::optional<platform::SharedMapping> mapping_;
    boost::asio::steady_timer refresh_timer_;
    uint32_t pid_;
    std::string node_name_;
    std::string mailbox_name_;
};

}  // namespace tarnvel
