#include "names.hpp"

#include "tarnvel/tarnvel.hpp"

#include <stdexcept>

namespace tarnvel {

namespace {

// Kernel object names are limited to 260 bytes with their terminator.
constexpr size_t MAX_OBJECT_NAME_BYTES = 259;
// The public limit on system names is the one the mutex's name sets.
static_assert(MAX_SYSTEM_NAME_BYTES + BOOK_MUTEX_NAME_SUFFIX.size() == MAX_OBJECT_NAME_BYTES);

bool is_system_name_byte(unsigned char c) {
    const unsigned char upper = c & static_cast<unsigned char>(~0x20u);
    return c == '_' || (c >= '0' && c <= '9') || (upper >= 'A' && upper <= 'Z');
}

}  // namespace

void validate_node_name(std::string_view node_name) {
    // A NUL would cut the name in the book, where it is NUL-terminated.
    if (node_name.empty() || node_name.size() > MAX_NODE_NAME_BYTES || node_name.find('\0') != std::string_view::npos) {
        throw Error(ErrorKind::invalid_argument, "invalid node name");
    }
}

void validate_system_name(std::string_view system_name) {
    if (system_name.empty()) throw Error(ErrorKind::invalid_argument, "invalid system name");
    for (const char c : system_name) {
        if (!is_system_name_byte(static_cast<unsigned char>(c)))
            throw Error(ErrorKind::invalid_argument, "invalid system name");
    }
}

void validate_recv_shm_bytes(uint64_t recv_shm_bytes) {
    if (recv_shm_bytes < MIN_RECV_SHM_BYTES) throw Error(ErrorKind::invalid_argument, "recv shm too small");
    if (recv_shm_bytes > MAX_RECV_SHM_BYTES) throw Error(ErrorKind::invalid_argument, "recv shm too large");
}

std::string book_name(std::string_view system_name) {
    std::string name(system_name);
    name += BOOK_NAME_SUFFIX;
    return name;
}

std::string book_mutex_name(std::string_view system_name) {
    std::string name(system_name);
    name += BOOK_MUTEX_NAME_SUFFIX;
    return name;
}

void check_book_names(const std::string& book, const std::string& book_mutex) {
    if (book.find('\0') != std::string::npos || book_mutex.find('\0') != std::string::npos ||
        book.size() > MAX_OBJECT_NAME_BYTES || book_mutex.size() > MAX_OBJECT_NAME_BYTES) {
        throw Error(ErrorKind::invalid_argument, "system name too long");
    }
}

std::string mailbox_name(std::string_view recv_shm_name, uint32_t pid) {
    // Cut at a NUL, the name in the book would not be the object's: senders
    // would find no mailbox and purge a live node.
    if (recv_shm_name.find('\0') != std::string_view::npos) {
        throw Error(ErrorKind::invalid_argument, "invalid recv shm name");
    }
    std::string name(recv_shm_name);
    name += '_';
    name += std::to_string(pid);
    if (name.size() > MAX_MAILBOX_NAME_BYTES) throw Error(ErrorKind::invalid_argument, "recv shm name too long");
    return name;
}

std::string mailbox_event_name(std::string_view mailbox_name) {
    std::string name(mailbox_name);
    name += EVENT_NAME_SUFFIX;
    return name;
}

}  // namespace tarnvel
