// Validation of the caller's values and the names of a node's shared objects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnvel {

inline constexpr std::string_view BOOK_NAME_SUFFIX = "_tarnvel_v_0_0_1";
inline constexpr std::string_view BOOK_MUTEX_NAME_SUFFIX = "_tarnvelmtx_v_0_0_1";
inline constexpr std::string_view EVENT_NAME_SUFFIX = "_e";

// Each throws std::runtime_error with the fixed message of its rule.
void validate_node_name(std::string_view node_name);      // "invalid node name"
void validate_system_name(std::string_view system_name);  // "invalid system name"
void validate_recv_shm_bytes(uint64_t recv_shm_bytes);    // "recv shm too small" / "recv shm too large"

std::string book_name(std::string_view system_name);
std::string book_mutex_name(std::string_view system_name);
// Both throw "system name too long" when a name would not fit a kernel object name.
void check_book_names(const std::string& book, const std::string& book_mutex);

// Throws "invalid recv shm name" for a name with a NUL byte, "recv shm name
// too long" when the result would not fit a book slot.
std::string mailbox_name(std::string_view recv_shm_name, uint32_t pid);
std::string mailbox_event_name(std::string_view mailbox_name);

}  // namespace tarnvel
