#include "convert.h"

#include <cstring>

#include "errors.h"

namespace vt {

Conv conv_for_annotation(const char *a) {
    auto starts = [a](const char *prefix) {
        return std::strncmp(a, prefix, std::strlen(prefix)) == 0;
    };
    if (std::strcmp(a, "str") == 0) return Conv::Str;
    if (std::strcmp(a, "list") == 0 || starts("List[")) return Conv::List;
    if (std::strcmp(a, "dict") == 0 || starts("Dict[")) return Conv::Dict;
    if (std::strcmp(a, "int") == 0) return Conv::Int;
    if (std::strcmp(a, "float") == 0) return Conv::Float;
    if (std::strcmp(a, "bool") == 0) return Conv::Bool;
    return Conv::Any;
}

void raise_argument_type(const char *name, const char *expected, py::handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, Py_TYPE(got.ptr())->tp_name);
    throw py::error_already_set();
}

bool is_number(py::handle value) { return PyNumber_Check(value.ptr()) != 0; }

static bool has_float_protocol(py::handle value) {
    PyNumberMethods *nb = Py_TYPE(value.ptr())->tp_as_number;
    return nb && (nb->nb_float || nb->nb_index);
}

static py::object exact(py::handle value, PyTypeObject *type, const char *name,
                        const char *expected, bool none_ok) {
    if (Py_IS_TYPE(value.ptr(), type) || (none_ok && value.is_none()))
        return py::reinterpret_borrow<py::object>(value);
    raise_argument_type(name, expected, value);
}

py::object convert(Conv conv, py::handle value, const char *name, bool none_ok) {
    switch (conv) {
    case Conv::Any:
        return py::reinterpret_borrow<py::object>(value);
    case Conv::Str:
        return exact(value, &PyUnicode_Type, name, "str", none_ok);
    case Conv::List:
        return exact(value, &PyList_Type, name, "list", none_ok);
    case Conv::Dict:
        return exact(value, &PyDict_Type, name, "dict", none_ok);
    case Conv::Int:
        if (PyLong_CheckExact(value.ptr()) || (none_ok && value.is_none()))
            return py::reinterpret_borrow<py::object>(value);
        if (!is_number(value) || PyUnicode_Check(value.ptr()))
            raise_argument_type(name, "int", value);
        return check(PyNumber_Long(value.ptr()));
    case Conv::Float:
        if (PyFloat_CheckExact(value.ptr()) || (none_ok && value.is_none()))
            return py::reinterpret_borrow<py::object>(value);
        if (!has_float_protocol(value)) raise_argument_type(name, "float", value);
        return check(PyNumber_Float(value.ptr()));
    case Conv::Bool: {
        int truth = PyObject_IsTrue(value.ptr());
        if (truth < 0) throw py::error_already_set();
        return py::bool_(truth != 0);
    }
    }
    return py::reinterpret_borrow<py::object>(value);
}

}  // namespace vt
