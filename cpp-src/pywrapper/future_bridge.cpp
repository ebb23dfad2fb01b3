#include "future_bridge.hpp"

#include "call_result.hpp"
#include "gil_safety.hpp"
#include "resolvers.hpp"

#include <pybind11/stl.h>

#include <exception>
#include <memory>
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
    auto signal = std::make_shared<FutureSignal>();
    // The Future holds the node: it lives at least as long.
    py::object future = future_class()(signal, node);
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
    auto signal_class =
        py::class_<FutureSignal, std::shared_ptr<FutureSignal>>(m, "_FutureSignal")
            .def("set", &FutureSignal::set)
            .def("wait", &wait_for_signal, py::arg("timeout") = py::none(), py::arg("node") = py::none())
            .def("before_callback", &before_callback)
            .def_static("resolve_ready", &resolve_ready)
            .def_property_readonly("is_set", &FutureSignal::is_set)
            .def_property_readonly("last_spin_budget",
                                   [](const FutureSignal& s) { return s.last_spin_budget().count(); })
            .def(
                "hand_off",
                [](FutureSignal&, const py::object& future, const py::list& callbacks) {
                    return hand_off(future, callbacks);
                },
                py::arg("future"), py::arg("callbacks"));
    // Made only by call_raw: the class lives as long as the interpreter (the
    // reference is kept on purpose) but stays out of the module's namespace.
    signal_class.inc_ref();
    py::delattr(m, "_FutureSignal");
    // A child has no io thread, no watcher and no resolver threads: answers
    // kept for a thread of this process, or waiting for a resolver, would
    // never resolve their Futures there.
    py::module_::import("os").attr("register_at_fork")(py::arg("before") = py::cpp_function(&resolve_before_fork));
    // Loaded now, so that a module missing beside this one fails the import
    // rather than the first call.
    future_class();
}

}  // namespace tarnvel::binding
