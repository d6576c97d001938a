#include "attrs.h"

#include "errors.h"
#include "names.h"

namespace vt {

namespace {

// The `value` property that enum.Enum defines (its getter returns the
// member's `_value_`); kept for the life of the process.
PyObject *standard_value_property = nullptr;

}  // namespace

void remember_enum_value_property() {
    py::object property =
        py::module_::import("enum").attr("Enum").attr("__dict__")["value"];
    if (!standard_value_property) standard_value_property = property.release().ptr();
}

py::object enum_value(py::handle member) {
    // The property is a data descriptor, so an instance attribute cannot
    // shadow it: when the member's class resolves `value` to it, the result
    // is the member's `_value_`. Enums that redefine `value` take the long way.
    // What the class resolves `value` to is learnt once per class version
    // (a type lookup finds the thread state on every call on 3.12 and later).
    static ClassWatch<bool> standard;
    const bool plain = standard.facts(Py_TYPE(member.ptr()), [](PyTypeObject *type) {
        PyObject *found = _PyType_Lookup(type, VT_ID("value").ptr());
        return found && found == standard_value_property;
    });
    if (plain) return VT_ATTR(member, "_value_");
    return VT_ATTR(member, "value");
}

}  // namespace vt
