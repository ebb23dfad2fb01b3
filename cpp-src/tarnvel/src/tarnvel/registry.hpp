// The node's registered methods: name -> (JSON descriptor, handler).
#pragma once

#include "tarnvel/tarnvel.hpp"

#include <boost/json/object.hpp>

#include <atomic>
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
    // Set for a method that reads its argument in place (on a node without
    // workers only, unless on_io_thread); `handler` takes a request that had
    // to be copied out after all.
    InPlaceHandler in_place;
    // The built-ins and the in-place-only methods run on the io thread,
    // wherever other handlers run.
    bool on_io_thread = false;
};

// A handler that answers with what `handler` returns, before it returns.
DeferredHandler answering_at_once(MethodHandler handler);

class MethodRegistry {
public:
    // Applies the name rules (a non-empty string "name", not starting with
    // "sys.", not yet registered); false on refusal, never throws for them.
    bool register_method(boost::json::object descriptor, DeferredHandler handler);
    bool register_method(boost::json::object descriptor, MethodHandler handler);
    bool register_method(boost::json::object descriptor, InPlaceHandler handler);
    bool register_method(boost::json::object descriptor, DeferredHandler handler, InPlaceHandler in_place);

    // For the built-ins, before any other thread can see the node: no name
    // rules, insert or replace. Throws if "name" is missing or not a string.
    void add_builtin(boost::json::object descriptor, MethodHandler handler);

    struct Found {
        DeferredHandler handler;
        bool on_io_thread = false;
    };
    // A copy of the handler registered under `name`. On a miss, `on_missing`
    // runs before the registry lock is released.
    std::optional<Found> find_handler(const std::string& name, const std::function<void()>& on_missing);

    // Whether any method may read its argument in place on a node with or
    // without workers: until one may, no request is looked at for it.
    bool has_in_place(bool with_workers) const noexcept {
        return in_place_always_.load(std::memory_order_relaxed) ||
               (!with_workers && in_place_without_workers_.load(std::memory_order_relaxed));
    }
    struct FoundInPlace {
        InPlaceHandler handler;
        bool on_io_thread = false;  // else in place only on a node without workers
    };
    // A copy of the in-place form registered under `name`, if it has one.
    std::optional<FoundInPlace> find_in_place(const std::string& name) const;

    // Copies of all descriptors in name order (bytewise).
    std::vector<boost::json::object> list_descriptors() const;

private:
    bool add(boost::json::object descriptor, MethodEntry entry);

    std::atomic<bool> in_place_always_{false};
    std::atomic<bool> in_place_without_workers_{false};
    mutable std::mutex methods_mutex_;
    std::map<std::string, MethodEntry> methods_;
};

}  // namespace tarnvel
