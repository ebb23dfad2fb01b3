// Tarnvel.call_raw: a library call turned into a concurrent.futures.Future.
#pragma once

#include "node_handle.hpp"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnvel::binding {

namespace py = pybind11;

// Starts the call and returns a running Future that a resolver thread
// resolves with the call's CallResult.
py::object call_raw(PyTarnvel& self, std::string node_name, uint32_t pid, std::string method, const py::bytes& args,
                    int64_t timeout_ms);

// The class behind the signal a call's Future waits on (see resolvers.hpp).
void define_future_signal(py::module_& m);

// A copy of the content of a bytes object.
Bytes bytes_to_vector(const py::bytes& bytes);

// The content of a bytes object, taken with the interpreter lock. Bytes are
// immutable, so while a reference to the object is held elsewhere the view
// may be copied without the lock, and a large copy need not stall the
// process's other threads.
struct BytesView {
    const uint8_t* data;
    size_t size;
    Bytes copy() const { return Bytes(data, data + size); }
};
BytesView bytes_view(const py::bytes& bytes);

}  // namespace tarnvel::binding
