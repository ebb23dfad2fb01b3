// The methods every node answers without registration.
#pragma once

namespace tarnvel {

inline constexpr const char* LIST_METHODS = "sys.list_methods";
inline constexpr const char* LIST_NODES = "sys.list_nodes";

}  // namespace tarnvel
