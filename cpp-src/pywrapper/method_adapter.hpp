// Tarnvel.register: a Python dict and callable turned into a method descriptor
// and handler.
#pragma once

#include "node_handle.hpp"

#include <pybind11/pybind11.h>
#include <boost/json/object.hpp>

#include <optional>

namespace tarnvel::binding {

namespace py = pybind11;

// The dict as the json module writes it, parsed back; nothing when the text is
// not a JSON object within the parser's limits. Python errors propagate.
std::optional<boost::json::object> descriptor_from_dict(const py::dict& descriptor);

// A handler that calls `callable` with the argument bytes where the node runs
// its methods and answers with the bytes it returns, in its two forms: the
// in-place one for a node without workers. Its copies share one reference to
// the callable, which may be released on any thread.
struct PythonHandlers {
    DeferredHandler deferred;
    InPlaceHandler in_place;
};
PythonHandlers make_python_handler(py::function callable);

bool register_method(PyTarnvel& self, const py::dict& descriptor, py::function handler);

// The same for a handler called with the argument bytes and a Reply, which it
// answers before it returns or keeps to answer later from any thread.
bool register_deferred(PyTarnvel& self, const py::dict& descriptor, py::function handler);

// The Python class Reply.
void define_reply(py::module_& m);

}  // namespace tarnvel::binding
