#include "systems.hpp"

#include "book.hpp"
#include "names.hpp"

#include <algorithm>
#include <tuple>

namespace tarnvel {

namespace {

bool only_system_name_bytes(std::string_view text) noexcept {
    try {
        validate_system_name(text);
        return true;
    } catch (const Error&) {
        return false;
    }
}

}  // namespace

bool is_valid_node_name(std::string_view node_name) noexcept {
    try {
        validate_node_name(node_name);
        return true;
    } catch (const Error&) {
        return false;
    }
}

bool is_valid_system_name(std::string_view system_name) noexcept {
    try {
        validate_system_name(system_name);
        check_book_names(book_name(system_name), book_mutex_name(system_name));
        return true;
    } catch (...) {
        return false;
    }
}

uint32_t this_process_id() noexcept { return platform::current_process_id(); }

std::optional<SystemInfo> system_of_mapping(const platform::PresentObject& mapping) {
    if (mapping.cut) {
        if (!only_system_name_bytes(mapping.name)) return std::nullopt;
        return SystemInfo{{}, mapping.name, mapping.platform_name, mapping.location};
    }
    if (!mapping.name.ends_with(BOOK_NAME_SUFFIX)) return std::nullopt;
    const std::string_view system =
        std::string_view(mapping.name).substr(0, mapping.name.size() - BOOK_NAME_SUFFIX.size());
    if (!is_valid_system_name(system)) return std::nullopt;
    return SystemInfo{std::string(system), std::string(system), mapping.platform_name, mapping.location};
}

std::vector<SystemInfo> list_systems() {
    std::vector<SystemInfo> systems;
    for (const platform::PresentObject& mapping : platform::list_objects(platform::ObjectType::mapping)) {
        if (std::optional<SystemInfo> system = system_of_mapping(mapping)) systems.push_back(std::move(*system));
    }
    std::sort(systems.begin(), systems.end(), [](const SystemInfo& a, const SystemInfo& b) {
        return std::forward_as_tuple(a.prefix, a.name.empty(), a.object_name) <
               std::forward_as_tuple(b.prefix, b.name.empty(), b.object_name);
    });
    return systems;
}

namespace {

std::optional<std::vector<uint8_t>> read_book(std::string_view system_name) {
    if (!is_valid_system_name(system_name)) {
        // The constructor's own refusal, with its message.
        validate_system_name(system_name);
        check_book_names(book_name(system_name), book_mutex_name(system_name));
    }
    return platform::read_mapping(book_name(system_name), BOOK_SIZE);
}

}  // namespace

bool system_exists(std::string_view system_name) { return read_book(system_name).has_value(); }

std::optional<std::vector<NodeInfo>> system_nodes(std::string_view system_name) {
    const std::optional<std::vector<uint8_t>> book = read_book(system_name);
    if (!book) return std::nullopt;
    std::vector<NodeInfo> nodes = list_book(book->data());
    // A crashed node stays in the book until a node clears it; it is gone.
    std::erase_if(nodes, [](const NodeInfo& node) { return !platform::process_exists(node.pid); });
    return nodes;
}

}  // namespace tarnvel
