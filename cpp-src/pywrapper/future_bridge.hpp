// Tarnvel.call_raw: a library call turned into a concurrent.futures.Future.
#pragma once

#include "node_handle.hpp"

#include <pybind11/pybind11.h>

#include <cstdint>
#include <span>
#include <string>

namespace tarnvel::binding {

namespace py = pybind11;

// Starts the call and returns a running Future that a resolver thread
// resolves with the call's CallResult.
py::object call_raw(py::handle node, std::string node_name, uint32_t pid, std::string method, const py::bytes& args,
                    int64_t timeout_ms);

// The class behind the signal a call's Future waits on (see resolvers.hpp).
void define_future_signal(py::module_& m);

// The content of a bytes object, in place: valid while the object is held.
std::span<const uint8_t> bytes_view(const py::bytes& bytes);

}  // namespace tarnvel::binding
