// Gathering replace()'s keywords natively: see replace.h.
#include "replace.h"

#include <vector>

#include <structmember.h>

namespace cel {

namespace {

// The offset of one slot of dataclasses.Field instances, as getattr reads
// it: Field keeps its members in slots, whose member descriptors on the type
// are what generic attribute lookup finds first; -1 if the type holds
// anything else under the name.
Py_ssize_t slot_offset(PyTypeObject *field_type, py::handle name) {
    PyObject *descr = _PyType_Lookup(field_type, name.ptr());
    if (descr && Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
        PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(descr)->d_member;
        if (member->type == T_OBJECT_EX && !(member->flags & READ_RESTRICTED)) return member->offset;
    }
    return -1;
}

// The member's value, or null when the slot is empty (getattr would raise).
PyObject *slot_of(PyObject *field, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(field) + offset);
}

// Reads Field slots the way getattr does for them, without its lookups.
class Slot {
public:
    Slot(PyTypeObject *field_type, py::handle name) : offset_(slot_offset(field_type, name)) {}
    bool usable() const { return offset_ >= 0; }
    PyObject *of(PyObject *field) const { return slot_of(field, offset_); }

private:
    Py_ssize_t offset_;
};

// The names of the fields replace() would pass on, in field order, or an
// empty vector when any field needs dataclasses.replace's own handling.
std::vector<py::object> plain_fields(py::handle dataclasses, py::handle record) {
    std::vector<py::object> names;
    if (!PyObject_HasAttr(reinterpret_cast<PyObject *>(Py_TYPE(record.ptr())),
                          VT_ID("__dataclass_fields__").ptr()))
        return names;
    py::object fields = VT_ATTR(record, "__dataclass_fields__");
    py::object field_class = VT_ATTR(dataclasses, "Field");
    if (!PyDict_CheckExact(fields.ptr()) || !PyType_Check(field_class.ptr())) return names;
    PyTypeObject *field_type = reinterpret_cast<PyTypeObject *>(field_class.ptr());
    if (field_type->tp_getattro != PyObject_GenericGetAttr) return names;
    const Slot kind(field_type, VT_ID("_field_type")), init(field_type, VT_ID("init")),
        name(field_type, VT_ID("name"));
    if (!kind.usable() || !init.usable() || !name.usable()) return names;
    py::object plain = VT_ATTR(dataclasses, "_FIELD");
    names.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(fields.ptr())));
    Py_ssize_t pos = 0;
    PyObject *key, *field;
    while (PyDict_Next(fields.ptr(), &pos, &key, &field)) {
        if (!Py_IS_TYPE(field, field_type) || kind.of(field) != plain.ptr()) return {};
        PyObject *flag = init.of(field), *text = name.of(field);
        if (flag != Py_True || !text || !PyUnicode_CheckExact(text)) return {};
        names.push_back(py::reinterpret_borrow<py::object>(text));
    }
    return names;
}

// Field names are identifiers, interned like the changes' names: identity
// nearly always decides.
bool same_name(PyObject *a, PyObject *b) {
    return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0);
}

// Whether replace() has the name among its keywords already (the changes,
// or a field gathered before under the same name).
bool among(PyObject *name, PyObject *const *names, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i)
        if (same_name(name, names[i])) return true;
    return false;
}

py::object call_replace(py::handle fn, py::handle record, std::initializer_list<Change> changes) {
    std::vector<PyObject *> argv{record.ptr()};
    py::tuple names(changes.size());
    Py_ssize_t i = 0;
    for (const Change &change : changes) {
        argv.push_back(change.value.ptr());
        PyTuple_SET_ITEM(names.ptr(), i++, Py_NewRef(change.name.ptr()));
    }
    return vt::check(PyObject_Vectorcall(fn.ptr(), argv.data(), 1, names.ptr()));
}

// What dataclasses.replace does, its field loop gathered natively, for a
// module and a record whose site has no plan (or a plan that no longer holds).
py::object gather_and_call(py::handle dataclasses, py::handle fn, py::handle record,
                           std::initializer_list<Change> changes) {
    std::vector<py::object> plain = plain_fields(dataclasses, record);
    if (plain.empty()) return call_replace(fn, record, changes);

    // The keywords in the order replace() builds them: the changes as
    // given, then every other field read from the record.
    std::vector<py::object> values;
    values.reserve(plain.size());
    std::vector<PyObject *> argv;
    argv.reserve(changes.size() + plain.size());
    py::tuple names(static_cast<Py_ssize_t>(changes.size() + plain.size()));
    Py_ssize_t n = 0;
    for (const Change &change : changes) {
        argv.push_back(change.value.ptr());
        PyTuple_SET_ITEM(names.ptr(), n++, Py_NewRef(change.name.ptr()));
    }
    for (const py::object &name : plain) {
        if (among(name.ptr(), reinterpret_cast<PyTupleObject *>(names.ptr())->ob_item, n)) continue;
        values.push_back(vt::get_attr(record, name));
        argv.push_back(values.back().ptr());
        PyTuple_SET_ITEM(names.ptr(), n++, Py_NewRef(name.ptr()));
    }
    if (_PyTuple_Resize(&names.ptr(), n) < 0) throw py::error_already_set();
    py::object cls = VT_ATTR(record, "__class__");
    return vt::check(PyObject_Vectorcall(cls.ptr(), argv.data(), 0, names.ptr()));
}

#ifdef VT_INLINE_VALUES
std::uint64_t version_of(PyObject *dict) { return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag; }

PyObject **tuple_items(PyObject *tuple, Py_ssize_t from) {
    return reinterpret_cast<PyTupleObject *>(tuple)->ob_item + from;
}

// object's own __class__, which answers the instance's type.
PyObject *object_class_descriptor() {
    return PyDict_GetItemWithError(PyBaseObject_Type.tp_dict, VT_ID("__class__").ptr());
}
#endif

}  // namespace

// ---- the plan of one call site ---------------------------------------------------

#ifdef VT_INLINE_VALUES

bool ReplaceSite::knows(PyObject *fn) const {
    return namespace_ && fn == replace_ && version_of(namespace_) == namespace_version_;
}

// Learns the namespace of dataclasses when `fn` is the replace() defined
// there (in the module imported as dataclasses): its Field and _FIELD are
// what fn itself reads. Anything else leaves the site as it was.
void ReplaceSite::learn_module(PyObject *fn) {
    if (!PyFunction_Check(fn)) return;
    PyObject *ns = PyFunction_GET_GLOBALS(fn);
    py::object module = py::reinterpret_steal<py::object>(PyImport_GetModule(VT_ID("dataclasses").ptr()));
    if (!module) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return;
    }
    if (!PyModule_Check(module.ptr()) || PyModule_GetDict(module.ptr()) != ns || !PyDict_CheckExact(ns)) return;
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
        return;
    auto *field_type = reinterpret_cast<PyTypeObject *>(field_class);
    const Py_ssize_t kind = slot_offset(field_type, VT_ID("_field_type")),
                     init = slot_offset(field_type, VT_ID("init")), name = slot_offset(field_type, VT_ID("name"));
    if (field_type->tp_getattro != PyObject_GenericGetAttr || kind < 0 || init < 0 || name < 0 ||
        !vt::layout::has_version(field_type))
        return;
    // Kept while it is the namespace known (its entries are borrowed from it).
    py::object before = py::reinterpret_steal<py::object>(namespace_);
    namespace_ = py::reinterpret_borrow<py::object>(ns).release().ptr();
    namespace_version_ = version_of(ns);
    replace_ = fn;
    plain_kind_ = plain;
    field_type_ = field_type;
    field_type_version_ = field_type->tp_version_tag;
    kind_offset_ = kind;
    init_offset_ = init;
    name_offset_ = name;
    type_ = nullptr;  // the plan leans on the module's Field and _FIELD
}

// Learns what replace() passes on for records of the record's class, if it
// only ever reads plain init fields of a plain dataclass.
void ReplaceSite::learn_plan(PyObject *record, std::initializer_list<Change> changes) {
    type_ = nullptr;
    py::object drop_names = py::reinterpret_steal<py::object>(field_names_);
    py::object drop_keywords = py::reinterpret_steal<py::object>(keywords_);
    field_names_ = keywords_ = nullptr;
    PyTypeObject *type = Py_TYPE(record);
    if (!Py_IS_TYPE(type, &PyType_Type) || type->tp_getattro != PyObject_GenericGetAttr ||
        changes.size() > kMaxChanges || !vt::layout::shared_keys(type))
        return;
    PyObject *fields = _PyType_Lookup(type, VT_ID("__dataclass_fields__").ptr());
    PyObject *class_descriptor = object_class_descriptor();
    if (!class_descriptor && PyErr_Occurred()) throw py::error_already_set();
    if (!fields || !PyDict_CheckExact(fields) ||
        _PyType_Lookup(type, VT_ID("__class__").ptr()) != class_descriptor || !vt::layout::has_version(type))
        return;
    py::list names, keywords;
    for (const Change &change : changes) keywords.append(change.name);
    Py_ssize_t pos = 0;
    PyObject *key, *field;
    while (PyDict_Next(fields, &pos, &key, &field)) {
        PyObject *name = Py_IS_TYPE(field, field_type_) ? slot_of(field, name_offset_) : nullptr;
        if (!name || slot_of(field, kind_offset_) != plain_kind_ || slot_of(field, init_offset_) != Py_True ||
            !PyUnicode_CheckExact(name))
            return;
        names.append(name);
        if (!among(name, reinterpret_cast<PyListObject *>(keywords.ptr())->ob_item, PyList_GET_SIZE(keywords.ptr())))
            keywords.append(name);
    }
    if (PyList_GET_SIZE(keywords.ptr()) - static_cast<Py_ssize_t>(changes.size()) >
        static_cast<Py_ssize_t>(vt::kMaxLayoutNames))
        return;
    field_names_ = vt::check(PyList_AsTuple(names.ptr())).release().ptr();
    keywords_ = vt::check(PyList_AsTuple(keywords.ptr())).release().ptr();
    others_.forget();
    fields_ = fields;
    fields_version_ = version_of(fields);
    keys_seen_ = -1;
    changes_ = changes.size();
    type_ = type;
    version_ = type->tp_version_tag;
}

// The plan still describes what replace() would do with this record: the
// same class unchanged, its fields the same plain init fields, the changes
// the same names.
bool ReplaceSite::plan_holds(PyObject *record, std::initializer_list<Change> changes) const {
    PyTypeObject *type = Py_TYPE(record);
    if (type != type_ || type->tp_version_tag != version_ || !Py_IS_TYPE(type, &PyType_Type) ||
        field_type_->tp_version_tag != field_type_version_ || version_of(fields_) != fields_version_ ||
        PyDict_GET_SIZE(fields_) != PyTuple_GET_SIZE(field_names_) || changes.size() != changes_)
        return false;
    PyObject **given = tuple_items(keywords_, 0);
    for (const Change &change : changes)
        if (*given++ != change.name.ptr()) return false;
    PyObject **names = tuple_items(field_names_, 0);
    Py_ssize_t pos = 0;
    PyObject *key, *field;
    while (PyDict_Next(fields_, &pos, &key, &field))
        if (!Py_IS_TYPE(field, field_type_) || slot_of(field, kind_offset_) != plain_kind_ ||
            slot_of(field, init_offset_) != Py_True || slot_of(field, name_offset_) != *names++)
            return false;
    return true;
}

// The class called with the changes and the other fields' values, read
// straight from the record's inline values; empty when the plan does not
// fit this record.
py::object ReplaceSite::planned(PyObject *record, std::initializer_list<Change> changes) {
    if (!plan_holds(record, changes)) learn_plan(record, changes);
    if (type_ != Py_TYPE(record)) return {};
    const std::size_t given = changes.size();
    const std::size_t others = static_cast<std::size_t>(PyTuple_GET_SIZE(keywords_)) - given;
    Py_ssize_t index[vt::kMaxLayoutNames];
    PyObject **values =
        others_.values(record, tuple_items(keywords_, static_cast<Py_ssize_t>(given)), others, index);
    if (!values) return {};
    // An instance attribute under __dataclass_fields__ would be what
    // replace() reads instead of the class's.
    const vt::layout::KeysHead *keys = vt::layout::shared_keys(type_);
    if (keys->dk_nentries != keys_seen_) {
        shadow_index_ = vt::layout::shared_index(keys, VT_ID("__dataclass_fields__").ptr());
        keys_seen_ = keys->dk_nentries;
    }
    if (shadow_index_ >= 0 && values[shadow_index_]) return {};

    PyObject *argv[kMaxChanges + vt::kMaxLayoutNames];
    py::object held[vt::kMaxLayoutNames];
    std::size_t n = 0;
    for (const Change &change : changes) argv[n++] = change.value.ptr();
    for (std::size_t i = 0; i < others; ++i) {
        held[i] = py::reinterpret_borrow<py::object>(values[index[i]]);
        argv[n++] = held[i].ptr();
    }
    // The class's __init__ may run code that comes back here and learns
    // anew: the call keeps its own keywords.
    py::object keywords = py::reinterpret_borrow<py::object>(keywords_);
    return vt::check(PyObject_Vectorcall(reinterpret_cast<PyObject *>(type_), argv, 0, keywords.ptr()));
}

#endif

py::object replace(ReplaceSite &site, py::handle fn, py::handle record, std::initializer_list<Change> changes) {
#ifdef VT_INLINE_VALUES
    if (!site.knows(fn.ptr())) site.learn_module(fn.ptr());
    if (site.knows(fn.ptr()))
        if (py::object made = site.planned(record.ptr(), changes)) return made;
#else
    (void)site;
#endif
    py::object dataclasses = py::reinterpret_steal<py::object>(PyImport_GetModule(VT_ID("dataclasses").ptr()));
    if (!dataclasses) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return call_replace(fn, record, changes);
    }
    if (!VT_ATTR(dataclasses, "replace").is(fn)) return call_replace(fn, record, changes);
    return gather_and_call(dataclasses, fn, record, changes);
}

}  // namespace cel
