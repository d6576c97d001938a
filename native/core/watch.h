// Learn once per class, trust while the class is unchanged.
//
//   struct Facts { bool plain = false; };
//   static vt::ClassWatch<Facts> watch;
//   const Facts &f = watch.facts(Py_TYPE(obj), [&](PyTypeObject *type) {
//       return Facts{vt::plain_attributes(type, names, n)};
//   });
//
// A watch keeps one class, its version tag and what was learnt about it.
// The interpreter renews a class's tag whenever the class, a base or their
// attributes change, so the facts hold exactly while the tag does; a class
// without a tag is learnt afresh at every use. This is how every per-class
// cache of the modules is kept (attribute sites, record groups, dataclass
// copies, fee ledgers, security variants). Constant-initialised and changed
// only under the GIL, so a static watch needs no lock and no guard.
#pragma once

#include <utility>

#include <Python.h>

#include "inline_values.h"

namespace vt {

template <class Facts>
class ClassWatch {
public:
    constexpr ClassWatch() = default;

    // The facts kept for `type`, or null if they were learnt for another
    // class or before the class last changed.
    Facts *find(PyTypeObject *type) {
        return type == type_ && type->tp_version_tag == version_ ? &facts_ : nullptr;
    }

    // Keeps `facts` for `type`. Learn first, then keep: the lookups made
    // while learning are what give a class its tag.
    Facts &keep(PyTypeObject *type, Facts facts) {
        facts_ = std::move(facts);
        if (layout::has_version(type)) {
            type_ = type;
            version_ = type->tp_version_tag;
        } else {
            type_ = nullptr;
        }
        return facts_;
    }

    // The facts for `type`, learnt by `learn(type)` unless kept.
    template <class Learn>
    Facts &facts(PyTypeObject *type, Learn &&learn) {
        if (Facts *kept = find(type)) return *kept;
        return keep(type, learn(type));
    }

    // Whether a type learnt through another watch is still as it was (the
    // type of a class attribute, the class of a field...).
    static bool unchanged(PyTypeObject *type, unsigned int version) {
        return type->tp_version_tag == version && version != 0;
    }

    void forget() { type_ = nullptr; }

private:
    PyTypeObject *type_ = nullptr;
    unsigned int version_ = 0;
    Facts facts_{};
};

}  // namespace vt
