// Attribute reads and writes on hot paths.
//
//   py::object price = VT_ATTR(order, "price");
//   VT_SET_ATTR(self, "order_id", value);
//
// Each use site names its attribute with a literal, so the layer can keep
// what it learns about that site (the interned name, where the attribute
// was found last time) and skip the generic lookup when the object's type
// and layout are the same as before. The result and every error are those
// of `getattr(obj, name)` / `setattr(obj, name, value)` in Python.
//
// What a site learns, and when it trusts it, follows the interpreter's own
// specialised attribute loads and stores: the site remembers one type and
// its version tag (renewed by the interpreter whenever the type, a base or
// their attributes change). While the object's type is that type with that
// tag, and the type uses generic attribute access with no data descriptor
// (property, slot, __getattr__/__getattribute__/__setattr__ hooks...) under
// the name, the attribute is read from, or replaced in, the instance's
// values or dict directly. Anything else, including an attribute that is
// not in the instance yet, takes the generic path.
#pragma once

#include <pybind11/pybind11.h>

#include "errors.h"
#include "names.h"
#include "watch.h"

namespace vt {
namespace py = pybind11;

inline py::object get_attr(py::handle obj, py::handle name) {
    return check(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

inline void set_attr(py::handle obj, py::handle name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

// What one use site knows. Constant-initialised and changed only under the
// GIL, so it needs no lock and no guard.
class AttrSite {
public:
    enum class Mode : unsigned char { Generic, Values, Dict };

    constexpr explicit AttrSite(const char *text) : text_(text) {}

    VT_ALWAYS_INLINE py::object get(py::handle obj) {
        PyObject *o = obj.ptr();
        Facts *site = watch_.find(Py_TYPE(o));
        if (site && site->holder_unchanged()) {
            if (PyObject *found = fast_read(*site, o)) return py::reinterpret_borrow<py::object>(found);
        } else {
            learn(Py_TYPE(o));
        }
        return get_attr(obj, name());
    }

    VT_ALWAYS_INLINE void set(py::handle obj, py::handle value) {
        PyObject *o = obj.ptr();
        Facts *site = watch_.find(Py_TYPE(o));
        if (site && site->holder_unchanged()) {
            if (fast_write(*site, o, value.ptr())) return;
        } else {
            learn(Py_TYPE(o));
        }
        set_attr(obj, name(), value);
    }

    // get and set as calls, for a caller whose own fast path comes first
    // (AttrGroup): the site's code is not copied into it.
    py::object get_call(py::handle obj);
    void set_call(py::handle obj, py::handle value);

    py::handle name() { return name_ ? name_ : intern_into(&name_, text_); }

private:
    struct Facts {
        // A class attribute under the name that is not a data descriptor (a
        // field default, a method) does not hide the instance's attribute;
        // the site also follows that attribute's own type, since giving
        // that type a __set__ would turn it into a data descriptor.
        PyTypeObject *holder_type = nullptr;
        unsigned int holder_version = 0;
        // How the site reads and how it writes: a class may read generically
        // and write through its own __setattr__ (or the reverse), and one
        // site may serve both.
        Mode read_mode = Mode::Generic;
        Mode write_mode = Mode::Generic;
        Py_ssize_t index = -1;       // Values: the name's slot in the inline values
        Py_ssize_t dict_offset = 0;  // Dict: where the instance dict pointer is
        Py_ssize_t hint = -1;        // the entry of the instance dict found last
        // Values, while `index` is unknown: the class's shared keys as the
        // name was last found missing from them, and their number of entries
        // then. Such keys only ever gain entries, so while the number holds
        // the name is still missing (a method's name, read through the site).
        const void *missing_from = nullptr;
        Py_ssize_t missing_entries = 0;

        bool holder_unchanged() const {
            return !holder_type || ClassWatch<Facts>::unchanged(holder_type, holder_version);
        }
    };

    PyObject *fast_read(Facts &site, PyObject *o);
    bool find_index(Facts &site, PyTypeObject *type);  // the name's slot, into site.index
    bool fast_write(Facts &site, PyObject *o, PyObject *value);
    void learn(PyTypeObject *type);

    const char *text_;
    PyObject *name_ = nullptr;
    ClassWatch<Facts> watch_;
};

// `member.value` of an enumeration member on a hot path, as Python reads
// it. For a member of an enum class that keeps the standard `value`
// property, the property's result (the member's `_value_`) is read
// directly, skipping a Python-level call; any other object goes through
// ordinary attribute access.
py::object enum_value(py::handle member);

// Keeps a reference to enum.Enum's `value` property; done once when a
// module is executed.
void remember_enum_value_property();

}  // namespace vt

#define VT_ATTR(obj, text)                                                \
    ([](::pybind11::handle vt_obj_) -> ::pybind11::object {               \
        static ::vt::AttrSite vt_site_(text);                              \
        return vt_site_.get(vt_obj_);                                      \
    }(obj))

#define VT_SET_ATTR(obj, text, value)                                      \
    ([](::pybind11::handle vt_obj_, ::pybind11::handle vt_value_) {        \
        static ::vt::AttrSite vt_site_(text);                              \
        vt_site_.set(vt_obj_, vt_value_);                                  \
    }((obj), (value)))
