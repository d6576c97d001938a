// The helpers of celbridge.h that are not inline.
#include "celbridge.h"

#include <cstring>

namespace cel {

namespace {

// The type's __getattr__ when `type` keeps object's own attribute lookup and
// adds a plain-function __getattr__; null otherwise.
PyObject *plain_getattr_hook(PyTypeObject *type) {
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || type->tp_getattro == PyObject_GenericGetAttr)
        return nullptr;
    PyObject *hook = _PyType_Lookup(type, VT_ID("__getattr__").ptr());
    if (!hook || !PyFunction_Check(hook)) return nullptr;
    PyObject *lookup = _PyType_Lookup(type, VT_ID("__getattribute__").ptr());
    if (!lookup || !Py_IS_TYPE(lookup, &PyWrapperDescr_Type) ||
        reinterpret_cast<PyWrapperDescrObject *>(lookup)->d_wrapped !=
            reinterpret_cast<void *>(PyObject_GenericGetAttr))
        return nullptr;
    return hook;
}

}  // namespace

Members::Members(py::object constants)
    : constants_(std::move(constants)),
      hook_(py::reinterpret_borrow<py::object>(plain_getattr_hook(Py_TYPE(constants_.ptr())))) {}

py::object Members::get(py::handle name) const {
    if (!hook_) return vt::get_attr(constants_, name);
    if (PyObject *found = _PyObject_GenericGetAttrWithDict(constants_.ptr(), name.ptr(), nullptr, 1))
        return py::reinterpret_steal<py::object>(found);
    if (PyErr_Occurred()) throw py::error_already_set();
    PyObject *argv[] = {constants_.ptr(), name.ptr()};
    return vt::check(PyObject_Vectorcall(hook_.ptr(), argv, 2, nullptr));
}

py::object last_part(py::handle name) {
    if (!PyUnicode_CheckExact(name.ptr())) {
        py::object parts = vt::check(
            PyObject_CallMethodOneArg(name.ptr(), VT_ID("split").ptr(), VT_ID(".").ptr()));
        return vt::check(PySequence_GetItem(parts.ptr(), -1));
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name.ptr());
    const Py_ssize_t dot = PyUnicode_FindChar(name.ptr(), '.', 0, length, -1);
    if (dot == -2) throw py::error_already_set();
    if (dot == -1) return py::reinterpret_borrow<py::object>(name);
    return vt::check(PyUnicode_Substring(name.ptr(), dot + 1, length));
}

int symbol_match(py::handle name, py::handle symbol) {
    int contained = PySequence_Contains(name.ptr(), symbol.ptr());
    if (contained < 0) throw py::error_already_set();
    if (!contained) return 0;
    if (equal(name, symbol) || equal(last_part(name), symbol)) return 2;
    return 1;
}

namespace {

bool is_builtin_datetime(py::handle cls) {
    if (!PyType_CheckExact(cls.ptr())) return false;
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    return !(type->tp_flags & Py_TPFLAGS_HEAPTYPE) && std::strcmp(type->tp_name, "datetime.datetime") == 0;
}

}  // namespace

py::object cqg_time(vt::Call &c, py::handle stamp, TimeArgs args) {
    py::object fields[] = {VT_ATTR(stamp, "year"),   VT_ATTR(stamp, "month"),
                           VT_ATTR(stamp, "day"),    VT_ATTR(stamp, "hour"),
                           VT_ATTR(stamp, "minute"), VT_ATTR(stamp, "second")};
    PyObject *argv[] = {fields[0].ptr(), fields[1].ptr(), fields[2].ptr(),
                        fields[3].ptr(), fields[4].ptr(), fields[5].ptr()};
    py::object datetime = c.global(VT_ID("datetime"));
    // The interpreter's own datetime class builds the same value from the
    // fields by position as by keyword, and by position far faster.
    if (args == TimeArgs::Positional || is_builtin_datetime(datetime))
        return vt::check(PyObject_Vectorcall(datetime.ptr(), argv, 6, nullptr));
    py::tuple names = py::make_tuple(VT_ID("year"), VT_ID("month"), VT_ID("day"),
                                     VT_ID("hour"), VT_ID("minute"), VT_ID("second"));
    return vt::check(PyObject_Vectorcall(datetime.ptr(), argv, 0, names.ptr()));
}

}  // namespace cel
