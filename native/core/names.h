// Interned names and module-namespace lookups.
#pragma once

#include <cstdint>

#include <pybind11/pybind11.h>

#include "internals.h"

namespace vt {
namespace py = pybind11;

// Interns `text` into `*slot` unless another thread did first; returns the
// slot's name. Raises if the name cannot be made (no memory).
PyObject *intern_into(PyObject **slot, const char *text);

// An interned text made once per call site and kept for the life of the
// process: attribute and global names on hot paths compare by identity.
// The slot is a zero-initialised pointer filled under the GIL, never a
// guarded static (see once.h).
#define VT_ID(text)                                                    \
    ([]() -> ::pybind11::handle {                                      \
        static PyObject *vt_id_ = nullptr;                             \
        return vt_id_ ? vt_id_ : ::vt::intern_into(&vt_id_, text);     \
    }())

// `name` looked up as Python code of the module would at run time: first in
// the module's namespace, then in the builtins; NameError otherwise.
py::object lookup_global(py::handle globals, py::handle name);

// A module-level name read at one call site, as lookup_global reads it,
// remembered while neither the module namespace nor the builtins change:
// each dict carries a version that the interpreter renews on every change
// (the interpreter's own global loads are cached the same way). Constant-
// initialised, changed only under the GIL.
class GlobalSite {
public:
    constexpr explicit GlobalSite(const char *text) : text_(text) {}

    py::object get(py::handle globals) {
        PyObject *builtins = PyEval_GetBuiltins();
        if (globals.ptr() == globals_ && builtins == builtins_ && value_ &&
            dict_version(globals_) == globals_version_ && dict_version(builtins_) == builtins_version_)
            return py::reinterpret_borrow<py::object>(value_);
        py::object value = lookup_global(globals, name());
        globals_ = globals.ptr();
        builtins_ = builtins;
        globals_version_ = dict_version(globals_);
        builtins_version_ = dict_version(builtins_);
        value_ = value.ptr();  // borrowed: the dict holding it is unchanged while used
        return value;
    }

    py::handle name() { return name_ ? name_ : intern_into(&name_, text_); }

private:
    const char *text_;
    PyObject *name_ = nullptr;
    PyObject *globals_ = nullptr;
    PyObject *builtins_ = nullptr;
    std::uint64_t globals_version_ = 0;
    std::uint64_t builtins_version_ = 0;
    PyObject *value_ = nullptr;
};

}  // namespace vt

// The module-level `name` for the function being called (a vt::Call), as
// c.global(VT_ID(name)) reads it, cached at this site.
#define VT_GLOBAL(call, text)                                               \
    ([](const ::vt::Call &vt_call_) -> ::pybind11::object {                 \
        static ::vt::GlobalSite vt_site_(text);                             \
        return vt_site_.get(vt_call_.globals());                            \
    }(call))
