// Several attributes of one record, read and replaced together.
//
//   static vt::AttrGroup<2> prices(vt::Access::ReadWrite, "bid", "ask");
//   auto quote = prices.of(obj);
//   py::object bid = quote.get(0);
//   quote.set(1, value);
//
// Each get and set gives exactly what `getattr(obj, name)` and
// `setattr(obj, name, value)` give. A handler that goes through a record's
// fields one after the other would otherwise pay a full attribute site per
// field (its own type check, its own learned state); a group learns once per
// class whether all of its names can be read (and replaced) in the
// instances' inline values, as the interpreter's specialised loads and
// stores do: the class keeps the generic attribute access, no data
// descriptor stands under any of the names (nor a class attribute whose
// type could become one), and the class has not changed since (its version
// tag). `of(obj)` then looks up obj's values array and each name's index
// once. Since Python code may run between two accesses (a comparison the
// caller makes, the finaliser of a replaced value) and change the object,
// each access still checks, inline, that the object has the class, version
// and values array it had and that the attribute is there; anything else
// (another class, a property, __setattr__, slots, a missing attribute, an
// instance whose dict was made) goes through a per-name attribute site.
#pragma once

#include <cstddef>

#include <pybind11/pybind11.h>

#include "attrs.h"
#include "inline_values.h"
#include "watch.h"

namespace vt {
namespace py = pybind11;

enum class Access : unsigned char { Read, ReadWrite };

constexpr std::size_t kMaxLayoutNames = 32;

// Where a fixed list of names lives in the inline values of one class's
// instances, learned for one class at a time. For names known only at run
// time; AttrGroup below wraps it for literal names. Constant-initialised,
// changed only under the GIL.
class RecordLayout {
public:
    constexpr explicit RecordLayout(Access access) : access_(access) {}

    // o's inline values if every name can be read (and, for ReadWrite,
    // replaced) there exactly as getattr and setattr would, with each name's
    // index written to `index`; null otherwise. `names` (interned) must be
    // the same list at every call until forget().
    PyObject **values(PyObject *o, PyObject *const *names, std::size_t n, Py_ssize_t *index) {
#ifdef VT_INLINE_VALUES
        PyTypeObject *type = Py_TYPE(o);
        const Facts *layout = watch_.find(type);
        if (!layout) {
            Facts learnt;
            // An index still unknown is learnt again at the next use.
            if (!learn(type, names, n, learnt)) return nullptr;
            layout = &watch_.keep(type, learnt);
        }
        if (!layout->direct) return nullptr;
        PyObject **values = layout::inline_values(o);
        if (!values) return nullptr;
        for (std::size_t i = 0; i < n; ++i) {
            if (!values[layout->index[i]]) return nullptr;
            index[i] = layout->index[i];
        }
        return values;
#else
        (void)o, (void)names, (void)n, (void)index;
        return nullptr;
#endif
    }

    // For a list of names other than the one learned.
    void forget() { watch_.forget(); }

private:
    struct Facts {
        bool direct = false;
        Py_ssize_t index[kMaxLayoutNames] = {};
    };
    // False when the facts cannot be kept yet.
    bool learn(PyTypeObject *type, PyObject *const *names, std::size_t n, Facts &layout) const;

    Access access_;
    ClassWatch<Facts> watch_;
};

template <std::size_t N>
class AttrGroup {
    static_assert(N > 0 && N <= kMaxLayoutNames, "a group names 1 to kMaxLayoutNames attributes");

public:
    template <class... Texts>
    constexpr explicit AttrGroup(Access access, Texts... texts)
        : layout_(access), sites_{AttrSite(texts)...} {
        static_assert(sizeof...(Texts) == N, "one text per attribute");
    }

    // One object's attributes as the group sees them; `obj` must outlive it.
    class Fields {
    public:
        // getattr(obj, names[i])
        py::object get(std::size_t i) {
            if (PyObject **slot = slot_of(i)) return py::reinterpret_borrow<py::object>(*slot);
            return group_->sites_[i].get_call(obj_);
        }

        // setattr(obj, names[i], value). Storing the object already there
        // changes nothing a program can see: it is skipped, as the sites do.
        void set(std::size_t i, py::handle value) {
            if (PyObject **slot = slot_of(i)) {
                if (*slot == value.ptr()) return;
                // The old value is let go after the store, as setattr does;
                // its finaliser may run code, which the next access notices.
                py::object old = py::reinterpret_steal<py::object>(*slot);
                *slot = value.inc_ref().ptr();
                return;
            }
            group_->sites_[i].set_call(obj_, value);
        }

    private:
        friend class AttrGroup;
        Fields(AttrGroup *group, py::handle obj) : group_(group), obj_(obj) {}

        // The attribute's place in the values array while nothing changed
        // since `of`, null otherwise.
        PyObject **slot_of(std::size_t i) const {
#ifdef VT_INLINE_VALUES
            PyObject *o = obj_.ptr();
            if (!values_ || Py_TYPE(o) != type_ || type_->tp_version_tag != version_ ||
                layout::inline_values(o) != values_)
                return nullptr;
            PyObject **slot = values_ + index_[i];
            return *slot ? slot : nullptr;
#else
            (void)i;
            return nullptr;
#endif
        }

        AttrGroup *group_;
        py::handle obj_;
        PyObject **values_ = nullptr;
        PyTypeObject *type_ = nullptr;
        unsigned int version_ = 0;
        Py_ssize_t index_[N] = {};
    };

    Fields of(py::handle obj) {
        Fields fields(this, obj);
        fields.values_ = layout_.values(obj.ptr(), names(), N, fields.index_);
        if (fields.values_) {
            fields.type_ = Py_TYPE(obj.ptr());
            fields.version_ = fields.type_->tp_version_tag;
        }
        return fields;
    }

private:
    // Filled in order: the last name stands only once all do.
    PyObject *const *names() {
        if (!names_[N - 1])
            for (std::size_t i = 0; i < N; ++i) names_[i] = sites_[i].name().ptr();
        return names_;
    }

    RecordLayout layout_;
    AttrSite sites_[N];  // where the values array cannot serve
    PyObject *names_[N] = {};
};

}  // namespace vt
