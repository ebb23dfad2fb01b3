#include "support/raw_book.hpp"

#include "names.hpp"

#include <cstring>
#include <mutex>
#include <stdexcept>

namespace tarnvel::test {

namespace {

// The layout written out here rather than taken from the library, so the
// tests hold the library to it.
constexpr size_t BOOK_SIZE = 32768;
constexpr size_t BOOK_SLOT_COUNT = 167;
constexpr size_t BOOK_SLOT_SIZE = 196;
constexpr size_t BOOK_PID_OFFSET = 0;
constexpr size_t BOOK_NODE_NAME_OFFSET = 4;
constexpr size_t BOOK_NODE_NAME_SIZE = 64;
constexpr size_t BOOK_MAILBOX_NAME_OFFSET = 68;
constexpr size_t BOOK_MAILBOX_NAME_SIZE = 128;

platform::PeerMailbox open_book(const std::string& system) {
    auto view = platform::PeerMailbox::open(book_name(system));
    if (!view) throw std::runtime_error("system " + system + " has no book");
    if (view->size() != 0 && view->size() < BOOK_SIZE) throw std::runtime_error("book of " + system + " too small");
    return std::move(*view);
}

std::string field_text(const uint8_t* field, size_t width) {
    size_t n = 0;
    while (n < width && field[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(field), n);
}

uint32_t read_pid(const uint8_t* slot) {
    const uint8_t* p = slot + BOOK_PID_OFFSET;
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

RawBook::RawBook(const std::string& system)
    : mutex_(platform::NamedMutex::create(book_mutex_name(system))), view_(open_book(system)) {}

Bytes RawBook::snapshot() {
    std::lock_guard lock(mutex_);
    return Bytes(view_.view(), view_.view() + BOOK_SIZE);
}

RawSlot RawBook::parse_slot(const Bytes& book, size_t index) {
    const uint8_t* slot = book.data() + index * BOOK_SLOT_SIZE;
    RawSlot s;
    s.index = index;
    s.pid = read_pid(slot);
    s.node_name = field_text(slot + BOOK_NODE_NAME_OFFSET, BOOK_NODE_NAME_SIZE);
    s.mailbox_name = field_text(slot + BOOK_MAILBOX_NAME_OFFSET, BOOK_MAILBOX_NAME_SIZE);
    return s;
}

std::vector<RawSlot> RawBook::slots() {
    Bytes book = snapshot();
    std::vector<RawSlot> out;
    for (size_t i = 0; i < BOOK_SLOT_COUNT; ++i) {
        RawSlot s = parse_slot(book, i);
        if (s.pid != 0) out.push_back(std::move(s));
    }
    return out;
}

void RawBook::purge(uint32_t pid) {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < BOOK_SLOT_COUNT; ++i) {
        uint8_t* slot = view_.view() + i * BOOK_SLOT_SIZE;
        if (read_pid(slot) == pid) std::memset(slot, 0, BOOK_SLOT_SIZE);
    }
}

void RawBook::write_slot(size_t index, uint32_t pid, std::string_view node_name, std::string_view mailbox_name) {
    if (index >= BOOK_SLOT_COUNT || node_name.size() >= BOOK_NODE_NAME_SIZE ||
        mailbox_name.size() >= BOOK_MAILBOX_NAME_SIZE)
        throw std::invalid_argument("slot does not fit");
    std::lock_guard lock(mutex_);
    uint8_t* slot = view_.view() + index * BOOK_SLOT_SIZE;
    std::memset(slot, 0, BOOK_SLOT_SIZE);
    for (int i = 0; i < 4; ++i) slot[BOOK_PID_OFFSET + i] = static_cast<uint8_t>(pid >> (8 * i));
    std::memcpy(slot + BOOK_NODE_NAME_OFFSET, node_name.data(), node_name.size());
    std::memcpy(slot + BOOK_MAILBOX_NAME_OFFSET, mailbox_name.data(), mailbox_name.size());
}

}  // namespace tarnvel::test
