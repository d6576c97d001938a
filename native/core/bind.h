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
#include <iterator>
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

// The Impl that calls F with the call's arguments by name. Bind it only
// through what checks its parameters against the signature (Members::add,
// checked_body): the call holds one slot per declared parameter, and a body
// that takes more would read past them.
template <auto F>
py::object body(Call &c) {
    using Of = detail::BodyOf<decltype(F)>;
    return Of::template run<F>(c, std::make_index_sequence<Of::parameters()>{});
}

// How many parameters (besides the Call) the body F takes by name.
template <auto F>
constexpr std::size_t parameters_of() {
    return detail::BodyOf<decltype(F)>::parameters();
}

// Fails (std::logic_error, which fails the module's import) unless a body of
// `taken` parameters fits `sig`: one named parameter per declared one.
void check_parameters(const char *name, const SignaturePtr &sig, std::size_t taken);

// body<F> for a function made from `sig`, checked as above.
template <auto F>
Impl checked_body(const char *name, const SignaturePtr &sig) {
    check_parameters(name, sig, parameters_of<F>());
    return body<F>;
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
    // `def name(params) -> returns` with body F, the parameters written out
    // in the call: their number is checked against F's when compiling.
    template <auto F, std::size_t N>
    Members &add(const char *name, Param (&&params)[N], const char *returns = nullptr,
                 const char *doc = nullptr) {
        static_assert(N == parameters_of<F>(),
                      "the body takes a different number of parameters than its signature declares");
        return add(name,
                   signature(std::vector<Param>(std::make_move_iterator(params),
                                                std::make_move_iterator(params + N)),
                             returns),
                   body<F>, doc);
    }
    // The same with a parameter list or signature made beforehand (shared by
    // several members): checked when the module is imported.
    template <auto F, class List,
              class = std::enable_if_t<std::is_same_v<List, std::initializer_list<Param>>>>
    Members &add(const char *name, const List &params, const char *returns = nullptr,
                 const char *doc = nullptr) {
        return add<F>(name, signature(params, returns), doc);
    }
    template <auto F>
    Members &add(const char *name, SignaturePtr sig, const char *doc = nullptr) {
        Impl impl = checked_body<F>(name, sig);
        return add(name, std::move(sig), impl, doc);
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
