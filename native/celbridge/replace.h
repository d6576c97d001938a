// `replace(record, **changes)` for the framework's frozen records.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "celbridge.h"

namespace cel {

// One keyword of the call: an interned field name and its new value.
struct Change {
    py::handle name;
    py::handle value;
};

constexpr std::size_t kMaxChanges = 8;

// fn(record, **changes) at one call site (one set of changed names), where
// fn is the module's `replace` of the moment. When that is
// dataclasses.replace, the site calls the record's class itself with the
// keywords replace() would pass on, gathered natively instead of by its
// Python-level loop: the same fields read in the same order and the same
// class call, so the same record and the same errors. Anything replace()
// would treat specially (class variables, init=False fields, InitVars, not
// a dataclass) is left to dataclasses.replace itself. Constant-initialised,
// changed only under the GIL.
class ReplaceSite {
public:
    constexpr ReplaceSite() = default;

    py::object call(py::handle fn, py::handle record, std::initializer_list<Change> changes);

private:
    // What replace() would do with the records of one class. The class's
    // version tag does not follow its fields (their dict and the Field
    // objects in it change without touching the class): each use checks them.
    struct Plan {
        PyObject *fields = nullptr;  // its __dataclass_fields__ (held by the class); null: no plan
        std::uint64_t fields_version = 0;
        std::size_t changes = 0;
        vt::KeyPlace shadow;  // where an instance's own __dataclass_fields__ would be
    };

    bool knows(PyObject *fn) const;
    void learn_module(PyObject *fn);
    Plan learn(PyTypeObject *type, std::initializer_list<Change> changes);
    bool holds(PyTypeObject *type, const Plan &plan, std::initializer_list<Change> changes) const;
    py::object planned(PyObject *record, std::initializer_list<Change> changes);

    // dataclasses' namespace (owned), while unchanged, and what replace()
    // reads from it (borrowed from it): itself, _FIELD, and Field with the
    // slots of its instances.
    PyObject *namespace_ = nullptr;
    std::uint64_t namespace_version_ = 0;
    PyObject *replace_ = nullptr;
    PyObject *plain_kind_ = nullptr;
    PyTypeObject *field_type_ = nullptr;
    unsigned int field_type_version_ = 0;
    Py_ssize_t kind_offset_ = -1, init_offset_ = -1, name_offset_ = -1;

    vt::ClassWatch<Plan> plans_;
    // The kept plan's every field name in order, and its keywords: the
    // changes', then the other fields' (owned tuples).
    PyObject *field_names_ = nullptr;
    PyObject *keywords_ = nullptr;
    vt::RecordLayout others_{vt::Access::Read};
};

}  // namespace cel
