// The fee object's figures while a schedule runs.
#include <exception>

#include "tollbook.h"

namespace tollbook {

namespace {

// The figures' names, interned once and kept for the life of the process.
const py::handle *names() {
    static py::handle interned[kFields];
    if (!interned[0]) {
#define TOLLBOOK_TEXT(name) #name,
        static const char *const texts[] = {TOLLBOOK_FIELDS(TOLLBOOK_TEXT)};
#undef TOLLBOOK_TEXT
        for (std::size_t i = 0; i < kFields; ++i)
            interned[i] = vt::check(PyUnicode_InternFromString(texts[i])).release();
    }
    return interned;
}

// Whether instances of `type` have plain access to every figure. A class
// attribute under a name (a starting value) hides nothing while it is no
// data descriptor, but one whose class could still gain __set__ would become
// one without `type` changing: only immutable classes are trusted there.
bool plain_access(PyTypeObject *type) {
    if (!vt::plain_attributes(type, names(), kFields)) return false;
    for (std::size_t i = 0; i < kFields; ++i) {
        PyObject *found = vt::type_lookup(type, names()[i]);
        if (found && !PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_IMMUTABLETYPE)) return false;
    }
    return true;
}

}  // namespace

Fees::Fees(vt::Call &c, py::handle self, vt::ClassWatch<bool> &watch)
    : c_(c), self_(self), plain_(watch.facts(Py_TYPE(self.ptr()), plain_access)) {}

Fees::~Fees() {
    if (!std::uncaught_exceptions()) return;  // the schedule committed
    try {
        commit();
    } catch (...) {
        // the error already propagating is the one the caller sees
    }
}

const Num &Fees::get(Field field) {
    if (!plain_ || !loaded_[field]) {
        values_[field] = Num::of(vt::get_attr(self_, names()[field]));
        loaded_[field] = true;
    }
    return values_[field];
}

void Fees::set(Field field, Num value) {
    values_[field] = std::move(value);
    loaded_[field] = true;
    dirty_[field] = plain_;
    if (!plain_) vt::set_attr(self_, names()[field], values_[field].object());
}

py::handle Fees::look_up(Callable which) {
    py::object &kept = found_[which];
    switch (which) {
    case kRound: kept = VT_GLOBAL(c_, "round"); break;
    case kMax: kept = VT_GLOBAL(c_, "max"); break;
    case kInt: kept = VT_GLOBAL(c_, "int"); break;
    case kCeil: kept = VT_ATTR(VT_GLOBAL(c_, "math"), "ceil"); break;
    }
    return kept;
}

Num Fees::charges() {
    Num total = get(commissions);
    for (Field field : {platform_fees, system_fees, settlement_fees, stamp_fees, trade_fees,
                        transaction_fees})
        total = total + get(field);
    return total;
}

void Fees::commit() {
    for (std::size_t field = 0; field < kFields; ++field) {
        if (!dirty_[field]) continue;
        dirty_[field] = false;
        vt::set_attr(self_, names()[field], values_[field].object());
    }
}

}  // namespace tollbook
