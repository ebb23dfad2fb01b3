#include "method_adapter.hpp"

#include "future_bridge.hpp"
#include "gil_safety.hpp"

#include <boost/json/parse.hpp>

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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

py::object bytes_object(std::span<const uint8_t> bytes) {
    auto object = py::reinterpret_steal<py::object>(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size())));
    if (!object) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate bytes object!");
    }
    return object;
}

// From this size on, a plain method's answer is written from the bytes
// object it returned, in place and without the interpreter lock, instead of
// being copied first: for a large answer the copy costs as much as the write.
constexpr Py_ssize_t ANSWERED_IN_PLACE_FROM = 64 * 1024;

// A plain Python method and the large answers it has given. Letting go of
// such an answer's bytes object takes the interpreter lock, and taking it
// again only for that would wait for whatever Python thread holds it, up to
// the switch interval; so the object is kept until the method's next call,
// which holds the lock anyway, lets go of it (or until the method goes).
class PythonMethod {
public:
    explicit PythonMethod(py::function callable) noexcept : callable_(std::move(callable)) {}
    PythonMethod(const PythonMethod&) = delete;
    PythonMethod& operator=(const PythonMethod&) = delete;
    ~PythonMethod() {
        for (PyObject* object : kept_) Py_DECREF(object);
    }

    // For GilSafeDelete once the interpreter exits: Python is left alone.
    PyObject* release() noexcept {
        kept_.clear();
        return callable_.release().ptr();
    }

    const py::function& callable() const noexcept { return callable_; }

    // With the interpreter lock: lets go of the answers kept so far.
    void let_go_of_kept() noexcept {
        const std::lock_guard lock(mutex_);
        // Exactly bytes: letting go of them frees memory and runs no code.
        for (PyObject* object : kept_) Py_DECREF(object);
        kept_.clear();
    }
    // Makes room to keep one more answer, which keep() then cannot fail to;
    // false when there is no memory for it.
    bool make_room() noexcept {
        const std::lock_guard lock(mutex_);
        try {
            kept_.reserve(kept_.size() + promised_ + 1);
        } catch (...) {
            return false;
        }
        ++promised_;
        return true;
    }
    // Without the lock, after make_room() returned true: takes over the
    // reference.
    void keep(PyObject* object) noexcept {
        const std::lock_guard lock(mutex_);
        --promised_;
        kept_.push_back(object);
    }

private:
    py::function callable_;
    std::mutex mutex_;
    std::vector<PyObject*> kept_;  // guarded by mutex_
    size_t promised_ = 0;          // calls that may still keep one; guarded by mutex_
};

// Runs the method with the argument bytes and gives its answer: a large one
// from its bytes object in place (see PythonMethod), a smaller one copied
// into `storage` (the argument's, when the argument was copied out for it),
// so that an answer no larger than its argument needs no fresh allocation.
void call_python(PythonMethod& method, std::span<const uint8_t> args, Bytes storage, const Reply& reply) {
    std::optional<ForeignThreadGil> gil(std::in_place);
    method.let_go_of_kept();
    py::object argument = bytes_object(args);
    auto result = py::reinterpret_steal<py::object>(PyObject_CallOneArg(method.callable().ptr(), argument.ptr()));
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
    const Py_ssize_t size = PyBytes_GET_SIZE(result.ptr());
    // Exactly bytes: a subclass's object may do more when it goes than free
    // its memory, and must not go later than the call.
    if (size >= ANSWERED_IN_PLACE_FROM && PyBytes_CheckExact(result.ptr()) && method.make_room()) {
        PyObject* answer = result.release().ptr();
        gil.reset();
        Bytes().swap(storage);
        // Read in place: a bytes object never changes, and this call holds it.
        reply.complete(BytesView(std::span<const uint8_t>(data, static_cast<size_t>(size))));
        method.keep(answer);
        return;
    }
    storage.assign(data, data + size);
    result = py::object();
    gil.reset();
    reply.complete(std::move(storage));
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

PythonHandlers make_python_handler(py::function callable) {
    std::shared_ptr<PythonMethod> shared(new PythonMethod(std::move(callable)), GilSafeDelete{});
    PythonHandlers handlers;
    handlers.deferred = [shared](Bytes args, Reply reply) {
        if (interpreter_exiting()) {
            throw std::runtime_error("interpreter is shutting down");
        }
        PythonHandlerScope scope;
        // Taken before the vector moves: its bytes stay where they are.
        const std::span<const uint8_t> view(args);
        call_python(*shared, view, std::move(args), reply);
    };
    // The bytes object is made straight from the mailbox: one copy of the
    // argument instead of two.
    handlers.in_place = [shared](BytesView args, Reply reply) {
        if (interpreter_exiting()) {
            throw std::runtime_error("interpreter is shutting down");
        }
        PythonHandlerScope scope;
        call_python(*shared, args.bytes(), Bytes(), reply);
    };
    return handlers;
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
    PythonHandlers method = make_python_handler(std::move(handler));
    return self.core().node().register_in_place_method(std::move(*object), std::move(method.deferred),
                                                       std::move(method.in_place));
}

}  // namespace tarnvel::binding
