#include "attrs.h"

#include "inline_values.h"
#include "internals.h"

namespace vt {

#ifdef VT_INLINE_VALUES
Py_ssize_t layout::shared_index(const KeysHead *keys, PyObject *name) {
    const UnicodeEntry *entries = entries_of(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i)
        if (entries[i].key == name) return i;
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
        PyObject *key = entries[i].key;
        if (key && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0) return i;
    }
    return -1;
}
#endif

namespace {

#ifdef VT_INLINE_VALUES
using layout::entries_of;
using layout::inline_values;
using layout::KeysHead;
using layout::kGeneralKeys;
using layout::managed_dict;
using layout::shared_index;
using layout::shared_keys;
using layout::UnicodeEntry;
constexpr Py_ssize_t kMaxHintScan = 64;
#endif

// A read from the instance dict, as the generic lookup does it; null for a
// miss. As the interpreter's loads from instance dicts do, the site keeps
// the entry where the name was last found (`hint`) and looks there first.
// An error (only a key of the dict comparing badly can raise one) is
// dropped: the generic lookup that follows raises it again.
VT_ALWAYS_INLINE PyObject *dict_read(PyObject *dict, PyObject *name, Py_ssize_t &hint) {
#ifdef VT_INLINE_VALUES
    auto *d = reinterpret_cast<PyDictObject *>(dict);
    const auto *keys = reinterpret_cast<const KeysHead *>(d->ma_keys);
    if (keys->dk_kind != kGeneralKeys) {
        const UnicodeEntry *entries = entries_of(keys);
        if (hint < 0 || hint >= keys->dk_nentries || entries[hint].key != name) {
            hint = -1;
            if (keys->dk_nentries <= kMaxHintScan)
                for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i)
                    if (entries[i].key == name) hint = i;
        }
        if (hint >= 0) {
            PyObject **values = layout::dict_values(d);
            PyObject *value = values ? values[hint] : entries[hint].value;
            if (value) return value;
        }
    }
#else
    (void)hint;
#endif
    PyObject *found = PyDict_GetItemWithError(dict, name);
    if (!found && PyErr_Occurred()) PyErr_Clear();
    return found;
}

}  // namespace

#ifdef VT_INLINE_VALUES
bool AttrSite::find_index(Facts &site, PyTypeObject *type) {
    const KeysHead *keys = shared_keys(type);
    if (!keys) return false;
    if (keys == site.missing_from && keys->dk_nentries == site.missing_entries) return false;
    site.index = shared_index(keys, name_);
    if (site.index >= 0) return true;
    site.missing_from = keys;
    site.missing_entries = keys->dk_nentries;
    return false;
}
#else
bool AttrSite::find_index(Facts &, PyTypeObject *) { return false; }
#endif

py::object AttrSite::get_call(py::handle obj) { return get(obj); }

void AttrSite::set_call(py::handle obj, py::handle value) { set(obj, value); }

PyObject *AttrSite::fast_read(Facts &site, PyObject *o) {
    switch (site.read_mode) {
    case Mode::Values: {
#ifdef VT_INLINE_VALUES
        if (PyObject **values = inline_values(o)) {
            if (site.index < 0 && !find_index(site, Py_TYPE(o))) return nullptr;
            return values[site.index];
        }
        PyObject *dict = managed_dict(o);
        return dict ? dict_read(dict, name_, site.hint) : nullptr;
#else
        return nullptr;
#endif
    }
    case Mode::Dict: {
        PyObject *dict = slot_value(o, site.dict_offset);
        return dict ? dict_read(dict, name_, site.hint) : nullptr;
    }
    case Mode::Generic:
        break;
    }
    return nullptr;
}

// Replaces an attribute the instance already has in its inline values;
// adding one (which also records the insertion order) and a store into an
// instance dict are left to the generic store.
bool AttrSite::fast_write(Facts &site, PyObject *o, PyObject *value) {
#ifdef VT_INLINE_VALUES
    PyObject **values = site.write_mode == Mode::Values ? inline_values(o) : nullptr;
    if (!values) return false;
    if (site.index < 0 && !find_index(site, Py_TYPE(o))) return false;
    PyObject *old = values[site.index];
    if (!old) return false;
    // Storing the object already there changes nothing a program can see
    // (no dict exists to be watched while the values are its store): skip
    // the reference traffic.
    if (old == value) return true;
    values[site.index] = Py_NewRef(value);
    Py_DECREF(old);
    return true;
#else
    (void)site, (void)o, (void)value;
    return false;
#endif
}

void AttrSite::learn(PyTypeObject *type) {
    PyObject *name = this->name().ptr();
    Facts site;
    // The lookup also gives the type a version tag where it can have one;
    // facts about a type without one are not kept (watch.h).
    PyObject *attribute = _PyType_Lookup(type, name);
    bool direct = true;
    if (attribute) {
        PyTypeObject *kind = Py_TYPE(attribute);
        if (kind->tp_descr_set) {
            direct = false;
        } else if (!PyType_HasFeature(kind, Py_TPFLAGS_IMMUTABLETYPE)) {
            _PyType_Lookup(kind, name);
            if (layout::has_version(kind)) {
                site.holder_type = kind;
                site.holder_version = kind->tp_version_tag;
            } else {
                direct = false;
            }
        }
    }
    Mode mode = Mode::Generic;
    if (direct) {
#ifdef VT_INLINE_VALUES
        if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
            mode = Mode::Values;
            if (const KeysHead *keys = shared_keys(type)) site.index = shared_index(keys, name);
        } else
#endif
            if (type->tp_dictoffset > 0) {
            mode = Mode::Dict;
            site.dict_offset = type->tp_dictoffset;
        }
    }
    if (type->tp_getattro == PyObject_GenericGetAttr) site.read_mode = mode;
    if (type->tp_setattro == PyObject_GenericSetAttr) site.write_mode = mode;
    watch_.keep(type, site);
}

}  // namespace vt
