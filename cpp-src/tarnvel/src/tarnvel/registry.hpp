// The node's registered methods: name -> (JSON descriptor, handler).
#pragma once

#include "tarnvel/tarnvel.hpp"

#include <boost/json/object.hpp>

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tarnvel {

struct MethodEntry {
    boost::json::object descriptor;
    DeferredHandler handler;
    // The built-ins are answered on the io thread, wherever handlers run.
    bool builtin = false;
};

// A handler that answers with what `handler` returns, before it returns.
DeferredHandler answering_at_once(MethodHandler handler);

class MethodRegistry {
public:
    // Applies the name rules (a non-empty string "name", not starting with
    // "sys.", not yet registered); false on refusal, never throws for them.
    bool register_method(boost::json::object descriptor, DeferredHandler handler);
    bool register_method(boost::json::object descriptor, MethodHandler handler);

    // For the built-ins, before any other thread can see the node: no name
    // rules, insert or replace. Throws if "name" is missing or not a string.
    void add_builtin(boost::json::object descriptor, MethodHandler handler);

    struct Found {
        DeferredHandler handler;
        bool builtin = false;
    };
    // A copy of the handler registered under `name`. On a miss, `on_missing`
    // runs before the registry lock is released.
    std::optional<Found> find_handler(const std::string& name, const std::function<void()>& on_missing);

    // Copies of all descriptors in name order (bytewise).
    std::vector<boost::json::object> list_descriptors() const;

private:
    mutable std::mutex methods_mutex_;
    std::map<std::string, MethodEntry> methods_;
};

}  // namespace tarnvel
