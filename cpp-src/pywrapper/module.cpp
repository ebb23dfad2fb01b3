// The extension module tarnvel_core: status constants and name limits, the
// classes CallResult, NodeInfo, Tarnvel and SystemInfo, the exception
// classes, and the functions that look at the systems of the machine.
#include "call_result.hpp"
#include "errors.hpp"
#include "future_bridge.hpp"
#include "method_adapter.hpp"
#include "node_handle.hpp"

#include <tarnvel/tarnvel.hpp>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;
using tarnvel::binding::PyTarnvel;

namespace {

// A property setter whose one parameter carries a name, so that help() and
// the stub show it instead of arg0.
template <class Setter>
py::cpp_function setter(Setter&& set, const char* name) {
    return py::cpp_function(std::forward<Setter>(set), py::arg("self"), py::arg(name), py::pos_only());
}

py::str text_of(const std::string& bytes) {
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(text);
}

void define_node_info(py::module_& m) {
    py::class_<tarnvel::NodeInfo>(m, "NodeInfo")
        .def(py::init([](std::string node_name, uint32_t pid) {
                 return tarnvel::NodeInfo{std::move(node_name), pid};
             }),
             py::arg("node_name"), py::arg("pid"), py::pos_only())
        // Names from the book are whatever bytes their node was given; bytes
        // that are not UTF-8 read as lone surrogates instead of raising, and
        // name.encode("utf-8", "surrogateescape") gives them back.
        .def_property(
            "node_name", [](const tarnvel::NodeInfo& self) { return text_of(self.node_name); },
            setter([](tarnvel::NodeInfo& self, std::string node_name) { self.node_name = std::move(node_name); },
                   "node_name"))
        .def_property(
            "pid", [](const tarnvel::NodeInfo& self) { return self.pid; },
            setter([](tarnvel::NodeInfo& self, uint32_t pid) { self.pid = pid; }, "pid"))
        .def_property(
            "mailbox_name", [](const tarnvel::NodeInfo& self) { return text_of(self.mailbox_name); },
            setter(
                [](tarnvel::NodeInfo& self, std::string mailbox_name) { self.mailbox_name = std::move(mailbox_name); },
                "mailbox_name"));
}

void define_system_info(py::module_& m) {
    py::class_<tarnvel::SystemInfo>(m, "SystemInfo")
        .def_property_readonly("name",
                               [](const tarnvel::SystemInfo& self) -> std::optional<std::string> {
                                   if (self.name.empty()) return std::nullopt;
                                   return self.name;
                               })
        .def_property_readonly("prefix", [](const tarnvel::SystemInfo& self) { return self.prefix; })
        .def_property_readonly("object_name", [](const tarnvel::SystemInfo& self) { return text_of(self.object_name); })
        .def_property_readonly("location", [](const tarnvel::SystemInfo& self) { return text_of(self.location); });
}

void define_functions(py::module_& m) {
    m.attr("MAX_NODE_NAME_BYTES") = py::int_(tarnvel::MAX_NODE_NAME_BYTES);
    m.attr("MAX_SYSTEM_NAME_BYTES") = py::int_(tarnvel::MAX_SYSTEM_NAME_BYTES);
    m.attr("MAX_MAILBOX_NAME_BYTES") = py::int_(tarnvel::MAX_MAILBOX_NAME_BYTES);
    m.attr("MIN_RECV_SHM_BYTES") = py::int_(tarnvel::MIN_RECV_SHM_BYTES);
    m.attr("MAX_RECV_SHM_BYTES") = py::int_(tarnvel::MAX_RECV_SHM_BYTES);
    m.attr("MAX_WORKERS") = py::int_(tarnvel::Tarnvel::MAX_WORKER_THREADS);
    m.def(
        "is_valid_node_name", [](const std::string& node_name) { return tarnvel::is_valid_node_name(node_name); },
        py::arg("node_name"));
    m.def(
        "is_valid_system_name",
        [](const std::string& system_name) { return tarnvel::is_valid_system_name(system_name); },
        py::arg("system_name"));
    // The three read shared objects of other processes: the interpreter lock
    // is let go meanwhile.
    m.def("systems", &tarnvel::list_systems, py::call_guard<py::gil_scoped_release>());
    m.def(
        "system_exists", [](const std::string& system_name) { return tarnvel::system_exists(system_name); },
        py::arg("system_name"), py::call_guard<py::gil_scoped_release>());
    m.def(
        "system_nodes", [](const std::string& system_name) { return tarnvel::system_nodes(system_name); },
        py::arg("system_name"), py::call_guard<py::gil_scoped_release>());
}

void define_tarnvel(py::module_& m) {
    py::class_<PyTarnvel>(m, "Tarnvel")
        // Construction, close and the listing wait for the system's mutex, which
        // another process holds for as long as it likes: without the
        // interpreter lock, so that the other threads of this process go on.
        .def(py::init<std::string, std::string, std::string, uint64_t, unsigned>(), py::arg("node_name"),
             py::arg("system_name"), py::arg("recv_shm_name"), py::arg("recv_shm_bytes"), py::kw_only(),
             py::arg("workers") = 0u, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("pid", &PyTarnvel::pid)
        .def_property_readonly("workers", &PyTarnvel::workers)
        .def("close", &PyTarnvel::close)
        .def(
            "__enter__", [](PyTarnvel& self) -> PyTarnvel& { return self; }, py::return_value_policy::reference)
        .def(
            "__exit__", [](PyTarnvel& self, const py::object&, const py::object&, const py::object&) { self.close(); },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"), py::pos_only())
        .def("register", &tarnvel::binding::register_method, py::arg("descriptor"), py::arg("handler"), py::pos_only())
        .def("register_deferred", &tarnvel::binding::register_deferred, py::arg("descriptor"), py::arg("handler"),
             py::pos_only())
        .def("call_raw", &tarnvel::binding::call_raw, py::arg("node_name"), py::arg("pid"), py::arg("method"),
             py::arg("args"), py::arg("timeout_ms"))
        .def("list_nodes", &PyTarnvel::list_nodes, py::call_guard<py::gil_scoped_release>());
}

}  // namespace

// Nodes are process-wide (one io thread each, one book slot per process), so
// the module refuses sub-interpreters and keeps the GIL.
PYBIND11_MODULE(tarnvel_core, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Python bindings for tarnvel";
    m.attr("STATUS_OK") = py::int_(tarnvel::STATUS_OK);
    m.attr("STATUS_TIMEOUT") = py::int_(tarnvel::STATUS_TIMEOUT);
    m.attr("STATUS_EXEC_FAILED") = py::int_(tarnvel::STATUS_EXEC_FAILED);
    m.attr("STATUS_DELIVER_FAILED") = py::int_(tarnvel::STATUS_DELIVER_FAILED);
    tarnvel::binding::define_call_result(m);
    define_node_info(m);
    define_tarnvel(m);
    tarnvel::binding::define_reply(m);
    define_system_info(m);
    define_functions(m);
    tarnvel::binding::define_errors(m);
    // Open nodes are closed before the interpreter finalizes: their waiters and
    // handlers can still take the lock then, and the shared-memory objects go.
    tarnvel::binding::define_future_signal(m);
    py::module_::import("atexit").attr("register")(py::cpp_function(&tarnvel::binding::close_all_nodes));
}
