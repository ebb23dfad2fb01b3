// The Python class CallResult: a call's outcome as Python reads it. A plain
// CPython type rather than a bound C++ one: one is made for every call, and
// its fields are read as often, so it is made and read without the binding
// layer's instance bookkeeping.
#pragma once

#include <tarnvel/tarnvel.hpp>

#include <pybind11/pybind11.h>

#include <memory>

namespace tarnvel::binding {

namespace py = pybind11;

// Adds the class to the module.
void define_call_result(py::module_& m);

// The Python CallResult of an outcome; frees the outcome's answer once it is
// made (should that fail, the outcome is left whole). With the interpreter
// lock held.
// With the interpreter lock. `result_bytes`, when set, is the result's bytes
// object already (exactly bytes), made where the answer was read into it.
// Both are let go of only once the CallResult is made.
py::object call_result_object(CallResult&& outcome, std::shared_ptr<py::object>& result_bytes);

}  // namespace tarnvel::binding
