#include "future_bridge.hpp"

#include "call_result.hpp"
#include "gil_safety.hpp"
#include "resolvers.hpp"

#include <pybind11/stl.h>

#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

namespace tarnvel::binding {

namespace {

// The class of the Futures, from the Python module shipped beside this one
// (_tarnvel_core_future.py, which says how the io thread and done-callbacks
// share the work of resolving them).
constexpr const char* FUTURE_MODULE = "_tarnvel_core_future";

py::object future_class() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage.call_once_and_store_result([] { return py::module_::import(FUTURE_MODULE).attr("CallFuture"); })
        .get_stored();
}

// On an io thread: has a resolver thread add the callbacks, and says so.
bool hand_off(const py::object& future, const py::list& callbacks) {
    if (!Tarnvel::on_io_thread()) return false;
    auto& node = future.attr("_tarnvel_node").cast<PyTarnvel&>();
    Resolution resolution{shared_object(future),
                          {},
                          std::make_shared<WaiterTicket>(node.core().take_waiter_ticket()),
                          nullptr,
                          shared_object(callbacks)};
    resolve_later(std::move(resolution));
    return true;
}

// An io thread cannot read answers while it waits (it reads them in its
// loop), so one that waited without a bound would wait for ever: it is
// refused at once instead.
bool wait_for_signal(FutureSignal& signal, std::optional<double> timeout, PyTarnvel* node) {
    if (!timeout && Tarnvel::on_io_thread()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "a node's io thread cannot wait for a call's result: only an io thread reads the answer "
                        "(run the method on workers, or add a done-callback instead)");
        throw py::error_already_set();
    }
    bool set = false;
    try {
        // Whatever ends the wait, with the lock held again.
        struct LetGo {
            ~LetGo() { let_go_of_answer_space(); }
        } const let_go;
        // The caller's Future holds the node while this runs.
        set = signal.wait(timeout, node != nullptr ? &node->core().node() : nullptr);
    } catch (const py::error_already_set&) {
        // Ctrl-C: what the io thread kept meanwhile is not left behind.
        resolve_ready();
        throw;
    }
    resolve_ready();
    return set;
}

// Before a done-callback is attached: from then on the io thread hands the
// outcome to a resolver thread; one it kept already is resolved now.
void before_callback(FutureSignal& signal) {
    signal.note_callbacks();
    resolve_ready();
}

// The Python object of a call's signal, one per call: a plain CPython type
// rather than a bound class, which would enter every one in the binding
// layer's instance table and take it out again.
struct SignalObject {
    PyObject ob_base;
    std::shared_ptr<FutureSignal> signal;
};

PyTypeObject* signal_type = nullptr;

FutureSignal& signal_of(PyObject* self) { return *reinterpret_cast<SignalObject*>(self)->signal; }

// Runs `body`, which returns a new reference, and turns what it throws into
// the Python exception it stands for.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (py::error_already_set& raised) {
        raised.restore();
    } catch (const py::cast_error& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        // Nothing may leave a CPython function but a set exception.
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return nullptr;
}

PyObject* signal_set(PyObject* self, PyObject*) {
    signal_of(self).set();
    Py_RETURN_NONE;
}

// wait(timeout=None, node=None): by position only.
PyObject* signal_wait(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    if (count > 2) {
        PyErr_SetString(PyExc_TypeError, "wait() takes at most 2 arguments");
        return nullptr;
    }
    return guarded([&] {
        std::optional<double> timeout;
        if (count > 0 && args[0] != Py_None) {
            timeout = PyFloat_AsDouble(args[0]);
            if (*timeout == -1.0 && PyErr_Occurred() != nullptr) throw py::error_already_set();
        }
        PyTarnvel* node = nullptr;
        if (count > 1 && args[1] != Py_None) node = py::handle(args[1]).cast<PyTarnvel*>();
        return py::bool_(wait_for_signal(signal_of(self), timeout, node)).release().ptr();
    });
}

PyObject* signal_before_callback(PyObject* self, PyObject*) {
    return guarded([&] {
        before_callback(signal_of(self));
        return py::none().release().ptr();
    });
}

PyObject* signal_resolve_ready(PyObject*, PyObject*) {
    return guarded([] {
        resolve_ready();
        return py::none().release().ptr();
    });
}

// hand_off(future, callbacks): callbacks a list.
PyObject* signal_hand_off(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (count != 2 || !PyList_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "hand_off() takes a future and a list of callbacks");
        return nullptr;
    }
    return guarded([&] {
        const bool handed =
            hand_off(py::reinterpret_borrow<py::object>(args[0]), py::reinterpret_borrow<py::list>(args[1]));
        return py::bool_(handed).release().ptr();
    });
}

PyObject* signal_is_set(PyObject* self, void*) { return PyBool_FromLong(signal_of(self).is_set() ? 1 : 0); }

PyObject* signal_last_spin_budget(PyObject* self, void*) {
    return PyFloat_FromDouble(signal_of(self).last_spin_budget().count());
}

void signal_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<SignalObject*>(self)->signal.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef signal_methods[] = {
    {"set", signal_set, METH_NOARGS, nullptr},
    {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(signal_wait)), METH_FASTCALL, nullptr},
    {"before_callback", signal_before_callback, METH_NOARGS, nullptr},
    {"resolve_ready", signal_resolve_ready, METH_NOARGS, nullptr},
    {"hand_off", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(signal_hand_off)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef signal_getset[] = {
    {"is_set", signal_is_set, nullptr, nullptr, nullptr},
    {"last_spin_budget", signal_last_spin_budget, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot signal_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(signal_dealloc)},
    {Py_tp_methods, signal_methods},
    {Py_tp_getset, signal_getset},
    {0, nullptr},
};

PyType_Spec signal_spec = {
    "tarnvel_core._FutureSignal",
    sizeof(SignalObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    signal_slots,
};

py::object signal_object(std::shared_ptr<FutureSignal> signal) {
    auto* made = reinterpret_cast<SignalObject*>(signal_type->tp_alloc(signal_type, 0));
    if (made == nullptr) throw py::error_already_set();
    new (&made->signal) std::shared_ptr<FutureSignal>(std::move(signal));
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(made));
}

// Made here alone, so that the leak checker's exception for Futures left on
// purpose at exit (scripts/lsan-python.supp) names this frame and no other.
[[gnu::noinline, gnu::flatten]] std::shared_ptr<FutureSignal> new_future_signal() {
    return std::make_shared<FutureSignal>();
}

}  // namespace

std::span<const uint8_t> bytes_view(const py::bytes& bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) {
        throw py::error_already_set();
    }
    return {reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size)};
}

py::object call_raw(py::handle node, std::string node_name, uint32_t pid, std::string method, const py::bytes& args,
                    int64_t timeout_ms) {
    PyTarnvel& self = node.cast<PyTarnvel&>();
    resolve_ready();
    const std::span<const uint8_t> arguments = bytes_view(args);
    auto signal = new_future_signal();
    // The Future holds the node: it lives at least as long.
    py::object future = future_class()(signal_object(signal), node);
    Resolution resolution{std::shared_ptr<py::object>(new py::object(future), GilSafeDelete{}),
                          {},
                          // Counted before the call is made: a close that
                          // begins meanwhile waits for this Future as well.
                          std::make_shared<WaiterTicket>(self.core().take_waiter_ticket()),
                          std::move(signal)};
    // The outcome arrives on whatever thread ends the call (the io thread,
    // above all), where no done-callback may run: a resolver thread takes it
    // on unless the Future has none. A refused call drops the completion
    // here, and its ticket with it. The lookup and the hand-over may wait for
    // the system's mutex: without the interpreter lock.
    {
        const py::gil_scoped_release unlocked;
        // Read in place, without the lock: a bytes object never changes, and
        // the caller holds this one until call_raw returns.
        self.core().node().call(
            std::move(node_name), pid, std::move(method), BytesView(arguments), timeout_ms,
            [resolution = std::move(resolution)](CallResult outcome) mutable {
                // Read into a bytes object on this thread, which waits for
                // an answer in the node's mailbox.
                if (outcome.result_in_space) {
                    resolution.result_bytes = take_answer_space();
                    if (!resolution.result_bytes) outcome = CallResult{STATUS_EXEC_FAILED, {}};
                }
                resolution.outcome = std::move(outcome);
                if (resolution.signal->has_callbacks()) {
                    resolve_later(std::move(resolution));
                } else {
                    resolve_ready_later(std::move(resolution));
                }
            },
            any_thread);
    }
    // Answers that came meanwhile, this call's own if it ended at once.
    resolve_ready();
    return future;
}

void define_future_signal(py::module_& m) {
    // Made only by call_raw: the class lives as long as the interpreter (the
    // reference is kept on purpose) but stays out of the module's namespace.
    signal_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(m.ptr(), &signal_spec, nullptr));
    if (signal_type == nullptr) throw py::error_already_set();
    // A child has no io thread, no watcher and no resolver threads: answers
    // kept for a thread of this process, or waiting for a resolver, would
    // never resolve their Futures there.
    py::module_::import("os").attr("register_at_fork")(py::arg("before") = py::cpp_function(&resolve_before_fork));
    // Loaded now, so that a module missing beside this one fails the import
    // rather than the first call.
    future_class();
}

}  // namespace tarnvel::binding
