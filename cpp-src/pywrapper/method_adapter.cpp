#include "method_adapter.hpp"

#include "gil_safety.hpp"

#include <boost/json/parse.hpp>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace tarnvel::binding {

namespace {

thread_local int python_handler_depth = 0;

struct PythonHandlerScope {
    PythonHandlerScope() noexcept { ++python_handler_depth; }
    ~PythonHandlerScope() { --python_handler_depth; }
    PythonHandlerScope(const PythonHandlerScope&) = delete;
    PythonHandlerScope& operator=(const PythonHandlerScope&) = delete;
};

Bytes call_python(const py::function& callable, const Bytes& args) {
    const ForeignThreadGil gil;
    auto argument = py::reinterpret_steal<py::object>(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(args.data()), static_cast<Py_ssize_t>(args.size())));
    if (!argument) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate bytes object!");
    }
    auto result = py::reinterpret_steal<py::object>(PyObject_CallOneArg(callable.ptr(), argument.ptr()));
    if (!result) {
        // The caller learns only STATUS_EXEC_FAILED. The Python exception is
        // dropped here, under the lock, rather than carried to the io loop.
        PyErr_Clear();
        throw std::runtime_error("method handler raised");
    }
    if (!PyBytes_Check(result.ptr())) {
        throw py::type_error(std::string("Object of type '") + Py_TYPE(result.ptr())->tp_name +
                             "' is not an instance of 'bytes'");
    }
    const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(result.ptr()));
    return Bytes(data, data + PyBytes_GET_SIZE(result.ptr()));
}

}  // namespace

bool in_python_handler() noexcept { return python_handler_depth > 0; }

std::optional<boost::json::object> descriptor_from_dict(const py::dict& descriptor) {
    py::object dumps = py::module_::import("json").attr("dumps");
    auto text = dumps(descriptor).cast<std::string>();
    try {
        boost::system::error_code ec;
        boost::json::value parsed = boost::json::parse(text, ec);
        if (ec || !parsed.is_object()) {
            return std::nullopt;
        }
        return std::move(parsed.as_object());
    } catch (const std::exception&) {
        return std::nullopt;  // out of memory while parsing
    }
}

MethodHandler make_python_handler(py::function callable) {
    std::shared_ptr<py::function> shared(new py::function(std::move(callable)), GilSafeDelete{});
    return [shared](Bytes args) -> Bytes {
        if (interpreter_exiting()) {
            throw std::runtime_error("interpreter is shutting down");
        }
        PythonHandlerScope scope;
        return call_python(*shared, args);
    };
}

bool register_method(PyTarnvel& self, const py::dict& descriptor, py::function handler) {
    std::optional<boost::json::object> object = descriptor_from_dict(descriptor);
    if (!object) {
        return false;
    }
    MethodHandler method = make_python_handler(std::move(handler));
    return self.core().node().register_method(std::move(*object), std::move(method));
}

}  // namespace tarnvel::binding
