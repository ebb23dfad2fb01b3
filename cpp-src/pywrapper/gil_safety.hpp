// Holding Python objects on threads that Python did not start (the node's io
// thread, call waiters, the library's shutdown thread).
#pragma once

#include <pybind11/pybind11.h>

#include <type_traits>

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
        if constexpr (std::is_base_of_v<py::handle, PyObjectHolder>) {
            if (holder->ptr() == nullptr) {  // it holds nothing: no Python to touch
                delete holder;
                return;
            }
        }
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

namespace detail {

// A foreign thread's kept Python state; at thread exit its last reference
// goes, and with it the state.
struct KeptThreadState {
    bool kept = false;
    ~KeptThreadState() {
        if (kept && !interpreter_exiting()) {
            py::gil_scoped_acquire gil;
            gil.dec_ref();
        }
    }
};

inline thread_local KeptThreadState kept_thread_state;

}  // namespace detail

// Takes the interpreter lock on a thread that Python did not start (an io
// thread running a Python handler, a resolver thread). The thread's Python
// state is made on first use and kept until the thread ends: making and
// deleting one for every use costs several system calls each time. Whoever
// waits for such a thread to end must not hold the interpreter lock.
class ForeignThreadGil {
public:
    ForeignThreadGil() {
        if (!detail::kept_thread_state.kept) {
            gil_.inc_ref();
            detail::kept_thread_state.kept = true;
        }
    }
    ForeignThreadGil(const ForeignThreadGil&) = delete;
    ForeignThreadGil& operator=(const ForeignThreadGil&) = delete;

private:
    py::gil_scoped_acquire gil_;
};

// True while the calling thread runs a Python method handler of some node.
bool in_python_handler() noexcept;

}  // namespace tarnvel::binding
