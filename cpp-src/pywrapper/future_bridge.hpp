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
py::object call_raw(PyTarnvel& self, std::string node_name, uint32_t pid, std::string method, const py::bytes& args,
                    int64_t timeout_ms);

// The class behind the signal a call's Future waits on (see resolvers.hpp).
void define_future_signal(py::module_& m);

// The content of a bytes object, in place: valid while the object is held.
std::span<const uint8_t> bytes_view(const py::bytes& bytes);

// The Python class CallResult. The answer is kept as the bytes object that
// Python reads, made once from the received answer: reading `result` copies
// nothing, and the answer's storage is let go where it was received.
struct PyCallResult {
    uint8_t status = STATUS_OK;
    py::bytes result;
    uint64_t unfit_answer_bytes = 0;
};

// A bytes object with the content of `bytes` (itself when it is exactly bytes).
py::bytes exact_bytes(const py::bytes& bytes);

// The Python CallResult of an outcome; frees the outcome's answer. With the
// interpreter lock held.
py::object call_result_object(CallResult&& outcome);

}  // namespace tarnvel::binding
