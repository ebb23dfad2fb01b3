// The methods every node answers without registration.
#pragma once

#include "registry.hpp"
#include "tarnvel/tarnvel.hpp"

#include <functional>
#include <vector>

namespace tarnvel {

inline constexpr const char* LIST_METHODS = "sys.list_methods";
inline constexpr const char* LIST_NODES = "sys.list_nodes";

// Enters both into `registry`, whose methods the first lists; the second
// lists what `list_nodes` returns.
void add_builtins(MethodRegistry& registry, std::function<std::vector<NodeInfo>()> list_nodes);

}  // namespace tarnvel
