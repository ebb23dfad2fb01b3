// Holding Python objects on threads that Python did not start (the node's io
// thread, call waiters, the library's shutdown thread).
#pragma once

#include <pybind11/pybind11.h>

namespace tarnvel::binding {

namespace py = pybind11;

// True once the interpreter has begun to shut down. A foreign thread that
// tries to attach from then on is parked for good by CPython, so such threads
// must leave Python alone instead.
inline bool interpreter_exiting() noexcept { return Py_IsFinalizing() != 0 || Py_IsInitialized() == 0; }

// Deleter for Python references shared with foreign threads: the last owner
// can be any thread, with or without the interpreter lock.
struct GilSafeDelete {
    template <class PyObjectHolder>
    void operator()(PyObjectHolder* holder) const noexcept {
        if (PyThreadState_GetUnchecked() != nullptr) {  // this thread holds the lock
            delete holder;
            return;
        }
        if (interpreter_exiting()) {
            // Touching Python now would park this thread; the process is
            // exiting, so the reference is leaked instead.
            (void)holder->release();
            delete holder;
            return;
        }
        py::gil_scoped_acquire gil;
        delete holder;
    }
};

// True while the calling thread runs a Python method handler of some node.
bool in_python_handler() noexcept;

}  // namespace tarnvel::binding
