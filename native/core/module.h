// Module bodies: the import-time statements of a native module.
#pragma once

#include <initializer_list>

#include <pybind11/pybind11.h>

#include "function.h"

namespace vt {
namespace py = pybind11;

using ModuleBody = void (*)(py::module_ module, py::dict globals);

// Runs a module's body with its namespace; 0, or -1 with the body's error
// set. The import system has already put the module in sys.modules, as for
// a Python module, so the body may import code that looks it up there.
int run_module_body(PyObject *module, ModuleBody body) noexcept;

// `import module` (bound as its top-level package, like Python) or
// `import module as alias`.
void import_module(py::dict globals, const char *module, const char *alias = nullptr);

// `from module import name, ...`
void import_from(py::dict globals, const char *module,
                 std::initializer_list<const char *> names);

// `def name(...)` at module level: makes the function and binds it.
void def(py::dict globals, const char *name, SignaturePtr sig, Impl impl,
         const char *doc = nullptr);

}  // namespace vt

// Defines PyInit_<name> for a module whose body follows as a block:
//   VT_MODULE(metrics, "velmor_trader.plugins.analysis.metrics", nullptr) {
//       vt::import_module(g, "numpy", "np"); ...
//   }
// Inside the block `m` is the module and `g` its namespace.
// The module definition lives at namespace scope, so PyInit_ takes no
// guard of a function-local static.
#define VT_MODULE(name, full_name, doc)                                        \
    static void vt_module_body_##name(::pybind11::module_ m, ::pybind11::dict g); \
    static int vt_module_exec_##name(PyObject *module) {                       \
        return ::vt::run_module_body(module, vt_module_body_##name);           \
    }                                                                          \
    static PyModuleDef_Slot vt_module_slots_##name[] = {                       \
        {Py_mod_exec, reinterpret_cast<void *>(vt_module_exec_##name)},        \
        {0, nullptr}};                                                         \
    static PyModuleDef vt_module_def_##name = {                                \
        PyModuleDef_HEAD_INIT, full_name, doc, 0, nullptr,                     \
        vt_module_slots_##name, nullptr, nullptr, nullptr};                    \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&vt_module_def_##name); } \
    static void vt_module_body_##name([[maybe_unused]] ::pybind11::module_ m,  \
                                      [[maybe_unused]] ::pybind11::dict g)
