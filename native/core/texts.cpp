#include "texts.h"

#include <cstdio>
#include <cstring>

#include <datetime.h>

#include "errors.h"

namespace vt {

py::object concat(const py::handle *begin, std::size_t count) {
    const py::handle *end = begin + count;
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (const py::handle *part = begin; part != end; ++part) {
        PyObject *p = part->ptr();
        if (!PyUnicode_Check(p)) {
            PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                         Py_TYPE(p)->tp_name);
            throw py::error_already_set();
        }
        if (length > PY_SSIZE_T_MAX - PyUnicode_GET_LENGTH(p)) throw std::bad_alloc();
        length += PyUnicode_GET_LENGTH(p);
        Py_UCS4 part_max = PyUnicode_MAX_CHAR_VALUE(p);
        if (part_max > max_char) max_char = part_max;
    }
    py::object text = check(PyUnicode_New(length, max_char));
    const int kind = PyUnicode_KIND(text.ptr());
    char *data = static_cast<char *>(PyUnicode_DATA(text.ptr()));
    Py_ssize_t at = 0;
    for (const py::handle *part = begin; part != end; ++part) {
        PyObject *p = part->ptr();
        const Py_ssize_t n = PyUnicode_GET_LENGTH(p);
        if (PyUnicode_KIND(p) == kind)
            std::memcpy(data + at * kind, PyUnicode_DATA(p), static_cast<std::size_t>(n) * kind);
        else if (PyUnicode_CopyCharacters(text.ptr(), at, p, 0, n) < 0)
            throw py::error_already_set();
        at += n;
    }
    return text;
}

PyTypeObject *datetime_type() {
    // PyDateTimeAPI is a zero-initialised pointer, filled under the GIL (see once.h).
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw py::error_already_set();
    }
    return PyDateTimeAPI->DateTimeType;
}

py::object str_of(py::handle value) {
    PyObject *v = value.ptr();
    if (PyUnicode_CheckExact(v)) return py::reinterpret_borrow<py::object>(value);
    if (Py_IS_TYPE(v, datetime_type()) && PyDateTime_DATE_GET_TZINFO(v) == Py_None) {
        char text[40];
        const int micro = PyDateTime_DATE_GET_MICROSECOND(v);
        int n = std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d",
                              PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v),
                              PyDateTime_GET_DAY(v), PyDateTime_DATE_GET_HOUR(v),
                              PyDateTime_DATE_GET_MINUTE(v), PyDateTime_DATE_GET_SECOND(v));
        if (micro) n += std::snprintf(text + n, sizeof text - n, ".%06d", micro);
        return check(PyUnicode_FromStringAndSize(text, n));
    }
    return check(PyObject_Str(v));
}

}  // namespace vt
