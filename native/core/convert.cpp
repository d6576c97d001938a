#include "function.h"

#include "errors.h"
#include "ops.h"

namespace vt {

// The exact type that each conversion, in Conv's order, lets through as it
// is, and its name in the TypeError for anything else (Any and Bool take
// every argument).
static const struct {
    PyTypeObject *type;
    const char *name;
} kExact[] = {{nullptr, nullptr},     {&PyUnicode_Type, "str"}, {&PyList_Type, "list"},
              {&PyDict_Type, "dict"}, {&PyLong_Type, "int"},    {&PyFloat_Type, "float"}};

py::object convert(Conv conv, py::handle value, const char *name, bool none_ok) {
    PyObject *v = value.ptr();
    if (conv == Conv::Any) return py::reinterpret_borrow<py::object>(value);
    if (conv == Conv::Bool) return py::bool_(truth(value));
    const auto &exact = kExact[static_cast<int>(conv)];
    if (Py_IS_TYPE(v, exact.type) || (none_ok && value.is_none()))
        return py::reinterpret_borrow<py::object>(value);
    // "int" and "float" take any number and convert it.
    if (conv == Conv::Int && PyNumber_Check(v) && !PyUnicode_Check(v))
        return check(PyNumber_Long(v));
    PyNumberMethods *nb = Py_TYPE(v)->tp_as_number;
    if (conv == Conv::Float && nb && (nb->nb_float || nb->nb_index))
        return check(PyNumber_Float(v));
    // TypeError "Argument 'x' has incorrect type (expected str, got int)".
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, exact.name, Py_TYPE(v)->tp_name);
    throw py::error_already_set();
}

}  // namespace vt
