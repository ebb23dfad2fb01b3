#include "future_bridge.hpp"

#include "gil_safety.hpp"
#include "resolvers.hpp"

#include <pybind11/eval.h>
#include <pybind11/stl.h>

#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace tarnvel::binding {

namespace {

// A concurrent.futures.Future that the io thread receiving the answer may
// resolve itself, as long as nobody has attached a done-callback (callbacks
// never run on an io thread); that spares the answer a trip through a
// resolver thread. One non-blocking claim decides who got there first: the
// io thread, which then resolves the Future, or a done-callback, after which
// the Future goes to a resolver thread.
//
// Its result() and exception() wait on a FutureSignal rather than the
// Future's own condition: the io thread sets it only after letting go of the
// interpreter lock, so the woken thread does not at once stall on that lock
// (waking it from inside set_result, with the lock still held, made the two
// threads hand the lock back and forth on every call).
constexpr const char* CALL_FUTURE_SOURCE = R"(
import concurrent.futures
import threading

class CallFuture(concurrent.futures.Future):
    """The Future of one tarnvel call."""

    def __init__(self, signal):
        super().__init__()
        self._tarnvel_claim = threading.Lock()
        self._tarnvel_signal = signal

    def add_done_callback(self, fn):
        if not self._tarnvel_claim.acquire(blocking=False):
            # The io thread is resolving it: once it has, fn runs here.
            self.exception()
        super().add_done_callback(fn)

    def set_result(self, result):
        super().set_result(result)
        self._tarnvel_signal.set()

    def set_exception(self, exception):
        super().set_exception(exception)
        self._tarnvel_signal.set()

    # Done first: a done-callback asks for the result before the signal is set.
    def result(self, timeout=None):
        if not self.done():
            self._tarnvel_signal.wait(timeout)
        return super().result(0)

    def exception(self, timeout=None):
        if not self.done():
            self._tarnvel_signal.wait(timeout)
        return super().exception(0)
)";

// The plain Future's set_result, which leaves the signal to the caller.
py::object base_set_result() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage
        .call_once_and_store_result(
            [] { return py::module_::import("concurrent.futures").attr("Future").attr("set_result"); })
        .get_stored();
}

py::object future_class() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage
        .call_once_and_store_result([] {
            py::dict scope;
            scope["__name__"] = "tarnvel_core";
            py::exec(CALL_FUTURE_SOURCE, scope);
            return py::object(scope["CallFuture"]);
        })
        .get_stored();
}

// On an io thread: resolves the Future here when nobody has attached a
// done-callback, and says whether it did.
bool resolved_here(Resolution& resolution) {
    if (!Tarnvel::on_io_thread() || interpreter_exiting()) return false;
    {
        const ForeignThreadGil gil;
        py::object& future = *resolution.future;
        if (!future.attr("_tarnvel_claim").attr("acquire")(false).cast<bool>()) return false;
        try {
            base_set_result()(future, py::cast(std::move(resolution.outcome)));
        } catch (const std::exception&) {
            // Resolved by Python code already: the outcome is dropped.
        }
        resolution.future.reset();
        resolution.ticket->give_back();
    }
    resolution.signal->set();
    return true;
}

}  // namespace

Bytes bytes_to_vector(const py::bytes& bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) {
        throw py::error_already_set();
    }
    return Bytes(reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + size);
}

py::object call_raw(PyTarnvel& self, std::string node_name, uint32_t pid, std::string method,
                    const py::bytes& args, int32_t timeout_ms) {
    Bytes arguments = bytes_to_vector(args);
    auto signal = std::make_shared<FutureSignal>();
    py::object future = future_class()(signal);
    future.attr("set_running_or_notify_cancel")();
    // The node lives at least as long as the Future.
    future.attr("_tarnvel_node") = py::cast(&self, py::return_value_policy::reference);
    Resolution resolution{std::shared_ptr<py::object>(new py::object(future), GilSafeDelete{}), {},
                          // Counted before the call is made: a close that
                          // begins meanwhile waits for this Future as well.
                          std::make_shared<WaiterTicket>(self.core().take_waiter_ticket()), std::move(signal)};
    // The outcome arrives on whatever thread ends the call (the io thread,
    // above all), where no done-callback may run: a resolver thread takes it
    // on unless the Future has none. A refused call drops the completion
    // here, and its ticket with it.
    self.core().node().call(std::move(node_name), pid, std::move(method), std::move(arguments), timeout_ms,
                            [resolution = std::move(resolution)](CallResult outcome) mutable {
                                resolution.outcome = std::move(outcome);
                                if (!resolved_here(resolution)) resolve_later(std::move(resolution));
                            });
    return future;
}

void define_future_signal(py::module_& m) {
    auto signal_class = py::class_<FutureSignal, std::shared_ptr<FutureSignal>>(m, "_FutureSignal")
                            .def("set", &FutureSignal::set)
                            .def("wait", &FutureSignal::wait, py::arg("timeout") = py::none());
    // Made only by call_raw: the class lives as long as the interpreter (the
    // reference is kept on purpose) but stays out of the module's namespace.
    signal_class.inc_ref();
    py::delattr(m, "_FutureSignal");
}

}  // namespace tarnvel::binding
