#include "registry.hpp"

#include <boost/json/value_to.hpp>

#include <string_view>
#include <utility>

namespace tarnvel {

namespace {

constexpr std::string_view RESERVED_PREFIX = "sys.";

}  // namespace

DeferredHandler answering_at_once(MethodHandler handler) {
    return [handler = std::move(handler)](Bytes args, Reply reply) { reply.complete(handler(std::move(args))); };
}

bool MethodRegistry::register_method(boost::json::object descriptor, MethodHandler handler) {
    return register_method(std::move(descriptor), answering_at_once(std::move(handler)));
}

bool MethodRegistry::register_method(boost::json::object descriptor, DeferredHandler handler) {
    return add(std::move(descriptor), MethodEntry{{}, std::move(handler), {}, false});
}

bool MethodRegistry::register_method(boost::json::object descriptor, InPlaceHandler handler) {
    DeferredHandler copied = [handler](Bytes args, Reply reply) { handler(BytesView(args), std::move(reply)); };
    if (!add(std::move(descriptor), MethodEntry{{}, std::move(copied), std::move(handler), true})) return false;
    in_place_always_.store(true, std::memory_order_relaxed);
    return true;
}

bool MethodRegistry::register_method(boost::json::object descriptor, DeferredHandler handler, InPlaceHandler in_place) {
    if (!add(std::move(descriptor), MethodEntry{{}, std::move(handler), std::move(in_place), false})) return false;
    in_place_without_workers_.store(true, std::memory_order_relaxed);
    return true;
}

bool MethodRegistry::add(boost::json::object descriptor, MethodEntry entry) {
    const auto* name_value = descriptor.if_contains("name");
    if (name_value == nullptr || !name_value->is_string()) return false;
    std::string name(name_value->get_string());
    if (name.empty() || name.starts_with(RESERVED_PREFIX)) return false;

    entry.descriptor = std::move(descriptor);
    std::lock_guard lock(methods_mutex_);
    // An existing entry is never replaced: its descriptor and handler stay.
    return methods_.try_emplace(std::move(name), std::move(entry)).second;
}

void MethodRegistry::add_builtin(boost::json::object descriptor, MethodHandler handler) {
    auto name = boost::json::value_to<std::string>(descriptor.at("name"));
    methods_.insert_or_assign(std::move(name),
                              MethodEntry{std::move(descriptor), answering_at_once(std::move(handler)), {}, true});
}

std::optional<MethodRegistry::Found> MethodRegistry::find_handler(const std::string& name,
                                                                  const std::function<void()>& on_missing) {
    std::lock_guard lock(methods_mutex_);
    const auto it = methods_.find(name);
    if (it == methods_.end()) {
        on_missing();
        return std::nullopt;
    }
    return Found{it->second.handler, it->second.on_io_thread};
}

std::optional<MethodRegistry::FoundInPlace> MethodRegistry::find_in_place(const std::string& name) const {
    std::lock_guard lock(methods_mutex_);
    const auto it = methods_.find(name);
    if (it == methods_.end() || !it->second.in_place) return std::nullopt;
    return FoundInPlace{it->second.in_place, it->second.on_io_thread};
}

std::vector<boost::json::object> MethodRegistry::list_descriptors() const {
    std::vector<boost::json::object> descriptors;
    std::lock_guard lock(methods_mutex_);
    descriptors.reserve(methods_.size());
    for (const auto& [name, entry] : methods_) descriptors.push_back(entry.descriptor);
    return descriptors;
}

}  // namespace tarnvel
