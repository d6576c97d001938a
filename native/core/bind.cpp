#include "bind.h"

#include <stdexcept>
#include <string>

#include "module.h"

namespace vt {

void check_parameters(const char *name, const SignaturePtr &sig, std::size_t taken) {
    // An empty braced list reaches add<F>(name, SignaturePtr) as no signature.
    if (!sig)
        throw std::logic_error(std::string("no signature for ") + name +
                               ": write an empty parameter list as vt::signature({})");
    const std::size_t declared = sig->params.size();
    if (declared == taken) return;
    throw std::logic_error(std::string("the body of ") + name + " takes " + std::to_string(taken) +
                           " parameters but its signature declares " + std::to_string(declared));
}

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
