// `assert` statements in native code: live unless the interpreter runs with
// -O (sys.flags.optimize), as they are in Python code.
#pragma once

#include <pybind11/pybind11.h>

namespace vt {
namespace py = pybind11;

// True when the interpreter runs assert statements; read once, since the
// optimisation level is fixed at start-up.
inline bool assertions_enabled() {
    static const bool enabled =
        py::module_::import("sys").attr("flags").attr("optimize").cast<long>() == 0;
    return enabled;
}

// `assert condition, message`: raises AssertionError(message) when
// assertions are enabled and the condition is false.
inline void assert_that(bool condition, const char *message) {
    if (!condition && assertions_enabled()) {
        PyErr_SetString(PyExc_AssertionError, message);
        throw py::error_already_set();
    }
}

}  // namespace vt
