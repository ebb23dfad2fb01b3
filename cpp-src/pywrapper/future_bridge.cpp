#include "future_bridge.hpp"

#include "gil_safety.hpp"
#include "resolvers.hpp"

#include <pybind11/eval.h>

#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace tarnvel::binding {

namespace {

// A concurrent.futures.Future that knows whether anyone attached a
// done-callback: a Future nobody did may be resolved on the io thread that
// receives the answer (callbacks never run there), which spares the answer a
// trip through a resolver thread. The gate makes the check and the
// resolution one step against a callback being attached meanwhile.
constexpr const char* CALL_FUTURE_SOURCE = R"(
import concurrent.futures
import threading

class CallFuture(concurrent.futures.Future):
    """The Future of one tarnvel call."""

    def __init__(self):
        super().__init__()
        self._tarnvel_gate = threading.Lock()
        self._tarnvel_observed = False

    def add_done_callback(self, fn):
        with self._tarnvel_gate:
            self._tarnvel_observed = True
        super().add_done_callback(fn)
)";

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
    const ForeignThreadGil gil;
    py::object& future = *resolution.future;
    py::object gate = future.attr("_tarnvel_gate");
    gate.attr("acquire")();
    bool resolved = false;
    try {
        if (!future.attr("_tarnvel_observed").cast<bool>()) {
            future.attr("set_result")(py::cast(std::move(resolution.outcome)));
            resolved = true;
        }
    } catch (const std::exception&) {
        resolved = true;  // resolved by Python code already: the outcome is dropped
    }
    gate.attr("release")();
    if (resolved) {
        resolution.future.reset();
        resolution.ticket->give_back();
    }
    return resolved;
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
    py::object future = future_class()();
    future.attr("set_running_or_notify_cancel")();
    // The node lives at least as long as the Future.
    future.attr("_tarnvel_node") = py::cast(&self, py::return_value_policy::reference);
    Resolution resolution{std::shared_ptr<py::object>(new py::object(future), GilSafeDelete{}), {},
                          // Counted before the call is made: a close that
                          // begins meanwhile waits for this Future as well.
                          std::make_shared<WaiterTicket>(self.core().take_waiter_ticket())};
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

}  // namespace tarnvel::binding
