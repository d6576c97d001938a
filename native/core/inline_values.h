// Where CPython 3.11 keeps an instance's attributes.
//
// The attributes of most instances of classes defined in Python (and of
// classes built by the layer) live outside any dict: an array of values just
// before the object, indexed like the class's shared key table, with a dict
// made only when something asks for it. The interpreter's specialised loads
// and stores index that array directly; the layout below is that of 3.11
// (Include/internal/pycore_object.h and pycore_dict.h), which no public
// header describes. Other versions define no VT_INLINE_VALUES, and the
// layer's attribute paths then take the dict or the generic lookup.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vt::layout {

// Whether the type carries a version tag; the interpreter renews it whenever
// the type, a base or their attributes change.
inline bool has_version(PyTypeObject *type) {
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
}

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define VT_INLINE_VALUES 1

// The fixed head of a dict key table; the index table and then the entries
// follow it.
struct KeysHead {
    Py_ssize_t dk_refcnt;
    std::uint8_t dk_log2_size;
    std::uint8_t dk_log2_index_bytes;
    std::uint8_t dk_kind;
    std::uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
};
constexpr std::uint8_t kGeneralKeys = 0;
constexpr std::uint8_t kSplitKeys = 2;

struct UnicodeEntry {
    PyObject *key;
    PyObject *value;
};

inline const UnicodeEntry *entries_of(const KeysHead *keys) {
    return reinterpret_cast<const UnicodeEntry *>(reinterpret_cast<const char *>(keys) +
                                                  sizeof(KeysHead) +
                                                  (std::size_t{1} << keys->dk_log2_index_bytes));
}

// The instance's values, or null once its dict has been made (a values
// array, once given up, never comes back).
inline PyObject **inline_values(PyObject *o) { return *(reinterpret_cast<PyObject ***>(o) - 4); }
inline PyObject **managed_dict(PyObject *o) { return reinterpret_cast<PyObject **>(o) - 3; }

// The class's shared key table, if it has one.
inline const KeysHead *shared_keys(PyTypeObject *type) {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return nullptr;
    auto *keys = reinterpret_cast<const KeysHead *>(
        reinterpret_cast<PyHeapTypeObject *>(type)->ht_cached_keys);
    return keys && keys->dk_kind == kSplitKeys ? keys : nullptr;
}

// The name's slot in the class's shared keys, or -1. Shared keys only ever
// grow, so a slot once found stays that name's slot.
Py_ssize_t shared_index(const KeysHead *keys, PyObject *name);

#endif

}  // namespace vt::layout
