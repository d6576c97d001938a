// Native functions that behave like Python functions.
//
// A vt function is a callable object with a Python-level signature: it binds
// as a method when stored in a class, carries writable __name__,
// __qualname__, __doc__, __module__, __dict__ and __annotations__ (texts),
// takes keyword arguments, defaults, *args and **kwargs, reports itself to
// inspect.signature, and is called through vectorcall.  Its body is a plain
// C++ function that receives the bound, converted arguments in a Call.
//
//   static py::object sharpe_ratio(vt::Call &c) { ... c[0] ... c[1] ... }
//   vt::def(g, "sharpe_ratio",
//           vt::signature({vt::arg("returns").ann("np.array"),
//                          vt::arg("days").typed("int").def(252)},
//                         "float"),
//           sharpe_ratio);
#pragma once

#include <new>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <pybind11/pybind11.h>

namespace vt {
namespace py = pybind11;

// Argument conversion by annotation, the way the modules' callers expect:
// "str", "list" and "dict" parameters take exactly that type (None only
// where the default is None); "int" and "float" parameters take any number
// and convert it; "bool" parameters take the truth value of the argument.
enum class Conv : unsigned char { Any, Str, List, Dict, Int, Float, Bool };

// `value` converted for the parameter `name`; `none_ok` lets None through.
py::object convert(Conv conv, py::handle value, const char *name, bool none_ok);

enum class Kind : unsigned char { Normal, VarArgs, KwOnly, VarKw };

// One parameter: name, annotation text, conversion, default.
struct Param {
    std::string name;
    py::object annotation;  // a text; empty: none
    Conv conv = Conv::Any;
    Kind kind = Kind::Normal;
    py::object default_value;  // empty: required

    // Annotation text only (stored, not enforced).
    Param ann(const char *text) &&;
    // Annotation text plus the conversion it stands for ("str", "int", ...).
    Param typed(const char *text) &&;
    template <class T>
    Param def(T &&value) && {
        if constexpr (std::is_base_of_v<py::handle, std::decay_t<T>>)
            default_value = py::reinterpret_borrow<py::object>(value);
        else
            default_value = py::cast(std::forward<T>(value));
        return std::move(*this);
    }
};

Param arg(const char *name);       // positional or keyword
Param star(const char *name);      // *name
Param kwonly(const char *name);    // keyword-only, after *args or alone
Param starstar(const char *name);  // **name

constexpr std::size_t kMaxParams = 16;

// A parameter list fixed at definition; shared by every function made from it.
struct Signature {
    std::vector<Param> params;
    std::vector<py::object> names;  // interned parameter names
    py::object returns;             // the return annotation text; empty: none
    Py_ssize_t n_positional = 0;    // Normal parameters, leading
    Py_ssize_t n_required = 0;      // Normal parameters without default
    int varargs = -1, varkw = -1;   // slot of *args / **kwargs, -1 if none
    bool simple = true;             // only normal parameters, none converted
    bool plain_positional = true;   // only normal parameters (some may convert)
    bool positional_star = false;   // normal parameters, then *args, nothing else
};
using SignaturePtr = std::shared_ptr<const Signature>;

// Builds a signature; parameters must come in Python's order (normal,
// *args, keyword-only, **kwargs). `returns` is the return annotation text.
SignaturePtr signature(std::initializer_list<Param> params,
                       const char *returns = nullptr);
SignaturePtr signature(std::vector<Param> params, const char *returns = nullptr);

class Call;
using Impl = py::object (*)(Call &);

// Room for one call's arguments: only the slots a signature uses are
// constructed and destroyed, so a short call costs no more than it needs.
class ArgumentSlots {
public:
    explicit ArgumentSlots(std::size_t n) : n_(n) {
        for (std::size_t i = 0; i < n_; ++i) new (storage_[i]) py::object();
    }
    // Empty; filled in order by append().
    ArgumentSlots() : n_(0) {}
    void append(py::object value) {
        new (storage_[n_]) py::object(std::move(value));
        ++n_;
    }
    ~ArgumentSlots() {
        for (std::size_t i = 0; i < n_; ++i) (*this)[i].~object();
    }
    ArgumentSlots(const ArgumentSlots &) = delete;
    ArgumentSlots &operator=(const ArgumentSlots &) = delete;
    py::object &operator[](std::size_t i) {
        return *std::launder(reinterpret_cast<py::object *>(storage_[i]));
    }
    const py::object &operator[](std::size_t i) const {
        return *std::launder(reinterpret_cast<const py::object *>(storage_[i]));
    }

private:
    std::size_t n_;
    alignas(py::object) unsigned char storage_[kMaxParams][sizeof(py::object)];
};

// The arguments of one call, in parameter order: a normal or keyword-only
// parameter holds its (converted) value, *args a tuple, **kwargs a dict.
class Call {
public:
    // Made by the layer for each call; bodies only read it.
    Call(PyObject *function, std::size_t size) : function_(function), size_(size), values_(size) {}
    // A call that gives every parameter by position (plain_positional
    // signatures): bound, and converted where a parameter asks for it.
    Call(PyObject *function, const Signature &sig, PyObject *const *args);
    // The same for positional_star signatures: the arguments past the
    // normal parameters make the *args tuple.
    Call(PyObject *function, const Signature &sig, PyObject *const *args, Py_ssize_t nargs);
    py::handle operator[](std::size_t i) const { return values_[i]; }
    std::size_t size() const { return size_; }
    // The object the function was made with (see make_function); None if none.
    py::handle closure() const;
    py::handle globals() const;
    // A module-level name looked up now, as Python code would.
    py::object global(py::handle name) const;

private:
    friend struct Binder;
    PyObject *function_;
    std::size_t size_;
    ArgumentSlots values_;
};

// A new function whose __module__ is globals["__name__"], __name__ the last
// part of `qualname`, and whose body can read `closure` (the state a Python
// closure would hold).
py::object make_function(py::handle globals, const char *qualname,
                         SignaturePtr sig, Impl impl, const char *doc = nullptr,
                         py::object closure = py::none());

// A new function made like `prototype` (same body, signature, names, doc
// and a copy of its annotations) with its own closure: what each run of a
// nested `def` gives in Python. A `name` given is the copy's __name__ from
// the start, as the def's function renamed at once would have it.
py::object copy_function(py::handle prototype, py::object closure, py::handle name = py::handle());

// True when `obj` is a native function whose body is `impl`: a caller may
// then do that body's work itself (a table built once for many lookups...)
// knowing nobody replaced the function.
bool runs(py::handle obj, Impl impl);

// Readies the function type; done once when a module is executed.
void ready_function_type();

}  // namespace vt
