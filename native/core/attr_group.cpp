#include "attr_group.h"

namespace vt {

bool RecordLayout::learn(PyTypeObject *type, PyObject *const *names, std::size_t n,
                         Facts &layout) const {
#ifdef VT_INLINE_VALUES
    // The lookups also give the class a version tag where it can have one.
    if (n > kMaxLayoutNames || !plain_attributes(type, names, n, access_ == Access::ReadWrite) ||
        !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT))
        return true;
    const layout::KeysHead *keys = layout::shared_keys(type);
    if (!keys) return true;
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
