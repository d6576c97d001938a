// `assert` statements in native code: live unless the interpreter runs with
// -O (sys.flags.optimize), as they are in Python code.
#pragma once

#include <pybind11/pybind11.h>

namespace vt {
namespace py = pybind11;

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
