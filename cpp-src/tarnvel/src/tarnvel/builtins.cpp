// "sys.list_methods" and "sys.list_nodes": answered by every node, as the
// packed string of a JSON text.
#include "builtins.hpp"

#include "impl.hpp"
#include "packed_string.hpp"

#include <boost/json/array.hpp>
#include <boost/json/serialize.hpp>

#include <utility>

namespace tarnvel {

namespace {

boost::json::object builtin_descriptor(const char* name) {
    boost::json::object descriptor;
    descriptor["type"] = "method";
    descriptor["name"] = name;
    descriptor["params"] = boost::json::array();
    descriptor["return"] = boost::json::array{boost::json::object{{"type", "char*"}}};
    return descriptor;
}

Bytes pack_json(const boost::json::array& array) { return pack_cstring(boost::json::serialize(array)); }

}  // namespace

void Tarnvel::Impl::add_builtin(boost::json::object descriptor, MethodHandler handler) {
    registry.add_builtin(std::move(descriptor), std::move(handler));
}

void Tarnvel::Impl::add_builtins() {
    // The handlers ignore their arguments.
    add_builtin(builtin_descriptor(LIST_METHODS), [this](Bytes) {
        boost::json::array methods;
        for (auto& descriptor : registry.list_descriptors()) methods.emplace_back(std::move(descriptor));
        return pack_json(methods);
    });
    add_builtin(builtin_descriptor(LIST_NODES), [this](Bytes) {
        boost::json::array nodes;
        for (const NodeInfo& node : list_nodes()) {
            nodes.emplace_back(boost::json::object{{"node_name", node.node_name}, {"pid", node.pid}});
        }
        return pack_json(nodes);
    });
}

}  // namespace tarnvel
