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

// What one call site (one set of changed names) learned about the records
// it replaces: the dataclasses module as last seen, and for one record
// class the keywords dataclasses.replace would pass on to it and where
// their values live. Constant-initialised, changed only under the GIL.
class ReplaceSite {
public:
    constexpr ReplaceSite() = default;

private:
    friend py::object replace(ReplaceSite &, py::handle, py::handle, std::initializer_list<Change>);
    bool knows(PyObject *fn) const;
    void learn_module(PyObject *fn);
    bool plan_holds(PyObject *record, std::initializer_list<Change> changes) const;
    void learn_plan(PyObject *record, std::initializer_list<Change> changes);
    py::object planned(PyObject *record, std::initializer_list<Change> changes);

    // dataclasses' namespace (owned), while unchanged, and what replace()
    // reads from it (borrowed from it).
    PyObject *namespace_ = nullptr;
    std::uint64_t namespace_version_ = 0;
    PyObject *replace_ = nullptr;
    PyObject *plain_kind_ = nullptr;  // dataclasses._FIELD
    PyTypeObject *field_type_ = nullptr;
    unsigned int field_type_version_ = 0;
    Py_ssize_t kind_offset_ = -1, init_offset_ = -1, name_offset_ = -1;

    // The record class, while its version is unchanged.
    PyTypeObject *type_ = nullptr;
    unsigned int version_ = 0;
    PyObject *fields_ = nullptr;  // its __dataclass_fields__ (held by the class)
    std::uint64_t fields_version_ = 0;
    Py_ssize_t keys_seen_ = -1;   // shared keys searched for __dataclass_fields__
    Py_ssize_t shadow_index_ = -1;  // and where it stands among them, if at all
    std::size_t changes_ = 0;
    PyObject *field_names_ = nullptr;  // every field's name, in order (owned tuple)
    PyObject *keywords_ = nullptr;     // the changes', then the others' (owned tuple)
    vt::RecordLayout others_{vt::Access::Read};
};

// fn(record, **changes), where fn is the module's `replace` of the moment.
// When that is dataclasses.replace, the keywords it would pass on to the
// record's class are gathered here instead of by its Python-level loop:
// the same fields read in the same order and the same class call, so the
// same record and the same errors. Anything it would treat specially
// (class variables, init=False fields, InitVars, not a dataclass) is left
// to dataclasses.replace itself. `site` belongs to the caller's set of
// changed names.
py::object replace(ReplaceSite &site, py::handle fn, py::handle record, std::initializer_list<Change> changes);

}  // namespace cel
