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

// The Python CallResult of an outcome; frees the outcome's answer, and lets
// go of `result_bytes`, only once it is made (should that fail, both are left
// whole). `result_bytes`, when set, is the result's bytes object already
// (exactly bytes), made where the answer was read into it. With the
// interpreter lock held.
py::object call_result_object(CallResult&& outcome, std::shared_ptr<py::object>& result_bytes);

}  // namespace tarnvel::binding
