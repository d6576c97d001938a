#include "internals.h"

#include "attrs.h"

#include <algorithm>
#include <string>

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

py::object docstring(const char *doc) {
    if (!doc) return py::none();
#if PY_VERSION_HEX >= 0x030D0000
    std::string text;  // str.expandtabs(), columns counted in characters
    std::size_t column = 0;
    for (const char *p = doc; *p; ++p) {
        if (*p == '\t') {
            do text += ' '; while (++column % 8);
        } else {
            text += *p;
            if (*p == '\n' || *p == '\r') column = 0;
            else if ((*p & 0xC0) != 0x80) ++column;
        }
    }
    const std::size_t end = text.size();
    std::size_t p = text.find('\n');
    p = p == std::string::npos ? end : p + 1;
    std::size_t margin = std::string::npos;  // the least indentation of a later, non-blank line
    while (p < end) {
        const std::size_t start = p;
        while (p < end && text[p] == ' ') ++p;
        if (p < end && text[p] != '\n') margin = std::min(margin, p - start);
        while (p < end && text[p++] != '\n') {}
    }
    if (margin == std::string::npos) margin = 0;
    std::size_t q = 0;
    while (q < end && text[q] == ' ') ++q;
    std::string clean;
    while (q < end) {  // the first line, without its leading spaces
        clean += text[q];
        if (text[q++] == '\n') break;
    }
    while (q < end) {  // each later line, less the margin
        for (std::size_t i = 0; i < margin && q < end && text[q] == ' '; ++i) ++q;
        while (q < end) {
            clean += text[q];
            if (text[q++] == '\n') break;
        }
    }
    return py::str(clean);
#else
    return py::str(doc);
#endif
}

}  // namespace vt
