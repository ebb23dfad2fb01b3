#include "book.hpp"

#include "byte_order.hpp"
#include "platform/platform.hpp"
#include "settings.hpp"

#include <algorithm>
#include <cstring>

namespace tarnvel {

namespace {

uint8_t* slot_at(uint8_t* view, size_t index) { return view + index * BOOK_SLOT_SIZE; }

uint32_t read_pid(const uint8_t* slot) { return load_le32(slot + BOOK_PID_OFFSET); }

void write_pid(uint8_t* slot, uint32_t pid) { store_le32(slot + BOOK_PID_OFFSET, pid); }

// The text of a field ends at its first NUL, or at the field's end if a
// damaged slot has none.
std::string_view read_text(const uint8_t* field, size_t width) {
    const auto* chars = reinterpret_cast<const char*>(field);
    return {chars, static_cast<size_t>(std::find(chars, chars + width, '\0') - chars)};
}

void write_text(uint8_t* field, size_t width, std::string_view text) {
    std::memset(field, 0, width);
    std::memcpy(field, text.data(), std::min(text.size(), width - 1));
}

BookEntry entry_at(const uint8_t* slot) {
    return BookEntry{std::string(read_text(slot + BOOK_NODE_NAME_OFFSET, BOOK_NODE_NAME_SIZE)),
                     std::string(read_text(slot + BOOK_MAILBOX_NAME_OFFSET, BOOK_MAILBOX_NAME_SIZE))};
}

// Holds the book mutex, taken within the bound or not at all.
class BookLock {
public:
    BookLock(platform::NamedMutex& mutex, std::optional<std::chrono::milliseconds> wait) : mutex_(mutex) {
        if (!mutex_.try_lock_for(wait.value_or(settings::timing().exclusive_wait_limit))) throw BookBusy();
    }
    ~BookLock() { mutex_.unlock(); }
    BookLock(const BookLock&) = delete;
    BookLock& operator=(const BookLock&) = delete;

private:
    platform::NamedMutex& mutex_;
};

}  // namespace

bool Book::register_node(uint32_t pid, std::string_view node_name, std::string_view mailbox_name) {
    const BookLock lock(mutex_, wait_);
    uint8_t* chosen = nullptr;
    uint8_t* first_empty = nullptr;
    for (size_t i = 0; i < BOOK_SLOT_COUNT; ++i) {
        uint8_t* slot = slot_at(view_, i);
        const uint32_t slot_pid = read_pid(slot);
        // A process keeps one slot: its own wins over an earlier empty one.
        if (slot_pid == pid) {
            chosen = slot;
            break;
        }
        if (slot_pid == 0 && first_empty == nullptr) first_empty = slot;
    }
    if (first_empty == nullptr && chosen == nullptr) {
        // Processes killed without closing leave slots nobody else clears.
        for (size_t i = 0; i < BOOK_SLOT_COUNT; ++i) {
            uint8_t* slot = slot_at(view_, i);
            if (!platform::process_exists(read_pid(slot))) {
                std::memset(slot, 0, BOOK_SLOT_SIZE);
                if (first_empty == nullptr) first_empty = slot;
            }
        }
    }
    if (chosen == nullptr) {
        if (first_empty == nullptr) return false;
        chosen = first_empty;
        write_pid(chosen, pid);
    }
    write_text(chosen + BOOK_NODE_NAME_OFFSET, BOOK_NODE_NAME_SIZE, node_name);
    write_text(chosen + BOOK_MAILBOX_NAME_OFFSET, BOOK_MAILBOX_NAME_SIZE, mailbox_name);
    return true;
}

std::optional<std::string> Book::lookup(std::string_view node_name, uint32_t pid) {
    const BookLock lock(mutex_, wait_);
    for (size_t i = 0; i < BOOK_SLOT_COUNT; ++i) {
        const uint8_t* slot = slot_at(view_, i);
        if (read_pid(slot) == pid && read_text(slot + BOOK_NODE_NAME_OFFSET, BOOK_NODE_NAME_SIZE) == node_name) {
            return std::string(read_text(slot + BOOK_MAILBOX_NAME_OFFSET, BOOK_MAILBOX_NAME_SIZE));
        }
    }
    return std::nullopt;
}

std::optional<BookEntry> Book::entry_of(uint32_t pid) {
    const BookLock lock(mutex_, wait_);
    for (size_t i = 0; i < BOOK_SLOT_COUNT; ++i) {
        const uint8_t* slot = slot_at(view_, i);
        if (read_pid(slot) == pid) return entry_at(slot);
    }
    return std::nullopt;
}

void Book::purge_pid(uint32_t pid, std::optional<std::string_view> mailbox) {
    const BookLock lock(mutex_, wait_);
    if (mailbox) {
        for (size_t i = 0; i < BOOK_SLOT_COUNT; ++i) {
            const uint8_t* slot = slot_at(view_, i);
            if (read_pid(slot) != pid) continue;
            if (read_text(slot + BOOK_MAILBOX_NAME_OFFSET, BOOK_MAILBOX_NAME_SIZE) != *mailbox) return;
            break;
        }
    }
    for (size_t i = 0; i < BOOK_SLOT_COUNT; ++i) {
        uint8_t* slot = slot_at(view_, i);
        if (read_pid(slot) == pid) std::memset(slot, 0, BOOK_SLOT_SIZE);
    }
}

std::vector<NodeInfo> Book::list() {
    const BookLock lock(mutex_, wait_);
    return list_book(view_);
}

std::vector<NodeInfo> Book::list_living() {
    const BookLock lock(mutex_, wait_);
    for (size_t i = 0; i < BOOK_SLOT_COUNT; ++i) {
        uint8_t* slot = slot_at(view_, i);
        if (const uint32_t pid = read_pid(slot); pid != 0 && !platform::process_exists(pid)) {
            std::memset(slot, 0, BOOK_SLOT_SIZE);
        }
    }
    return list_book(view_);
}

std::vector<std::pair<uint32_t, BookEntry>> Book::entries() {
    std::vector<std::pair<uint32_t, BookEntry>> found;
    const BookLock lock(mutex_, wait_);
    for (size_t i = 0; i < BOOK_SLOT_COUNT; ++i) {
        const uint8_t* slot = slot_at(view_, i);
        if (const uint32_t pid = read_pid(slot); pid != 0) found.emplace_back(pid, entry_at(slot));
    }
    return found;
}

std::vector<NodeInfo> list_book(const uint8_t* view) {
    std::vector<NodeInfo> nodes;
    for (size_t i = 0; i < BOOK_SLOT_COUNT; ++i) {
        const uint8_t* slot = view + i * BOOK_SLOT_SIZE;
        const uint32_t pid = read_pid(slot);
        if (pid != 0) {
            nodes.push_back({std::string(read_text(slot + BOOK_NODE_NAME_OFFSET, BOOK_NODE_NAME_SIZE)), pid,
                             std::string(read_text(slot + BOOK_MAILBOX_NAME_OFFSET, BOOK_MAILBOX_NAME_SIZE))});
        }
    }
    return nodes;
}

}  // namespace tarnvel
