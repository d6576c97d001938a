// Bodies with named parameters, and the members a file contributes.
//
//   py::object subscribe_quote(vt::Call &c, py::handle self, py::handle cqg_symbol) { ... }
//   void bind_quotes(vt::Members &m) {
//       m.add<subscribe_quote>("subscribe_quote",
//                              {vt::arg("self"), vt::arg("cqg_symbol").typed("str")});
//   }
//
// A body takes its parameters by name, in signature order, as py::handle,
// optionally after the Call itself (for module globals and the closure); it
// returns py::object or nothing (None). Each file binds its own bodies with
// their signatures; module.cpp then defines them in the order the module's
// classes and namespace show them, which is part of their behaviour.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "classes.h"
#include "function.h"

namespace vt {
namespace py = pybind11;

namespace detail {

template <class F>
struct BodyOf;

template <class R, class... A>
struct BodyOf<R (*)(A...)> {
    // Only the first parameter may take the Call.
    static constexpr bool with_call = (false || ... || std::is_same_v<std::decay_t<A>, Call>);
    static constexpr std::size_t parameters() { return sizeof...(A) - (with_call ? 1 : 0); }

    template <auto F, std::size_t... I>
    static py::object run(Call &c, std::index_sequence<I...>) {
        auto call = [&c]() -> R {
            if constexpr (with_call) return F(c, c[I]...);
            else return F(c[I]...);
        };
        if constexpr (std::is_void_v<R>) {
            call();
            return py::none();
        } else {
            return call();
        }
    }
};

}  // namespace detail

// The Impl that calls F with the call's arguments by name.
template <auto F>
py::object body(Call &c) {
    using Of = detail::BodyOf<decltype(F)>;
    return Of::template run<F>(c, std::make_index_sequence<Of::parameters()>{});
}

// One function or method, defined later in its module's order.
struct Member {
    std::string name;
    SignaturePtr sig;
    Impl impl;
    const char *doc;
    bool defined = false;
};

class Members {
public:
    // `def name(params) -> returns` with body F.
    template <auto F>
    Members &add(const char *name, std::initializer_list<Param> params,
                 const char *returns = nullptr, const char *doc = nullptr) {
        return add(name, signature(params, returns), body<F>, doc);
    }
    Members &add(const char *name, SignaturePtr sig, Impl impl, const char *doc = nullptr);

    // Binds the named members into the class body (or the module's
    // namespace), in the order given.
    void define(ClassBuilder &cls, std::initializer_list<const char *> order);
    void define(py::dict globals, std::initializer_list<const char *> order);
    // The member as a function of the class, not bound (for decorators).
    py::object function(ClassBuilder &cls, const char *name);
    // Fails the import if a member was bound by no one: a body written but
    // forgotten in the module's order.
    void check_all_defined() const;

private:
    Member &find(const char *name);
    std::vector<Member> members_;
};

}  // namespace vt
