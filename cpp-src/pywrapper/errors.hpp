// The exception classes through which the node library's refusals reach
// Python, one per tarnvel::ErrorKind under tarnvel_core.Error, itself a
// RuntimeError: code that catches RuntimeError keeps working, and code that
// needs to know why catches the class instead of reading the message.
#pragma once

#include <pybind11/pybind11.h>

namespace tarnvel::binding {

namespace py = pybind11;

// Adds the classes to the module and translates tarnvel::Error by its kind.
void define_errors(py::module_& m);

}  // namespace tarnvel::binding
