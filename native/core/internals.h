// What the layer reads of the interpreter's private state, behind names.
//
// Modules never touch underscore functions or object layouts themselves:
// they ask here. Each function gives what the interpreter itself would find
// (the attribute a class lookup gives, the class `obj.__class__` gives...),
// using, on each of 3.11 to 3.13, the fast path that version allows (its
// unstable API, its watchers, a private layout) and the public API elsewhere.
// The version is decided here and in inline_values.h, at compile time.
// Per-class caches keyed on a type's version tag live in watch.h.
#pragma once

#include <cstdint>

#include <pybind11/pybind11.h>
#include <structmember.h>

#include "errors.h"
#include "inline_values.h"

namespace vt {
namespace py = pybind11;

// What `name` is in the type's method resolution order (a borrowed
// reference, or null), without calling any descriptor; never raises.
inline PyObject *type_lookup(PyTypeObject *type, py::handle name) {
    return _PyType_Lookup(type, name.ptr());
}

// A type's version tag: the interpreter renews it whenever the type, a base
// or their attributes change; 0 when the type has none to give.
inline unsigned int type_version(PyTypeObject *type) {
    return layout::has_version(type) ? type->tp_version_tag : 0;
}

// A dict's version: renewed by every change to the dict. 3.11 keeps one in
// every dict. 3.12 deprecates it for dict watchers, so there each dict asked
// about is watched, and the version is a count of the changes to all the
// dicts watched so far (one watcher, shared by every module of the layer:
// the interpreter has only eight): coarser, as true, and the dicts asked
// about (module namespaces, the builtins, a dataclass's fields) rarely change.
#if PY_VERSION_HEX >= 0x030C0000
struct DictChanges {
    int watcher = -1;          // -1: none could be had
    std::uint64_t count = 0;
};
DictChanges &dict_changes();

// Whether the dict is watched by `watcher` already: the low eight bits of
// its (otherwise deprecated) version field are its watchers on 3.12 and 3.13.
// Read directly, so a dict asked about again costs no call into the
// interpreter (each of which finds the thread state anew).
inline bool dict_watched(py::handle dict, int watcher) {
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#else
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return (reinterpret_cast<PyDictObject *>(dict.ptr())->ma_version_tag >> watcher) & 1;
#if defined(_MSC_VER)
#pragma warning(pop)
#else
#pragma GCC diagnostic pop
#endif
}

inline std::uint64_t dict_version(py::handle dict) {
    DictChanges &changes = dict_changes();
    if (changes.watcher >= 0 && dict_watched(dict, changes.watcher)) return changes.count;
    if (changes.watcher < 0 || PyDict_Watch(changes.watcher, dict.ptr()) < 0) {
        PyErr_Clear();
        // Unwatched: a version no caller has seen, so nothing is trusted.
        return ++changes.count;
    }
    return changes.count;
}
#else
inline std::uint64_t dict_version(py::handle dict) {
    return reinterpret_cast<PyDictObject *>(dict.ptr())->ma_version_tag;
}
#endif

// obj.__class__: the object's type unless its class redefines `__class__`
// or the way attributes are found, in which case it is read as Python does.
py::object class_of(py::handle obj);

// True when `type` keeps object's generic attribute lookup (and, with
// `writes`, its generic store) and names no data descriptor (property,
// slot...) under any of `names`: reading and writing those attributes then
// has no side effect beyond the value. A class attribute under a name (a
// default) counts only if its class is immutable: a mutable one could gain
// __set__ later without `type` changing, and the answer must hold while
// `type` keeps its version tag (see watch.h). `Name` is py::handle or PyObject *.
template <class Name>
bool plain_attributes(PyTypeObject *type, const Name *names, std::size_t count,
                      bool writes = true) {
    if (type->tp_getattro != PyObject_GenericGetAttr ||
        (writes && type->tp_setattro != PyObject_GenericSetAttr))
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject *found = type_lookup(type, names[i]);
        if (found && (Py_TYPE(found)->tp_descr_set ||
                      !PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_IMMUTABLETYPE)))
            return false;
    }
    return true;
}

// The plain Python function `__getattr__` of a class that keeps object's
// own `__getattribute__`; null for any other class.
PyObject *getattr_hook(PyTypeObject *type);

// getattr(obj, name) by the generic lookup alone, with a miss giving null
// and no error (for a class whose getattr_hook the caller calls itself).
inline py::object generic_attr_or_null(py::handle obj, py::handle name) {
    PyObject *found = _PyObject_GenericGetAttrWithDict(obj.ptr(), name.ptr(), nullptr, 1);
    if (!found && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(found);
}

// int `v` == `value`, for an exact int, without making an int of `value`.
inline bool int_equals(PyObject *v, long long value) {
    // An int of at most one digit (nearly every count and volume) is its
    // digit and sign.
#if PY_VERSION_HEX >= 0x030C0000
    auto *number = reinterpret_cast<PyLongObject *>(v);
    if (PyUnstable_Long_IsCompact(number))
        return static_cast<long long>(PyUnstable_Long_CompactValue(number)) == value;
#else
    const Py_ssize_t digits = Py_SIZE(v);
    if (digits >= -1 && digits <= 1)
        return digits * static_cast<long long>(reinterpret_cast<PyLongObject *>(v)->ob_digit[0]) == value;
#endif
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
    return !overflow && x == value;
}

// How the host's dataclasses write a generated __eq__: up to 3.12 as one
// comparison of the fields' tuples (items compared by identity first); from
// 3.13 as `self is other` first, then `self.a == other.a and ...`, whose
// value is the first false comparison's result, or the last one's.
constexpr bool kDataclassEqByTuple = PY_VERSION_HEX < 0x030D0000;

// A docstring as the host's compiler stores the same text written in a
// class or def: from 3.13 the compiler strips the first line's leading spaces
// and the indentation common to the later lines (tabs expanded first).
py::object docstring(const char *doc);

// True when obj.__class__ is the object's type for every instance of `type`
// (class_of's fast case), for a caller that learns it once per class.
bool plain_class(PyTypeObject *type);

// The offset of the object slot `name` in instances of `type`, as getattr
// reads it: the member descriptor generic lookup finds first on the type,
// of an object member (T_OBJECT_EX) anyone may read; -1 if the type holds
// anything else under the name. For reading many instances' slots (the
// fields of a dataclass record) without a lookup each.
inline Py_ssize_t slot_offset(PyTypeObject *type, py::handle name) {
    PyObject *descr = type_lookup(type, name);
    if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) return -1;
    PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(descr)->d_member;
    return member->type == T_OBJECT_EX && !(member->flags & READ_RESTRICTED) ? member->offset : -1;
}

// The object in the slot at `offset` (from slot_offset) of `obj`, borrowed;
// null when the slot is empty, where getattr would raise AttributeError.
inline PyObject *slot_value(PyObject *obj, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + offset);
}

// Where one name stands among the shared keys of a class's instances, as a
// caller last found it (-1: not there). Shared keys only grow, so the place
// is searched again only when their entry count has changed.
struct KeyPlace {
    Py_ssize_t index = -1;
    Py_ssize_t seen = -1;
};

// Whether the instance of `type` whose inline values are `values` (from a
// RecordLayout) has its own attribute `name`, one that hides the class's.
inline bool values_hold(PyTypeObject *type, PyObject *const *values, py::handle name,
                        KeyPlace &place) {
#ifdef VT_INLINE_VALUES
    const layout::KeysHead *keys = layout::shared_keys(type);
    if (!keys) return false;
    if (keys->dk_nentries != place.seen) {
        place.index = layout::shared_index(keys, name.ptr());
        place.seen = keys->dk_nentries;
    }
    return place.index >= 0 && values[place.index];
#else
    (void)type, (void)values, (void)name, (void)place;
    return false;
#endif
}

}  // namespace vt
