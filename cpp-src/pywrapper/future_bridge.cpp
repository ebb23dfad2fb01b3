#include "future_bridge.hpp"

#include "gil_safety.hpp"
#include "resolvers.hpp"

#include <memory>
#include <string>
#include <utility>

namespace tarnvel::binding {

namespace {

py::object future_class() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage
        .call_once_and_store_result([] { return py::module_::import("concurrent.futures").attr("Future"); })
        .get_stored();
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
    // above all), where no Python code may run: a resolver thread takes it on.
    // A refused call drops the completion here, and its ticket with it.
    self.core().node().call(std::move(node_name), pid, std::move(method), std::move(arguments), timeout_ms,
                            [resolution = std::move(resolution)](CallResult outcome) mutable {
                                resolution.outcome = std::move(outcome);
                                resolve_later(std::move(resolution));
                            });
    return future;
}

}  // namespace tarnvel::binding
