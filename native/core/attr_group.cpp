#include "attr_group.h"

namespace vt {

bool RecordLayout::learn(PyTypeObject *type, PyObject *const *names, std::size_t n,
                         Facts &layout) const {
#ifdef VT_INLINE_VALUES
    if (n > kMaxLayoutNames) return true;
    bool direct = PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) &&
                  type->tp_getattro == PyObject_GenericGetAttr &&
                  (access_ == Access::Read || type->tp_setattro == PyObject_GenericSetAttr);
    // A class attribute under a name hides nothing while it is no data
    // descriptor (a field default, a method). One whose type could still
    // gain a __set__ is left to the per-name sites, which follow that type.
    // The lookups also give the class a version tag where it can have one.
    for (std::size_t i = 0; i < n; ++i) {
        if (PyObject *attribute = _PyType_Lookup(type, names[i])) {
            PyTypeObject *kind = Py_TYPE(attribute);
            if (kind->tp_descr_set || !PyType_HasFeature(kind, Py_TPFLAGS_IMMUTABLETYPE)) direct = false;
        }
    }
    const layout::KeysHead *keys = layout::shared_keys(type);
    if (!direct || !keys) return true;
    for (std::size_t i = 0; i < n; ++i) {
        layout.index[i] = layout::shared_index(keys, names[i]);
        // No instance has had the attribute yet.
        if (layout.index[i] < 0) return false;
    }
    layout.direct = true;
#else
    (void)type, (void)names, (void)n, (void)layout;
#endif
    return true;
}

}  // namespace vt
