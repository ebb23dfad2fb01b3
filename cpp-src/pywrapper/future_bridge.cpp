#include "future_bridge.hpp"

#include "gil_safety.hpp"

#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace tarnvel::binding {

namespace {

using FutureHolder = std::shared_ptr<py::object>;

void resolve(const py::object& future, std::optional<CallResult> outcome, const std::string& error) {
    if (outcome) {
        future.attr("set_result")(py::cast(std::move(*outcome)));
    } else {
        py::object runtime_error = py::module_::import("builtins").attr("RuntimeError");
        future.attr("set_exception")(runtime_error(error));
    }
}

// Body of the waiter thread: one per call, detached, ends with its call.
void wait_and_resolve(std::future<CallResult> pending, FutureHolder future, WaiterTicket ticket) noexcept {
    const WaiterTicket::ThreadScope waiter(ticket);
    std::optional<CallResult> outcome;
    std::string error;
    try {
        outcome = pending.get();
    } catch (const std::exception& e) {
        error = e.what();
    } catch (...) {
        error = "call failed";
    }
    if (interpreter_exiting()) {
        return;  // nobody is left to tell; the holder leaks its reference
    }
    py::gil_scoped_acquire gil;
    try {
        resolve(*future, std::move(outcome), error);
    } catch (const std::exception&) {
        // Python code resolved the Future itself (or allocation failed); the
        // outcome has no one to go to, and the process goes on.
    }
    future.reset();
    // Last, with the lock still held: once a close sees no waiter left, none
    // of them runs Python code any more.
    ticket.give_back();
}

// The node lives at least as long as the Future: a weak reference to the Future
// owns one reference to the node and drops it when the Future goes.
// (py::keep_alive<0, 1> would do this, but pybind11 3.1 runs it even when the
// arguments did not convert, on an invalid result handle.)
void keep_alive_while(const py::object& future, PyTarnvel& node) {
    py::object patient = py::cast(&node, py::return_value_policy::reference);
    py::cpp_function release([patient_ptr = patient.ptr()](py::handle weakref) {
        Py_DECREF(patient_ptr);
        weakref.dec_ref();
    });
    py::weakref watcher(future, release);
    (void)patient.release();
    (void)watcher.release();
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
    // Counted before the call is made: a close that begins meanwhile waits for
    // this call's Future as well. Every early exit gives the ticket back.
    WaiterTicket ticket = self.core().take_waiter_ticket();
    std::future<CallResult> pending = self.core().node().call(std::move(node_name), pid, std::move(method),
                                                              bytes_to_vector(args), timeout_ms);
    // From here on a failure abandons the call: the library finishes it and
    // its outcome is discarded with `pending`.
    py::object future = py::module_::import("concurrent.futures").attr("Future")();
    future.attr("set_running_or_notify_cancel")();
    keep_alive_while(future, self);
    FutureHolder holder(new py::object(future), GilSafeDelete{});
    std::thread(wait_and_resolve, std::move(pending), std::move(holder), std::move(ticket)).detach();
    return future;
}

}  // namespace tarnvel::binding
