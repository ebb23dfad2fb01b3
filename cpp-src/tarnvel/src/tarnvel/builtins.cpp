// "sys.list_methods" and "sys.list_nodes": answered by every node, as the
// packed string of a JSON text.
#include "builtins.hpp"

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

void add_builtins(MethodRegistry& registry, std::function<std::vector<NodeInfo>()> list_nodes) {
    // The handlers ignore their arguments.
    registry.add_builtin(builtin_descriptor(LIST_METHODS), [&registry](Bytes) {
        boost::json::array methods;
        for (auto& descriptor : registry.list_descriptors()) methods.emplace_back(std::move(descriptor));
        return pack_json(methods);
    });
    registry.add_builtin(builtin_descriptor(LIST_NODES), [list_nodes = std::move(list_nodes)](Bytes) {
        boost::json::array nodes;
        for (const NodeInfo& node : list_nodes()) {
            nodes.emplace_back(boost::json::object{{"node_name", node.node_name}, {"pid", node.pid}});
        }
        return pack_json(nodes);
    });
}

}  // namespace tarnvel
