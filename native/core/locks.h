// `with lock:` in native code.
#pragma once

#include <pybind11/pybind11.h>

#include "errors.h"
#include "names.h"

namespace vt {
namespace py = pybind11;

// Runs `body` holding `lock` the way `with lock:` does: taken through its
// acquire() (which waits without the GIL, so the thread that holds the lock
// can always run and release it) and released on every way out. A failing
// release() replaces the body's error, as an error in __exit__ would.
template <class Body>
auto with_lock(py::handle lock, Body &&body) {
    check(PyObject_CallMethodNoArgs(lock.ptr(), VT_ID("acquire").ptr()));
    try {
        auto result = body();
        check(PyObject_CallMethodNoArgs(lock.ptr(), VT_ID("release").ptr()));
        return result;
    } catch (...) {
        check(PyObject_CallMethodNoArgs(lock.ptr(), VT_ID("release").ptr()));
        throw;
    }
}

}  // namespace vt
