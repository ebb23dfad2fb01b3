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
    PyObject* weak_references;
    unsigned long long unfit_answer_bytes;
    unsigned char status;
};

PyTypeObject* call_result_type = nullptr;

// A status as the wire carries it: an integer (not a float) from 0 to 255.
// Anything else that converts to an integer is taken as well, as the class
// always has.
bool status_of(PyObject* value, unsigned char& status) {
    constexpr const char* refused = "status must be an integer from 0 to 255";
    // Not a float, nor text (which int() would parse).
    if (PyFloat_Check(value) || !PyNumber_Check(value)) {
        PyErr_SetString(PyExc_TypeError, refused);
        return false;
    }
    PyObject* number = PyIndex_Check(value) ? PyNumber_Index(value) : PyNumber_Long(value);
    long v = -1;
    if (number != nullptr) {
        v = PyLong_AsLong(number);
        Py_DECREF(number);
    }
    if (v == -1 && PyErr_Occurred() != nullptr) {
        // Only a value that is no such integer is refused as one: running
        // out of memory, or an interrupt, is reported as it is.
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
            !PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return false;
        }
        PyErr_Clear();
    }
    if (v < 0 || v > 255) {
        PyErr_SetString(PyExc_TypeError, refused);
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
    if (result == nullptr) return nullptr;
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

// Made empty and filled by __init__, so that a subclass's own __init__ may
// take other arguments and hand these on with super().__init__().
PyObject* call_result_new(PyTypeObject* type, PyObject*, PyObject*) {
    return made(type, 0, PyBytes_FromStringAndSize(nullptr, 0), 0);
}

int call_result_init(PyObject* object, PyObject* args, PyObject* kwargs) {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "CallResult() takes its arguments by position only");
        return -1;
    }
    PyObject* status_arg = nullptr;
    PyObject* result_arg = nullptr;
    if (!PyArg_UnpackTuple(args, "CallResult", 2, 2, &status_arg, &result_arg)) return -1;
    unsigned char status = 0;
    if (!status_of(status_arg, status)) return -1;
    PyObject* result = result_of(result_arg);
    if (result == nullptr) return -1;
    auto* self = reinterpret_cast<CallResultObject*>(object);
    self->status = status;
    Py_SETREF(self->result, result);
    return 0;
}

void call_result_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<CallResultObject*>(object);
    PyTypeObject* type = Py_TYPE(object);
    if (self->weak_references != nullptr) PyObject_ClearWeakRefs(object);
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
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CallResultObject, weak_references), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot call_result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(call_result_new)},
    {Py_tp_init, reinterpret_cast<void*>(call_result_init)},
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

py::object call_result_object(CallResult&& outcome, std::shared_ptr<py::object>& result_bytes) {
    PyObject* result = result_bytes ? Py_NewRef(result_bytes->ptr())
                                    : PyBytes_FromStringAndSize(reinterpret_cast<const char*>(outcome.result.data()),
                                                                static_cast<Py_ssize_t>(outcome.result.size()));
    if (result == nullptr) throw py::error_already_set();
    PyObject* object = made(call_result_type, outcome.status, result, outcome.unfit_answer_bytes);
    if (object == nullptr) throw py::error_already_set();
    // Only once it is made: should that fail, the outcome is still whole.
    Bytes().swap(outcome.result);
    result_bytes.reset();
    return py::reinterpret_steal<py::object>(object);
}

}  // namespace tarnvel::binding
