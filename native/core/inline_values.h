// Where CPython keeps an instance's attributes.
//
// The attributes of most instances of classes defined in Python (and of
// classes built by the layer) live outside any dict: an array of values
// indexed like the class's shared key table, with a dict made only when
// something asks for it. The interpreter's specialised loads and stores
// index that array directly. No public header describes where the array is,
// and each version put it somewhere else:
//
//   3.11  a pointer to it just before the object (4 words before);
//   3.12  one word 3 before the object holds either the instance dict or,
//         tagged in its low bit, a pointer to the values;
//   3.13  the values follow the object's head inside the object itself, with
//         a small header that says whether they are still valid, and the
//         dict pointer (3 words before) is set once a dict has been made,
//         even one that shares the values.
//
// (Include/internal/pycore_object.h and pycore_dict.h of each version.) The
// forms below are chosen at compile time; any other version, and the
// free-threaded build, define no VT_INLINE_VALUES, and the layer's attribute
// paths then take the dict or the generic lookup.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vt::layout {

// Whether the type carries a version tag; the interpreter renews it whenever
// the type, a base or their attributes change.
inline bool has_version(PyTypeObject *type) {
#if PY_VERSION_HEX >= 0x030D0000
    // 3.13 no longer sets Py_TPFLAGS_VALID_VERSION_TAG: a change to the type
    // resets its tag to 0, which is "none".
    return type->tp_version_tag != 0;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
#endif
}

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define VT_INLINE_VALUES 1

// The fixed head of a dict key table; the index table and then the entries
// follow it. The same on 3.11 to 3.13 (3.13 adds a lock only when built
// without the GIL).
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

#if PY_VERSION_HEX >= 0x030D0000
// 3.13's values array, with its header.
struct ValuesHead {
    std::uint8_t capacity;
    std::uint8_t size;
    std::uint8_t embedded;
    std::uint8_t valid;
    PyObject *values[1];
};
#endif

// The values of a split-table dict (a class's instance dict that shares its
// keys), indexed like the keys.
inline PyObject **dict_values(PyDictObject *d) {
    if (!d->ma_values) return nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    return reinterpret_cast<ValuesHead *>(d->ma_values)->values;
#else
    return reinterpret_cast<PyObject **>(d->ma_values);
#endif
}

// The instance's own dict, if one was made (for a class with a managed dict).
inline PyObject *managed_dict(PyObject *o) {
    PyObject *slot = *(reinterpret_cast<PyObject **>(o) - 3);
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
    // Tagged: the values, not a dict.
    if (reinterpret_cast<std::uintptr_t>(slot) & 1) return nullptr;
#endif
    return slot;
}

// The instance's values while they are the only store of its attributes
// (the interpreter's own stores take the same condition), or null: once its
// dict has been made, the dict is the store to go through.
inline PyObject **inline_values(PyObject *o) {
#if PY_VERSION_HEX >= 0x030D0000
    if (!PyType_HasFeature(Py_TYPE(o), Py_TPFLAGS_INLINE_VALUES) || managed_dict(o)) return nullptr;
    // Such a class adds nothing to object's head: the values follow it.
    auto *head = reinterpret_cast<ValuesHead *>(reinterpret_cast<char *>(o) + sizeof(PyObject));
    return head->valid ? head->values : nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    char *slot = *(reinterpret_cast<char **>(o) - 3);
    return reinterpret_cast<std::uintptr_t>(slot) & 1 ? reinterpret_cast<PyObject **>(slot + 1) : nullptr;
#else
    return *(reinterpret_cast<PyObject ***>(o) - 4);
#endif
}

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
