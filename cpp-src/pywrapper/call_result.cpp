#include "call_result.hpp"

#include <Python.h>

#include <cstdint>

namespace tarnvel::binding {

namespace {

// The answer is kept as the bytes object that Python reads, made once from
// the received answer: reading `result` copies nothing.
struct CallResultObject {
    PyObject ob_base;
    PyObject* result;  // exactly bytes, never null once made
    unsigned long long unfit_answer_bytes;
    unsigned char status;
};

PyTypeObject* call_result_type = nullptr;

// A status as the wire carries it: an integer (not a float) from 0 to 255.
bool status_of(PyObject* value, unsigned char& status) {
    if (PyFloat_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "status must be an integer from 0 to 255");
        return false;
    }
    PyObject* number = PyNumber_Index(value);
    if (number == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "status must be an integer from 0 to 255");
        return false;
    }
    const long v = PyLong_AsLong(number);
    Py_DECREF(number);
    if ((v == -1 && PyErr_Occurred() != nullptr) || v < 0 || v > 255) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "status must be an integer from 0 to 255");
        return false;
    }
    status = static_cast<unsigned char>(v);
    return true;
}

// A new reference to exactly bytes with the content of `value`, which must be
// bytes (a subclass is copied).
PyObject* result_of(PyObject* value) {
    if (PyBytes_CheckExact(value)) return Py_NewRef(value);
    if (!PyBytes_Check(value)) {
        PyErr_Format(PyExc_TypeError, "result must be bytes, not %s", Py_TYPE(value)->tp_name);
        return nullptr;
    }
    return PyBytes_FromStringAndSize(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
}

PyObject* made(PyTypeObject* type, unsigned char status, PyObject* result, unsigned long long unfit) {
    auto* self = reinterpret_cast<CallResultObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        Py_DECREF(result);
        return nullptr;
    }
    self->status = status;
    self->result = result;
    self->unfit_answer_bytes = unfit;
    return reinterpret_cast<PyObject*>(self);
}

PyObject* call_result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "CallResult() takes its arguments by position only");
        return nullptr;
    }
    PyObject* status_arg = nullptr;
    PyObject* result_arg = nullptr;
    if (!PyArg_UnpackTuple(args, "CallResult", 2, 2, &status_arg, &result_arg)) return nullptr;
    unsigned char status = 0;
    if (!status_of(status_arg, status)) return nullptr;
    PyObject* result = result_of(result_arg);
    if (result == nullptr) return nullptr;
    return made(type, status, result, 0);
}

void call_result_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<CallResultObject*>(object);
    PyTypeObject* type = Py_TYPE(object);
    Py_XDECREF(self->result);
    type->tp_free(object);
    Py_DECREF(type);  // instances of a heap type hold their type
}

PyObject* get_status(PyObject* object, void*) {
    return PyLong_FromLong(reinterpret_cast<CallResultObject*>(object)->status);
}

int set_status(PyObject* object, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete status");
        return -1;
    }
    unsigned char status = 0;
    if (!status_of(value, status)) return -1;
    reinterpret_cast<CallResultObject*>(object)->status = status;
    return 0;
}

PyObject* get_result(PyObject* object, void*) { return Py_NewRef(reinterpret_cast<CallResultObject*>(object)->result); }

int set_result(PyObject* object, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete result");
        return -1;
    }
    PyObject* result = result_of(value);
    if (result == nullptr) return -1;
    auto* self = reinterpret_cast<CallResultObject*>(object);
    Py_SETREF(self->result, result);
    return 0;
}

PyGetSetDef call_result_getset[] = {
    {"status", get_status, set_status, "The call's status, one of the STATUS_ constants.", nullptr},
    {"result", get_result, set_result, "The answer's bytes (empty unless the status is STATUS_OK).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef call_result_members[] = {
    {"unfit_answer_bytes", Py_T_ULONGLONG, offsetof(CallResultObject, unfit_answer_bytes), Py_READONLY,
     "The size of an answer too large for this node's mailbox (the call then ended with STATUS_EXEC_FAILED)."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot call_result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(call_result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(call_result_dealloc)},
    {Py_tp_getset, call_result_getset},
    {Py_tp_members, call_result_members},
    {Py_tp_doc, const_cast<char*>("CallResult(status, result, /)\n--\n\nThe one outcome of a call.")},
    {0, nullptr},
};

PyType_Spec call_result_spec = {
    "tarnvel_core.CallResult", sizeof(CallResultObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, call_result_slots,
};

}  // namespace

void define_call_result(py::module_& m) {
    auto type = py::reinterpret_steal<py::object>(PyType_FromSpec(&call_result_spec));
    if (!type) throw py::error_already_set();
    m.add_object("CallResult", type);
    // Kept for the life of the interpreter, as the module keeps it.
    call_result_type = reinterpret_cast<PyTypeObject*>(type.release().ptr());
}

py::object call_result_object(CallResult&& outcome) {
    PyObject* result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(outcome.result.data()),
                                                 static_cast<Py_ssize_t>(outcome.result.size()));
    if (result == nullptr) throw py::error_already_set();
    PyObject* object = made(call_result_type, outcome.status, result, outcome.unfit_answer_bytes);
    if (object == nullptr) throw py::error_already_set();
    // Only once it is made: should that fail, the outcome is still whole.
    Bytes().swap(outcome.result);
    return py::reinterpret_steal<py::object>(object);
}

}  // namespace tarnvel::binding
