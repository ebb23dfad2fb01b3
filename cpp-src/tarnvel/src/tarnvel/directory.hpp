// The directory: the system's book as this node sees it. It keeps the node's
// own slot written and answers where other nodes are; every lookup of the
// node goes through it. What a lookup learnt is kept, so that calls to known
// peers and answers to known callers never wait for the book mutex: a peer
// is looked up afresh only after it was found gone (purge()). Every wait for
// the book mutex is bounded; a stopped holder costs a lookup of an unseen
// node its bound, never a call between nodes that know each other.
#pragma once

#include "book.hpp"
#include "platform/platform.hpp"
#include "tarnvel/tarnvel.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
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
    // false when the book is full. Throws Error "book mutex held too long"
    // (os_failure) when the book's mutex stays held beyond its bound.
    bool enter(std::string node_name, std::string mailbox_name);
    // io thread: rewrites the slot every refresh period (skipped, and tried
    // again at the next, while the book mutex stays held), and renews what
    // is known of the others.
    void start_refresh();
    // Once the io thread has ended.
    void stop_refresh() noexcept;
    // Clears the slots of the node's process; left to the others to purge
    // when the book mutex stays held.
    void leave() noexcept;

    // The mailbox name of the node (node_name, pid), if known or in the
    // book. Throws BookBusy when the book had to be read and its mutex
    // stayed held: that says nothing about the peer.
    std::optional<std::string> lookup(std::string_view node_name, uint32_t pid);
    // The slot of this pid: where an answer to that process goes. Throws
    // BookBusy as lookup() does.
    std::optional<BookEntry> entry_of(uint32_t pid);
    // A peer found gone: forgets it and clears every slot of its process
    // (which the others do in turn when the book mutex stays held).
    void purge(uint32_t pid) noexcept;
    // The nodes of live processes (the slots of those gone are cleared).
    // Throws Error "book mutex held too long" as enter() does.
    std::vector<NodeInfo> list();

    // In a fork child: drops the handles without releasing what they name.
    void abandon() noexcept;

    // Runs on the reading thread before the book is read, which may wait on
    // its mutex: there the thread gives up what others would wait for
    // meanwhile. Set once, before any lookup.
    void before_book_reads(std::function<void()> hook) { before_book_ = std::move(hook); }

private:
    Book book(std::optional<std::chrono::milliseconds> wait = std::nullopt);
    void schedule_refresh();
    std::optional<BookEntry> known(uint32_t pid) const;
    void learn(uint32_t pid, const BookEntry& entry);

    const std::atomic<bool>& stopping_;
    std::optional<platform::NamedMutex> mutex_;
    std::optional<platform::SharedMapping> mapping_;
    boost::asio::steady_timer refresh_timer_;
    uint32_t pid_;
    std::string node_name_;
    std::string mailbox_name_;
    // What the book said of each process when last read; lookups come from
    // any thread.
    mutable std::mutex known_mutex_;
    std::map<uint32_t, BookEntry> known_;
    std::function<void()> before_book_;
};

}  // namespace tarnvel
