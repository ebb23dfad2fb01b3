#include "errors.hpp"

#include <tarnvel/tarnvel.hpp>

#include <array>
#include <cstddef>
#include <exception>
#include <string>

namespace tarnvel::binding {

namespace {

struct ErrorClass {
    ErrorKind kind;
    const char* name;
    const char* doc;
};

constexpr std::array<ErrorClass, 5> ERROR_CLASSES{{
    {ErrorKind::closed, "ClosedError", "The node is closed (or was inherited through fork)."},
    {ErrorKind::invalid_argument, "InvalidArgumentError", "A name or size the node cannot take."},
    {ErrorKind::directory_full, "DirectoryFullError", "The system's book has no free slot."},
    {ErrorKind::os_failure, "OSFailureError", "A shared object could not be made, opened or mapped."},
    {ErrorKind::already_joined, "AlreadyJoinedError", "This process has a node in that system already."},
}};

// The classes live as long as the interpreter (the module supports no
// sub-interpreters), so plain borrowed handles do.
std::array<PyObject*, ERROR_CLASSES.size()> classes{};
PyObject* base_class = nullptr;

PyObject* class_for(ErrorKind kind) noexcept {
    for (std::size_t i = 0; i < ERROR_CLASSES.size(); ++i) {
        if (ERROR_CLASSES[i].kind == kind) return classes[i];
    }
    return base_class;
}

py::object new_class(const char* name, const char* doc, PyObject* base) {
    const std::string qualified = std::string("tarnvel_core.") + name;
    PyObject* made = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (made == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(made);
}

}  // namespace

void define_errors(py::module_& m) {
    py::object base =
        new_class("Error", "A refusal of the node library; its message is the library's.", PyExc_RuntimeError);
    m.attr("Error") = base;
    base_class = base.release().ptr();
    for (std::size_t i = 0; i < ERROR_CLASSES.size(); ++i) {
        py::object cls = new_class(ERROR_CLASSES[i].name, ERROR_CLASSES[i].doc, base_class);
        m.attr(ERROR_CLASSES[i].name) = cls;
        classes[i] = cls.release().ptr();
    }
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const Error& e) {
            py::set_error(py::handle(class_for(e.kind())), e.what());
        }
    });
}

}  // namespace tarnvel::binding
