// The three fee schedules; each defines its class in the module namespace.
#pragma once

#include <initializer_list>
#include <utility>

#include <vt.h>

namespace tollbook {
namespace py = pybind11;

void define_sehk(py::dict globals);
void define_hkfe(py::dict globals);
void define_crypto(py::dict globals);

// `class <name>(BaseFees)` with the docstring, the class attributes and
// `def __init__(self, *deals: "Deal")`; binds the class in the namespace.
void define_schedule(py::dict globals, const char *name, const char *doc, vt::Impl init,
                     std::initializer_list<std::pair<const char *, py::object>> attrs = {});

}  // namespace tollbook
