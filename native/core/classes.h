// Classes built the way a class statement builds them: a namespace, the
// bases, the metaclass call, then the decorators.  The results are ordinary
// heap types.
#pragma once

#include <string>

#include <pybind11/pybind11.h>

#include "function.h"

namespace vt {
namespace py = pybind11;

class ClassBuilder {
public:
    // Starts the namespace with __module__, __qualname__ and, when given,
    // __doc__, as the class statement does.
    ClassBuilder(py::handle globals, const char *name, py::tuple bases = py::tuple(),
                 const char *doc = nullptr);

    // `field: "text"` in the body; creates __annotations__ on first use.
    ClassBuilder &annotate(const char *field, const char *text);
    // `name = value` in the body.
    ClassBuilder &attr(const char *name, py::object value);
    // A function named as a method of this class ("<Class>.<name>"), for
    // `def name(...)` in the body (bound with attr), property getters and
    // setters, decorated methods...
    py::object function(const char *name, SignaturePtr sig, Impl impl,
                        const char *doc = nullptr) const;

    // Calls the most derived metaclass of the bases with (name, bases, ns).
    py::object build() const;

private:
    py::object globals_;
    std::string name_;
    py::tuple bases_;
    py::dict ns_;
    py::object annotations_;  // made by the first annotate()
};

}  // namespace vt
