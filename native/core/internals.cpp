#include "internals.h"

#include "attrs.h"

namespace vt {

#if PY_VERSION_HEX >= 0x030C0000
namespace {

// Each module links its own copy of this layer; the first one to need the
// watcher keeps the count here and leaves its address in the interpreter's
// dict for the others.
DictChanges first_changes;
DictChanges *shared_changes = nullptr;
constexpr const char *kChangesKey = "velmor_trader.dict_changes";

int count_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++first_changes.count;
    return 0;
}

DictChanges *find_or_start_changes() {
    PyObject *state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!state) return &first_changes;  // no watcher: nothing is trusted
    PyObject *kept = PyDict_GetItemString(state, kChangesKey);
    if (kept && PyCapsule_CheckExact(kept))
        if (void *found = PyCapsule_GetPointer(kept, kChangesKey)) return static_cast<DictChanges *>(found);
    PyErr_Clear();
    first_changes.watcher = PyDict_AddWatcher(count_change);
    if (first_changes.watcher < 0) {
        PyErr_Clear();
        return &first_changes;
    }
    PyObject *capsule = PyCapsule_New(&first_changes, kChangesKey, nullptr);
    if (!capsule || PyDict_SetItemString(state, kChangesKey, capsule) < 0) PyErr_Clear();
    Py_XDECREF(capsule);
    return &first_changes;
}

}  // namespace

DictChanges &dict_changes() {
    if (!shared_changes) shared_changes = find_or_start_changes();
    return *shared_changes;
}
#endif

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
