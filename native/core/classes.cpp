#include "classes.h"

#include "errors.h"
#include "internals.h"

namespace vt {

ClassBuilder::ClassBuilder(py::handle globals, const char *name, py::tuple bases,
                           const char *doc)
    : globals_(py::reinterpret_borrow<py::object>(globals)), name_(name),
      bases_(std::move(bases)) {
    ns_["__module__"] = globals_["__name__"];
    ns_["__qualname__"] = name;
    if (doc) ns_["__doc__"] = docstring(doc);
}

ClassBuilder &ClassBuilder::annotate(const char *field, const char *text) {
    if (!annotations_) ns_["__annotations__"] = annotations_ = py::dict();
    annotations_[field] = text;
    return *this;
}

ClassBuilder &ClassBuilder::attr(const char *name, py::object value) {
    ns_[name] = std::move(value);
    return *this;
}

py::object ClassBuilder::function(const char *name, SignaturePtr sig, Impl impl,
                                  const char *doc) const {
    std::string qualname = name_ + "." + name;
    return make_function(globals_, qualname.c_str(), std::move(sig), impl, doc);
}

py::object ClassBuilder::build() const {
    // The most derived metaclass among the bases' types, as a class
    // statement picks it (a conflict is left to type() to report).
    PyTypeObject *meta = &PyType_Type;
    for (py::handle base : bases_) {
        PyTypeObject *candidate = Py_TYPE(base.ptr());
        if (PyType_IsSubtype(candidate, meta)) meta = candidate;
    }
    py::handle metaclass(reinterpret_cast<PyObject *>(meta));
    return metaclass(py::str(name_), bases_, ns_);
}

}  // namespace vt
