// Gathering replace()'s keywords natively: see replace.h.
#include "replace.h"

#include <vector>

#include <structmember.h>

namespace cel {

namespace {

// Reads one slot of dataclasses.Field instances the way getattr does for
// them: Field keeps its members in slots, whose member descriptors on the
// type are what generic attribute lookup finds first. Reading the slot
// straight from the instance is that lookup without the dictionary probes.
class Slot {
public:
    Slot(PyTypeObject *field_type, py::handle name) {
        PyObject *descr = _PyType_Lookup(field_type, name.ptr());
        if (descr && Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
            PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(descr)->d_member;
            if (member->type == T_OBJECT_EX && !(member->flags & READ_RESTRICTED)) offset_ = member->offset;
        }
    }
    bool usable() const { return offset_ >= 0; }
    // The member's value, or null when the slot is empty (getattr would raise).
    PyObject *of(PyObject *field) const {
        return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(field) + offset_);
    }

private:
    Py_ssize_t offset_ = -1;
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

bool changed(PyObject *name, std::initializer_list<Change> changes) {
    for (const Change &change : changes)
        if (same_name(name, change.name.ptr())) return true;
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

}  // namespace

py::object replace(py::handle fn, py::handle record, std::initializer_list<Change> changes) {
    py::object dataclasses = py::reinterpret_steal<py::object>(PyImport_GetModule(VT_ID("dataclasses").ptr()));
    if (!dataclasses) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return call_replace(fn, record, changes);
    }
    if (!VT_ATTR(dataclasses, "replace").is(fn)) return call_replace(fn, record, changes);
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
        if (changed(name.ptr(), changes)) continue;
        values.push_back(vt::get_attr(record, name));
        argv.push_back(values.back().ptr());
        PyTuple_SET_ITEM(names.ptr(), n++, Py_NewRef(name.ptr()));
    }
    if (_PyTuple_Resize(&names.ptr(), n) < 0) throw py::error_already_set();
    py::object cls = VT_ATTR(record, "__class__");
    return vt::check(PyObject_Vectorcall(cls.ptr(), argv.data(), 0, names.ptr()));
}

}  // namespace cel
