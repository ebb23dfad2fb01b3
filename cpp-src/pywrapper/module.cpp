// The extension module tarnvel_core: status constants and the classes
// CallResult, NodeInfo and Tarnvel.
#include "future_bridge.hpp"
#include "method_adapter.hpp"
#include "node_handle.hpp"

#include <tarnvel/tarnvel.hpp>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <utility>

namespace py = pybind11;
using tarnvel::binding::PyTarnvel;

namespace {

py::bytes vector_to_bytes(const tarnvel::Bytes& bytes) {
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

py::str text_of(const std::string& bytes) {
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(text);
}

void define_call_result(py::module_& m) {
    py::class_<tarnvel::CallResult>(m, "CallResult")
        .def(py::init([](uint8_t status, const py::bytes& result) {
            return tarnvel::CallResult{status, tarnvel::binding::bytes_to_vector(result)};
        }))
        .def_property(
            "status", [](const tarnvel::CallResult& self) { return self.status; },
            [](tarnvel::CallResult& self, uint8_t status) { self.status = status; })
        .def_property(
            "result", [](const tarnvel::CallResult& self) { return vector_to_bytes(self.result); },
            [](tarnvel::CallResult& self, const py::bytes& result) {
                self.result = tarnvel::binding::bytes_to_vector(result);
            });
}

void define_node_info(py::module_& m) {
    py::class_<tarnvel::NodeInfo>(m, "NodeInfo")
        .def(py::init([](std::string node_name, uint32_t pid) {
            return tarnvel::NodeInfo{std::move(node_name), pid};
        }))
        // Names from the book are whatever bytes their node was given; bytes
        // that are not UTF-8 read as lone surrogates instead of raising, and
        // name.encode("utf-8", "surrogateescape") gives them back.
        .def_property(
            "node_name", [](const tarnvel::NodeInfo& self) { return text_of(self.node_name); },
            [](tarnvel::NodeInfo& self, std::string node_name) { self.node_name = std::move(node_name); })
        .def_readwrite("pid", &tarnvel::NodeInfo::pid);
}

void define_tarnvel(py::module_& m) {
    py::class_<PyTarnvel>(m, "Tarnvel")
        .def(py::init<std::string, std::string, std::string, uint64_t>(), py::arg("node_name"),
             py::arg("system_name"), py::arg("recv_shm_name"), py::arg("recv_shm_bytes"))
        .def_property_readonly("pid", &PyTarnvel::pid)
        .def("close", &PyTarnvel::close)
        .def(
            "__enter__", [](PyTarnvel& self) -> PyTarnvel& { return self; },
            py::return_value_policy::reference)
        .def("__exit__", [](PyTarnvel& self, const py::object&, const py::object&,
                            const py::object&) { self.close(); })
        .def("register", &tarnvel::binding::register_method)
        .def("call_raw", &tarnvel::binding::call_raw, py::arg("node_name"), py::arg("pid"),
             py::arg("method"), py::arg("args"), py::arg("timeout_ms"))
        .def("list_nodes", &PyTarnvel::list_nodes);
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
    define_call_result(m);
    define_node_info(m);
    define_tarnvel(m);
    // Open nodes are closed before the interpreter finalizes: their waiters and
    // handlers can still take the lock then, and the shared-memory objects go.
    tarnvel::binding::define_future_signal(m);
    py::module_::import("atexit").attr("register")(py::cpp_function(&tarnvel::binding::close_all_nodes));
}
