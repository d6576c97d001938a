#include "internals.h"

#include "attrs.h"

namespace vt {

py::object class_of(py::handle obj) {
    PyTypeObject *type = Py_TYPE(obj.ptr());
    if (plain_class(type))
        return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(type));
    return VT_ATTR(obj, "__class__");
}

bool plain_class(PyTypeObject *type) {
    py::handle name = VT_ID("__class__");
    // object's own descriptor, found once: a static type's attributes never change.
    static PyObject *object_class = nullptr;
    if (!object_class) object_class = type_lookup(&PyBaseObject_Type, name);
    return type->tp_getattro == PyObject_GenericGetAttr &&
           type_lookup(type, name) == object_class;
}

PyObject *getattr_hook(PyTypeObject *type) {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || type->tp_getattro == PyObject_GenericGetAttr)
        return nullptr;
    PyObject *hook = type_lookup(type, VT_ID("__getattr__"));
    if (!hook || !PyFunction_Check(hook)) return nullptr;
    PyObject *lookup = type_lookup(type, VT_ID("__getattribute__"));
    if (!lookup || !Py_IS_TYPE(lookup, &PyWrapperDescr_Type) ||
        reinterpret_cast<PyWrapperDescrObject *>(lookup)->d_wrapped !=
            reinterpret_cast<void *>(PyObject_GenericGetAttr))
        return nullptr;
    return hook;
}

}  // namespace vt
