#include "module.h"

#include <cstring>

#include "attrs.h"
#include "errors.h"
#include "names.h"

namespace vt {

namespace detail {
bool assertions_enabled = true;
}  // namespace detail

namespace {

// The layer's one-time set-up, done in each module's exec (each module
// links its own copy of the layer) before its body runs: nothing is left
// to initialise on first use, in the middle of a call, where running
// Python code could let another thread make the same first call.
void set_up_layer() {
    py::object flags = py::module_::import("sys").attr("flags");
    detail::assertions_enabled = flags.attr("optimize").cast<long>() == 0;
    ready_function_type();
    remember_enum_value_property();
}

}  // namespace

int run_module_body(PyObject *module, ModuleBody body) noexcept {
    PyObject *ok = guarded([&]() -> PyObject * {
        set_up_layer();
        auto m = py::reinterpret_borrow<py::module_>(module);
        body(m, m.attr("__dict__"));
        return Py_None;
    });
    return ok ? 0 : -1;
}

void import_module(py::dict globals, const char *module, const char *alias) {
    py::module_ imported = py::module_::import(module);
    if (alias) {
        globals[alias] = imported;
        return;
    }
    // `import a.b` binds the top-level package `a`, as Python does.
    std::string top(module, std::strcspn(module, "."));
    globals[py::str(top)] = py::module_::import(top.c_str());
}

void import_from(py::dict globals, const char *module,
                 std::initializer_list<const char *> names) {
    py::module_ imported = py::module_::import(module);
    for (const char *name : names) {
        PyObject *value = PyObject_GetAttrString(imported.ptr(), name);
        if (!value) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
            throw py::error_already_set();
        }
        globals[name] = py::reinterpret_steal<py::object>(value);
    }
}

void def(py::dict globals, const char *name, SignaturePtr sig, Impl impl, const char *doc) {
    globals[name] = make_function(globals, name, std::move(sig), impl, doc);
}

PyObject *intern_into(PyObject **slot, const char *text) {
    py::object name = check(PyUnicode_InternFromString(text));
    if (!*slot) *slot = name.release().ptr();
    return *slot;
}

py::object lookup_global(py::handle globals, py::handle name) {
    PyObject *value = PyDict_GetItemWithError(globals.ptr(), name.ptr());
    if (!value) {
        if (PyErr_Occurred()) throw py::error_already_set();
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name.ptr());
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
            throw py::error_already_set();
        }
    }
    return py::reinterpret_borrow<py::object>(value);
}

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception in a native call");
    }
}

}  // namespace vt
