// Turning C++ exceptions into Python errors at the interpreter boundary,
// and `assert` statements in native code: live unless the interpreter runs
// with -O (sys.flags.optimize), as they are in Python code.
#pragma once

#include <pybind11/pybind11.h>

#include "always_inline.h"

namespace vt {
namespace py = pybind11;

// Sets the Python error that matches the exception being handled; call it
// only inside a catch block. A Python error raised below a native call is
// restored unchanged; any other C++ exception becomes a RuntimeError.
void set_error_from_exception() noexcept;

// Runs `body` and returns its result, or nullptr with the Python error set
// if it threw: the one place where C++ exceptions stop.
template <class Body>
PyObject *guarded(Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_exception();
        return nullptr;
    }
}

// Raises the pending Python error as a C++ exception when `result` is null.
VT_ALWAYS_INLINE py::object check(PyObject *result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

namespace detail {
// Read when a module is executed (see module.cpp): the optimisation level
// is fixed at start-up, and a lookup on first use would run Python code
// in the middle of a call.
extern bool assertions_enabled;
}  // namespace detail

// True when the interpreter runs assert statements.
inline bool assertions_enabled() { return detail::assertions_enabled; }

// `assert condition, message`: raises AssertionError(message) when
// assertions are enabled and the condition is false.
inline void assert_that(bool condition, const char *message) {
    if (!condition && assertions_enabled()) {
        PyErr_SetString(PyExc_AssertionError, message);
        throw py::error_already_set();
    }
}

}  // namespace vt
