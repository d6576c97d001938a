#include "function.h"

#include "errors.h"

namespace vt {

// TypeError "Argument 'x' has incorrect type (expected str, got int)".
[[noreturn]] static void raise_argument_type(const char *name, const char *expected,
                                             py::handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, Py_TYPE(got.ptr())->tp_name);
    throw py::error_already_set();
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
        if (!PyNumber_Check(value.ptr()) || PyUnicode_Check(value.ptr()))
            raise_argument_type(name, "int", value);
        return check(PyNumber_Long(value.ptr()));
    case Conv::Float: {
        if (PyFloat_CheckExact(value.ptr()) || (none_ok && value.is_none()))
            return py::reinterpret_borrow<py::object>(value);
        PyNumberMethods *nb = Py_TYPE(value.ptr())->tp_as_number;
        if (!nb || (!nb->nb_float && !nb->nb_index)) raise_argument_type(name, "float", value);
        return check(PyNumber_Float(value.ptr()));
    }
    case Conv::Bool: {
        int truth = PyObject_IsTrue(value.ptr());
        if (truth < 0) throw py::error_already_set();
        return py::bool_(truth != 0);
    }
    }
    return py::reinterpret_borrow<py::object>(value);
}

}  // namespace vt
