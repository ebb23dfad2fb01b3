// The book: the shared directory of one system's nodes, one 196-byte slot per
// process in a 32768-byte mapping guarded by the system's named mutex.
#pragma once

#include "tarnvel/tarnvel.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnvel {

namespace platform {
class NamedMutex;
}

inline constexpr size_t BOOK_SIZE = 32768;
inline constexpr size_t BOOK_SLOT_COUNT = 167;
inline constexpr size_t BOOK_SLOT_SIZE = 196;
inline constexpr size_t BOOK_PID_OFFSET = 0;
inline constexpr size_t BOOK_NODE_NAME_OFFSET = 4;
inline constexpr size_t BOOK_NODE_NAME_SIZE = 64;
inline constexpr size_t BOOK_MAILBOX_NAME_OFFSET = 68;
inline constexpr size_t BOOK_MAILBOX_NAME_SIZE = 128;
static_assert(BOOK_MAILBOX_NAME_OFFSET + BOOK_MAILBOX_NAME_SIZE == BOOK_SLOT_SIZE);
static_assert(BOOK_SLOT_COUNT * BOOK_SLOT_SIZE <= BOOK_SIZE);

// Where a node is found: its name and its mailbox's.
struct BookEntry {
    std::string node_name;
    std::string mailbox_name;
};

// Thrown by a Book operation whose wait for the book mutex reached its bound:
// a stopped or stuck holder must not stall this node.
class BookBusy : public std::runtime_error {
public:
    BookBusy() : std::runtime_error("book mutex held too long") {}
};

// The operations on a mapped book. Each takes the book mutex for its whole
// run, waiting for it no longer than its bound, and keeps no pointer into the
// book afterwards.
class Book {
public:
    // `wait` bounds each wait for the mutex; nothing means the exclusive
    // wait limit in force.
    Book(platform::NamedMutex& mutex, uint8_t* view, std::optional<std::chrono::milliseconds> wait = std::nullopt)
        : mutex_(mutex), view_(view), wait_(wait) {}

    // Writes the slot of `pid` (or the first empty one, clearing the slots of
    // processes that are gone when none is empty); false when full.
    bool register_node(uint32_t pid, std::string_view node_name, std::string_view mailbox_name);
    // The mailbox name of the slot with both this pid and this node name.
    std::optional<std::string> lookup(std::string_view node_name, uint32_t pid);
    // The first slot with this pid.
    std::optional<BookEntry> entry_of(uint32_t pid);
    // Clears every slot of `pid`; with `mailbox`, only if the process's slot
    // still names that mailbox (a node of that process that came since is
    // left alone).
    void purge_pid(uint32_t pid, std::optional<std::string_view> mailbox = std::nullopt);
    std::vector<NodeInfo> list();
    // The slots of live processes; those of processes that are gone are
    // cleared on the way.
    std::vector<NodeInfo> list_living();
    // Every occupied slot, keyed by pid: the first slot of each.
    std::vector<std::pair<uint32_t, BookEntry>> entries();

private:
    platform::NamedMutex& mutex_;
    uint8_t* view_;
    std::optional<std::chrono::milliseconds> wait_;
};

// The occupied slots of a book's bytes, with their mailbox names: for a
// caller that holds the book's mutex or reads a copy.
std::vector<NodeInfo> list_book(const uint8_t* view);

}  // namespace tarnvel
