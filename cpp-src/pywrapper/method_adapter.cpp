#include "method_adapter.hpp"

#include "future_bridge.hpp"
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

// A request's Reply as Python holds it. Answering (and the failure sent when
// the last copy goes unanswered) writes to the caller's mailbox, which may
// wait for the system's mutex: without the interpreter lock.
class PyReply {
public:
    explicit PyReply(Reply reply) noexcept : reply_(std::move(reply)) {}
    PyReply(const PyReply&) = delete;
    PyReply& operator=(const PyReply&) = delete;
    ~PyReply() {
        if (PyGILState_Check() != 0 && !interpreter_exiting()) {
            const py::gil_scoped_release unlocked;
            reply_ = Reply();
        }
    }

    bool complete(const py::bytes& result) {
        // Read in place, without the lock: the caller holds the bytes object
        // until this returns.
        const std::span<const uint8_t> bytes = bytes_view(result);
        const py::gil_scoped_release unlocked;
        return reply_.complete(BytesView(bytes));
    }
    bool fail() {
        const py::gil_scoped_release unlocked;
        return reply_.fail();
    }
    bool answered() const noexcept { return reply_.answered(); }

private:
    Reply reply_;
};

py::object bytes_object(const Bytes& bytes) {
    auto object = py::reinterpret_steal<py::object>(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size())));
    if (!object) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate bytes object!");
    }
    return object;
}

// The answer is copied into the argument's storage, which is ours by now: an
// answer no larger than its argument needs no fresh allocation, whose pages
// would have to be faulted in again (for a large payload that costs more than
// the copy).
Bytes call_python(const py::function& callable, Bytes args) {
    const ForeignThreadGil gil;
    py::object argument = bytes_object(args);
    auto result = py::reinterpret_steal<py::object>(PyObject_CallOneArg(callable.ptr(), argument.ptr()));
    argument = py::object();
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
    args.assign(data, data + PyBytes_GET_SIZE(result.ptr()));
    return args;
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
        return call_python(*shared, std::move(args));
    };
}

bool register_deferred(PyTarnvel& self, const py::dict& descriptor, py::function handler) {
    std::optional<boost::json::object> object = descriptor_from_dict(descriptor);
    if (!object) {
        return false;
    }
    std::shared_ptr<py::function> shared(new py::function(std::move(handler)), GilSafeDelete{});
    // What the handler raises fails the reply unless it was answered already.
    DeferredHandler method = [shared](Bytes args, Reply reply) {
        if (interpreter_exiting()) {
            throw std::runtime_error("interpreter is shutting down");
        }
        PythonHandlerScope scope;
        const ForeignThreadGil gil;
        py::object argument = bytes_object(args);
        py::object answer = py::cast(std::make_unique<PyReply>(std::move(reply)));
        auto result = py::reinterpret_steal<py::object>(
            PyObject_CallFunctionObjArgs(shared->ptr(), argument.ptr(), answer.ptr(), nullptr));
        if (!result) {
            PyErr_Clear();
            throw std::runtime_error("method handler raised");
        }
    };
    return self.core().node().register_method(std::move(*object), std::move(method));
}

void define_reply(py::module_& m) {
    py::class_<PyReply>(m, "Reply")
        .def("complete", &PyReply::complete, py::arg("result"), py::pos_only())
        .def("fail", &PyReply::fail)
        .def_property_readonly("answered", &PyReply::answered);
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
