#include "bind.h"

#include <stdexcept>

#include "module.h"

namespace vt {

Members &Members::add(const char *name, SignaturePtr sig, Impl impl, const char *doc) {
    members_.push_back(Member{name, std::move(sig), impl, doc});
    return *this;
}

Member &Members::find(const char *name) {
    for (Member &m : members_)
        if (m.name == name) {
            if (m.defined) throw std::logic_error("member defined twice: " + m.name);
            m.defined = true;
            return m;
        }
    throw std::logic_error(std::string("no member bound as ") + name);
}

void Members::define(ClassBuilder &cls, std::initializer_list<const char *> order) {
    for (const char *name : order) cls.attr(name, function(cls, name));
}

void Members::define(py::dict globals, std::initializer_list<const char *> order) {
    for (const char *name : order) {
        Member &m = find(name);
        def(globals, name, m.sig, m.impl, m.doc);
    }
}

py::object Members::function(ClassBuilder &cls, const char *name) {
    Member &m = find(name);
    return cls.function(name, m.sig, m.impl, m.doc);
}

void Members::check_all_defined() const {
    for (const Member &m : members_)
        if (!m.defined) throw std::logic_error("member bound but not defined: " + m.name);
}

}  // namespace vt
