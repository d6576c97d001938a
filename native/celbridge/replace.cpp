// Gathering replace()'s keywords natively: see replace.h.
#include "replace.h"

#include <cstdint>

namespace cel {

constexpr std::size_t kMaxChanges = 8;

// What one call site (one set of changed names) learned: dataclasses'
// namespace as a plan found it, and for one record class the keywords
// replace() would pass on to it and where their values live.
// Constant-initialised, changed only under the GIL.
class ReplaceSite {
public:
    constexpr ReplaceSite() = default;

    // The class called with the changes and the other fields' values, read
    // straight from the record's inline values; empty when the plan does not
    // fit this record.
    py::object planned(PyObject *fn, PyObject *record, const py::handle *values_given,
                       std::initializer_list<py::handle> changes) {
        PyTypeObject *type = Py_TYPE(record);
        Plan *plan = plans_.find(type);
        if (!plan || !holds(fn, type, *plan))
            plan = &plans_.keep(type, learn(fn, type, changes));
        if (!plan->fields) return {};
        const std::size_t given = changes.size();
        const std::size_t others = static_cast<std::size_t>(PyTuple_GET_SIZE(keywords_)) - given;
        Py_ssize_t index[vt::kMaxLayoutNames];
        PyObject **values =
            others_.values(record, PySequence_Fast_ITEMS(keywords_) + given, others, index);
        if (!values) return {};
        // An instance attribute under __dataclass_fields__ would be what
        // replace() reads instead of the class's.
        if (vt::values_hold(type, values, VT_ID("__dataclass_fields__"), plan->shadow)) return {};

        PyObject *argv[kMaxChanges + vt::kMaxLayoutNames];
        py::object held[vt::kMaxLayoutNames];
        std::size_t n = 0;
        for (std::size_t i = 0; i < given; ++i) argv[n++] = values_given[i].ptr();
        for (std::size_t i = 0; i < others; ++i) {
            held[i] = py::reinterpret_borrow<py::object>(values[index[i]]);
            argv[n++] = held[i].ptr();
        }
        // The class's __init__ may run code that comes back here and learns
        // anew: the call keeps its own keywords.
        py::object keywords = py::reinterpret_borrow<py::object>(keywords_);
        PyObject *cls = reinterpret_cast<PyObject *>(type);
        return vt::check(PyObject_Vectorcall(cls, argv, 0, keywords.ptr()));
    }

private:
    // dataclasses' namespace (owned) and its version as a plan found it, and
    // what replace() reads from it (borrowed from it): itself, _FIELD, and
    // Field with the slots of its instances. A plan holds while the
    // namespace is unchanged.
    struct Module {
        PyObject *ns = nullptr;
        std::uint64_t version = 0;
        PyObject *replace = nullptr;
        PyObject *plain_kind = nullptr;
        PyTypeObject *field_type = nullptr;
        unsigned int field_type_version = 0;
        Py_ssize_t kind = -1, init = -1, name = -1;  // the slots of Field's _field_type, init, name
    };

    // What replace() would do with the records of one class. The class's
    // version tag does not follow its fields (their dict and the Field
    // objects in it change without touching the class): each use checks them.
    struct Plan {
        PyObject *fields = nullptr;  // its __dataclass_fields__ (held by the class); null: no plan
        std::uint64_t fields_version = 0;
        vt::KeyPlace shadow;  // where an instance's own __dataclass_fields__ would be
    };

    // Learns the namespace of dataclasses when `fn` is the replace() defined
    // there (in the module imported as dataclasses): its Field and _FIELD are
    // what fn itself reads. False for anything else.
    bool learn_module(PyObject *fn) {
        if (!PyFunction_Check(fn)) return false;
        PyObject *ns = PyFunction_GET_GLOBALS(fn);
        py::object module =
            py::reinterpret_steal<py::object>(PyImport_GetModule(VT_ID("dataclasses").ptr()));
        if (!module) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return false;
        }
        if (!PyModule_Check(module.ptr()) || PyModule_GetDict(module.ptr()) != ns || !PyDict_CheckExact(ns))
            return false;
        auto entry = [ns](py::handle name) {
            PyObject *found = PyDict_GetItemWithError(ns, name.ptr());
            if (!found && PyErr_Occurred()) throw py::error_already_set();
            return found;
        };
        PyObject *plain = entry(VT_ID("_FIELD")), *field_class = entry(VT_ID("Field")),
                 *fields_name = entry(VT_ID("_FIELDS"));
        if (entry(VT_ID("replace")) != fn || !plain || !field_class || !PyType_Check(field_class) ||
            !fields_name || !PyUnicode_CheckExact(fields_name) ||
            PyUnicode_Compare(fields_name, VT_ID("__dataclass_fields__").ptr()) != 0)
            return false;
        auto *field_type = reinterpret_cast<PyTypeObject *>(field_class);
        const Py_ssize_t kind = vt::slot_offset(field_type, VT_ID("_field_type")),
                         init = vt::slot_offset(field_type, VT_ID("init")),
                         name = vt::slot_offset(field_type, VT_ID("name"));
        if (field_type->tp_getattro != PyObject_GenericGetAttr || kind < 0 || init < 0 || name < 0 ||
            vt::type_version(field_type) == 0)
            return false;
        // Kept while it is the namespace known (its entries are borrowed from it).
        py::object before = py::reinterpret_steal<py::object>(module_.ns);
        module_ = Module{py::reinterpret_borrow<py::object>(ns).release().ptr(), vt::dict_version(ns), fn,
                         plain, field_type, vt::type_version(field_type), kind, init, name};
        return true;
    }

    // The name of a plain init field (one of dataclasses' own Fields, of kind
    // _FIELD, with init=True), read from its slots; null for any other field.
    PyObject *plain_name(PyObject *field) const {
        if (!Py_IS_TYPE(field, module_.field_type) ||
            vt::slot_value(field, module_.kind) != module_.plain_kind ||
            vt::slot_value(field, module_.init) != Py_True)
            return nullptr;
        return vt::slot_value(field, module_.name);
    }

    // What replace() passes on for records of the class, if it only ever reads
    // plain init fields of a plain dataclass; a plan of no fields otherwise.
    Plan learn(PyObject *fn, PyTypeObject *type, std::initializer_list<py::handle> changes) {
        // Nothing is kept while learning: a failure half-way leaves no plan.
        plans_.forget();
        others_.forget();
        Py_CLEAR(field_names_);
        Py_CLEAR(keywords_);
        Plan plan;
        py::handle class_name = VT_ID("__class__");
        PyObject *fields = vt::type_lookup(type, VT_ID("__dataclass_fields__"));
        if (!learn_module(fn) || !Py_IS_TYPE(type, &PyType_Type) ||
            type->tp_getattro != PyObject_GenericGetAttr || changes.size() > kMaxChanges || !fields ||
            !PyDict_CheckExact(fields) ||
            vt::type_lookup(type, class_name) != vt::type_lookup(&PyBaseObject_Type, class_name))
            return plan;
        py::list names, keywords;
        for (py::handle change : changes) keywords.append(change);
        Py_ssize_t pos = 0;
        PyObject *key, *field;
        while (PyDict_Next(fields, &pos, &key, &field)) {
            PyObject *name = plain_name(field);
            if (!name || !PyUnicode_CheckExact(name)) return plan;
            names.append(name);
            // A name among the keywords already (a change, or a field gathered
            // under the same name before) is passed once, as replace() does.
            int known = PySequence_Contains(keywords.ptr(), name);
            if (known < 0) throw py::error_already_set();
            if (!known) keywords.append(name);
        }
        field_names_ = vt::check(PyList_AsTuple(names.ptr())).release().ptr();
        keywords_ = vt::check(PyList_AsTuple(keywords.ptr())).release().ptr();
        plan.fields = fields;
        plan.fields_version = vt::dict_version(fields);
        return plan;
    }

    // The plan still describes what `fn` would do with the class's records: fn
    // the replace() of dataclasses as it was, the record's fields the same plain
    // init fields (the changes are the site's own names, the same at every call).
    bool holds(PyObject *fn, PyTypeObject *type, const Plan &plan) const {
        if (!plan.fields || fn != module_.replace || vt::dict_version(module_.ns) != module_.version ||
            !Py_IS_TYPE(type, &PyType_Type) ||
            !vt::ClassWatch<Plan>::unchanged(module_.field_type, module_.field_type_version) ||
            vt::dict_version(plan.fields) != plan.fields_version ||
            PyDict_GET_SIZE(plan.fields) != PyTuple_GET_SIZE(field_names_))
            return false;
        Py_ssize_t pos = 0;
        PyObject *key, *field;
        for (Py_ssize_t i = 0; PyDict_Next(plan.fields, &pos, &key, &field); ++i)
            if (plain_name(field) != PyTuple_GET_ITEM(field_names_, i)) return false;
        return true;
    }

    Module module_;
    vt::ClassWatch<Plan> plans_;
    // The kept plan's every field name in order, and its keywords: the
    // changes', then the other fields' (owned tuples).
    PyObject *field_names_ = nullptr;
    PyObject *keywords_ = nullptr;
    vt::RecordLayout others_{vt::Access::Read};
};

ReplaceSite ask_replace, bid_replace;
static ReplaceSite quote_sites[kQuoteFields];

ReplaceSite &quote_replace(std::size_t field) { return quote_sites[field]; }

py::object replace(ReplaceSite &site, py::handle fn, std::initializer_list<py::handle> args,
                   std::initializer_list<py::handle> changes) {
    const py::handle *record = args.begin();
    if (py::object made = site.planned(fn.ptr(), record->ptr(), record + 1, changes)) return made;
    return vt::call(fn, args, changes);
}

}  // namespace cel
