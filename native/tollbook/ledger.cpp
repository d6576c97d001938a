#include "ledger.h"

#include <stdexcept>

#include <vt.h>

namespace tollbook {

namespace {

// True when attribute access on `self` is the generic one and no name is a
// data descriptor of its class, so reads and writes have no side effect.
bool plain_access(PyTypeObject *type, const py::handle *names, std::size_t count) {
    if (type->tp_getattro != PyObject_GenericGetAttr ||
        type->tp_setattro != PyObject_GenericSetAttr)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject *found = _PyType_Lookup(type, names[i].ptr());
        if (found && Py_TYPE(found)->tp_descr_set) return false;
    }
    return true;
}

bool has_version(PyTypeObject *type) {
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
}

}  // namespace

Ledger::Ledger(py::handle self, std::initializer_list<py::handle> names, AccessCache &cache)
    : self_(self) {
    for (py::handle name : names) {
        if (size_ == kMaxSlots) throw std::logic_error("tollbook ledger: too many slots");
        names_[size_++] = name;
    }
    PyTypeObject *type = Py_TYPE(self.ptr());
    if (type == cache.type && has_version(type) && type->tp_version_tag == cache.version) {
        cached_ = cache.plain;
        return;
    }
    cached_ = plain_access(type, names_.data(), size_);
    // the lookups above give the class a version tag when it can have one
    if (has_version(type)) {
        cache.type = type;
        cache.version = type->tp_version_tag;
        cache.plain = cached_;
    }
}

const Val &Ledger::get(std::size_t slot) {
    if (!cached_ || !loaded_[slot]) {
        values_[slot] = Val::of(vt::check(PyObject_GetAttr(self_.ptr(), names_[slot].ptr())));
        loaded_[slot] = true;
    }
    return values_[slot];
}

void Ledger::set(std::size_t slot, Val value) {
    values_[slot] = std::move(value);
    loaded_[slot] = true;
    if (cached_) {
        dirty_[slot] = true;
        return;
    }
    py::object obj = values_[slot].object();
    if (PyObject_SetAttr(self_.ptr(), names_[slot].ptr(), obj.ptr()) < 0)
        throw py::error_already_set();
}

void Ledger::commit() {
    for (std::size_t slot = 0; slot < size_; ++slot) {
        if (!dirty_[slot]) continue;
        py::object obj = values_[slot].object();
        if (PyObject_SetAttr(self_.ptr(), names_[slot].ptr(), obj.ptr()) < 0)
            throw py::error_already_set();
        dirty_[slot] = false;
    }
}

void Ledger::commit_after_error() noexcept {
    try {
        commit();
    } catch (py::error_already_set &) {
        // the error being propagated matters more than a failed write-back
    } catch (...) {
    }
}

}  // namespace tollbook
