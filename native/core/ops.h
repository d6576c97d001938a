// Python operations as the interpreter performs them, for module bodies.
//
// Reach for these before the C API: each gives the result and the errors of
// the Python expression in its comment, and raises a pending error as
// py::error_already_set. Attribute access is in attrs.h (VT_ATTR), texts in
// texts.h (str_of is str(v), format_of is format(v, "")).
#pragma once

#include <cstddef>
#include <initializer_list>
#include <stdexcept>
#include <type_traits>

#include <pybind11/pybind11.h>

#include "errors.h"
#include "names.h"

namespace vt {
namespace py = pybind11;

// fn(*args), or fn(*args[:-k], **{keywords: args[-k:]}) when `keywords`
// names the last k arguments; made through vectorcall (at most 16).
inline py::object call(py::handle fn, std::initializer_list<py::handle> args = {},
                       std::initializer_list<py::handle> keywords = {}) {
    PyObject *argv[16];
    if (args.size() > 16 || keywords.size() > args.size()) throw std::length_error("call arguments");
    std::size_t n = 0;
    for (py::handle arg : args) argv[n++] = arg.ptr();
    if (keywords.size() == 0) return check(PyObject_Vectorcall(fn.ptr(), argv, n, nullptr));
    py::tuple names(keywords.size());
    Py_ssize_t i = 0;
    for (py::handle name : keywords) PyTuple_SET_ITEM(names.ptr(), i++, Py_NewRef(name.ptr()));
    return check(PyObject_Vectorcall(fn.ptr(), argv, n - keywords.size(), names.ptr()));
}

// obj.name() and obj.name(arg), through the method-call fast path.
inline py::object call_method(py::handle obj, py::handle name) {
    return check(PyObject_CallMethodNoArgs(obj.ptr(), name.ptr()));
}
inline py::object call_method(py::handle obj, py::handle name, py::handle arg) {
    return check(PyObject_CallMethodOneArg(obj.ptr(), name.ptr(), arg.ptr()));
}

// bool(value)
inline bool truth(py::handle value) {
    int t = PyObject_IsTrue(value.ptr());
    if (t < 0) throw py::error_already_set();
    return t != 0;
}

// a == b as an `if` takes it (identity first, as containers compare).
inline bool equal(py::handle a, py::handle b) {
    int eq = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (eq < 0) throw py::error_already_set();
    return eq != 0;
}

// a <op> b, the result object (Py_LT, Py_GT, ...).
inline py::object compare(py::handle a, py::handle b, int op) {
    return check(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

// len(obj)
inline Py_ssize_t size(py::handle obj) {
    // An exact list (a command's words, a row...) answers without a call.
    if (PyList_CheckExact(obj.ptr())) return PyList_GET_SIZE(obj.ptr());
    Py_ssize_t n = PyObject_Size(obj.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

// obj[key], obj[key] = value
inline py::object get_item(py::handle obj, py::handle key) {
    return check(PyObject_GetItem(obj.ptr(), key.ptr()));
}
inline void set_item(py::handle obj, py::handle key, py::handle value) {
    if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

// seq[i] for a C index (negative counts from the end).
inline py::object item(py::handle seq, Py_ssize_t i) { return check(PySequence_GetItem(seq.ptr(), i)); }

// operator.index(value) as a C index, as range() or an index takes it:
// TypeError for a non-integer, OverflowError beyond Py_ssize_t.
inline Py_ssize_t index(py::handle value) {
    py::object i = check(PyNumber_Index(value.ptr()));
    Py_ssize_t n = PyNumber_AsSsize_t(i.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    return n;
}

// raise kind(text)
[[noreturn]] inline void fail(PyObject *kind, py::handle text) {
    PyErr_SetObject(kind, text.ptr());
    throw py::error_already_set();
}

// Iterates `iterable` as a for statement does, calling each(item); stops
// early when each returns false (for a body that returns bool).
template <class Each>
void for_each(py::handle iterable, Each &&each) {
    py::object iterator = check(PyObject_GetIter(iterable.ptr()));
    while (PyObject *next = PyIter_Next(iterator.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(next);
        if constexpr (std::is_same_v<decltype(each(item)), bool>) {
            if (!each(item)) return;
        } else {
            each(item);
        }
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

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
