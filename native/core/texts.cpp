#include "texts.h"

#include <cstring>

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

}  // namespace vt
