#include "function.h"

#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <structmember.h>

#include "errors.h"
#include "internals.h"
#include "names.h"

namespace vt {

Param arg(const char *name) { return Param{name, {}, Conv::Any, Kind::Normal, {}}; }
Param star(const char *name) { return Param{name, {}, Conv::Any, Kind::VarArgs, {}}; }
Param kwonly(const char *name) { return Param{name, {}, Conv::Any, Kind::KwOnly, {}}; }
Param starstar(const char *name) { return Param{name, {}, Conv::Any, Kind::VarKw, {}}; }

Param Param::ann(const char *text) && {
    annotation = py::str(text);
    return std::move(*this);
}

// The conversion an annotation text asks for ("List[str]" -> List, ...);
// Any for annotations that are not enforced.
static Conv conv_for_annotation(const char *a) {
    auto starts = [a](const char *prefix) {
        return std::strncmp(a, prefix, std::strlen(prefix)) == 0;
    };
    if (std::strcmp(a, "str") == 0) return Conv::Str;
    if (std::strcmp(a, "list") == 0 || starts("List[")) return Conv::List;
    if (std::strcmp(a, "dict") == 0 || starts("Dict[")) return Conv::Dict;
    if (std::strcmp(a, "int") == 0) return Conv::Int;
    if (std::strcmp(a, "float") == 0) return Conv::Float;
    if (std::strcmp(a, "bool") == 0) return Conv::Bool;
    return Conv::Any;
}

Param Param::typed(const char *text) && {
    conv = conv_for_annotation(text);
    return std::move(*this).ann(text);
}

SignaturePtr signature(std::initializer_list<Param> params, const char *returns) {
    return signature(std::vector<Param>(params), returns);
}

SignaturePtr signature(std::vector<Param> params, const char *returns) {
    auto sig = std::make_shared<Signature>();
    sig->params = std::move(params);
    if (sig->params.size() > kMaxParams) throw std::length_error("too many parameters");
    if (returns) sig->returns = py::str(returns);
    Kind last = Kind::Normal;
    bool seen_default = false;
    for (std::size_t i = 0; i < sig->params.size(); ++i) {
        const Param &p = sig->params[i];
        if (p.kind < last || (p.kind == last && p.kind != Kind::Normal && p.kind != Kind::KwOnly))
            throw std::invalid_argument("parameters out of order: " + p.name);
        last = p.kind;
        if (p.conv != Conv::Any) sig->simple = false;
        if (p.kind != Kind::Normal) sig->simple = sig->plain_positional = false;
        sig->names.push_back(check(PyUnicode_InternFromString(p.name.c_str())));
        switch (p.kind) {
        case Kind::Normal:
            if (p.default_value) seen_default = true;
            else if (seen_default)
                throw std::invalid_argument("non-default parameter follows default: " + p.name);
            else ++sig->n_required;
            ++sig->n_positional;
            break;
        case Kind::VarArgs: sig->varargs = static_cast<int>(i); break;
        case Kind::VarKw: sig->varkw = static_cast<int>(i); break;
        case Kind::KwOnly: break;
        }
    }
    sig->positional_star = sig->varargs >= 0 && sig->varkw < 0 &&
                           static_cast<std::size_t>(sig->varargs) == sig->params.size() - 1;
    return sig;
}

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *weakrefs;
    PyObject *name;
    PyObject *qualname;
    PyObject *doc;
    PyObject *module;
    PyObject *annotations;
    bool annotations_shared;  // with a prototype and its copies: copied when first asked for
    PyObject *globals;
    PyObject *closure;
    SignaturePtr sig;
    Impl impl;
};

// A static type (one per extension module), readied when the module is
// executed, before any function is made.
PyTypeObject function_type_object{};

FunctionObject *as_function(PyObject *self) { return reinterpret_cast<FunctionObject *>(self); }

bool is_function(py::handle obj) { return Py_IS_TYPE(obj.ptr(), &function_type_object); }

}  // namespace

py::handle Call::closure() const { return as_function(function_)->closure; }
py::handle Call::globals() const { return as_function(function_)->globals; }
py::object Call::global(py::handle name) const { return lookup_global(globals(), name); }

// The argument for `p`, converted where `p` asks for it.
static py::object argument_for(const Param &p, py::handle value) {
    if (p.conv == Conv::Any) return py::reinterpret_borrow<py::object>(value);
    const bool none_ok = p.default_value && p.default_value.is_none();
    return convert(p.conv, value, p.name.c_str(), none_ok);
}

// The arguments from `npos` on, as the *args tuple.
static py::tuple star_args(PyObject *const *args, Py_ssize_t npos, Py_ssize_t nargs) {
    py::tuple rest(nargs - npos);
    for (Py_ssize_t i = npos; i < nargs; ++i)
        PyTuple_SET_ITEM(rest.ptr(), i - npos, Py_NewRef(args[i]));
    return rest;
}

// Binds the arguments of one vectorcall to the parameters, with CPython's
// own error texts for arity mistakes.
struct Binder {
    FunctionObject *f;
    const Signature &s;
    Call &call;

    [[noreturn]] void fail(const char *format, ...) const {
        va_list va;
        va_start(va, format);
        PyObject *text = PyUnicode_FromFormatV(format, va);
        va_end(va);
        if (text) {
            PyErr_Format(PyExc_TypeError, "%U() %U", f->qualname, text);
            Py_DECREF(text);
        }
        throw py::error_already_set();
    }

    void too_many(Py_ssize_t given) const {
        const char *were = given == 1 ? "was" : "were";
        if (s.n_required == s.n_positional)
            fail("takes %zd positional argument%s but %zd %s given", s.n_positional,
                 s.n_positional == 1 ? "" : "s", given, were);
        fail("takes from %zd to %zd positional arguments but %zd %s given", s.n_required,
             s.n_positional, given, were);
    }

    int find_keyword(PyObject *key) const {
        const std::size_t n = s.params.size();
        for (std::size_t i = 0; i < n; ++i)
            if (s.names[i].ptr() == key) return static_cast<int>(i);
        for (std::size_t i = 0; i < n; ++i) {
            if (s.params[i].kind != Kind::Normal && s.params[i].kind != Kind::KwOnly) continue;
            int eq = PyObject_RichCompareBool(s.names[i].ptr(), key, Py_EQ);
            if (eq < 0) throw py::error_already_set();
            if (eq) return static_cast<int>(i);
        }
        return -1;
    }

    void report_missing(Kind kind) const {
        py::list missing;
        for (std::size_t i = 0; i < s.params.size(); ++i)
            if (s.params[i].kind == kind && !call.values_[i])
                missing.append(py::repr(s.names[i]));
        const Py_ssize_t n = static_cast<Py_ssize_t>(missing.size());
        if (n == 0) return;
        // 'a', 'a' and 'b', 'a', 'b', and 'c', as CPython lists them.
        py::str listed = missing[n - 1];
        if (n > 1) {
            py::object head = py::str(", ").attr("join")(missing[py::slice(0, n - 1, 1)]);
            listed = py::str("{}{} and {}").format(head, n > 2 ? "," : "", listed);
        }
        fail("missing %zd required %s argument%s: %U", n,
             kind == Kind::Normal ? "positional" : "keyword-only", n == 1 ? "" : "s",
             listed.ptr());
    }

    void bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        auto &values = call.values_;
        const Py_ssize_t npos = s.n_positional;
        const Py_ssize_t ncopy = nargs < npos ? nargs : npos;
        for (Py_ssize_t i = 0; i < ncopy; ++i)
            values[i] = py::reinterpret_borrow<py::object>(args[i]);
        if (nargs > npos && s.varargs < 0) too_many(nargs);
        if (s.varargs >= 0) values[s.varargs] = star_args(args, npos, nargs > npos ? nargs : npos);
        if (s.varkw >= 0) values[s.varkw] = py::dict();

        if (kwnames) {
            const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject *key = PyTuple_GET_ITEM(kwnames, k);
                PyObject *value = args[nargs + k];
                int i = find_keyword(key);
                if (i >= 0 && (s.params[i].kind == Kind::Normal || s.params[i].kind == Kind::KwOnly)) {
                    if (values[i]) fail("got multiple values for argument '%U'", key);
                    values[i] = py::reinterpret_borrow<py::object>(value);
                } else if (s.varkw >= 0) {
                    if (PyDict_SetItem(values[s.varkw].ptr(), key, value) < 0)
                        throw py::error_already_set();
                } else {
                    fail("got an unexpected keyword argument '%U'", key);
                }
            }
        }

        bool missing = false;
        for (std::size_t i = 0; i < s.params.size(); ++i) {
            const Param &p = s.params[i];
            if (p.kind == Kind::VarArgs || p.kind == Kind::VarKw) continue;
            if (!values[i]) {
                if (p.default_value) values[i] = p.default_value;
                else missing = true;
            } else if (p.conv != Conv::Any) {
                values[i] = argument_for(p, values[i]);
            }
        }
        if (missing) {
            report_missing(Kind::Normal);
            report_missing(Kind::KwOnly);
        }
    }
};

Call::Call(PyObject *function, const Signature &sig, PyObject *const *args)
    : function_(function), size_(sig.params.size()) {
    if (sig.simple) {
        for (std::size_t i = 0; i < size_; ++i)
            values_.append(py::reinterpret_borrow<py::object>(args[i]));
        return;
    }
    for (std::size_t i = 0; i < size_; ++i) values_.append(argument_for(sig.params[i], args[i]));
}

Call::Call(PyObject *function, const Signature &sig, PyObject *const *args, Py_ssize_t nargs)
    : function_(function), size_(sig.params.size()) {
    const Py_ssize_t npos = sig.n_positional;
    for (Py_ssize_t i = 0; i < npos; ++i)
        values_.append(argument_for(sig.params[static_cast<std::size_t>(i)], args[i]));
    values_.append(star_args(args, npos, nargs));
}

namespace {

PyObject *result_of(py::object result) {
    if (!result) return py::none().release().ptr();
    return result.release().ptr();
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    FunctionObject *f = as_function(self);
    const Signature &s = *f->sig;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return guarded([&]() -> PyObject * {
        // The common call: every parameter given by position, bound without
        // looking at defaults or keywords.
        if (!kwnames && nargs == s.n_positional && s.plain_positional) {
            Call call(self, s, args);
            return result_of(f->impl(call));
        }
        if (!kwnames && nargs >= s.n_positional && s.positional_star) {
            Call call(self, s, args, nargs);
            return result_of(f->impl(call));
        }
        Call call(self, s.params.size());
        Binder{f, s, call}.bind(args, nargs, kwnames);
        return result_of(f->impl(call));
    });
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// The references a function holds, for the garbage collector.
PyObject *FunctionObject::*const function_references[] = {
    &FunctionObject::dict, &FunctionObject::name, &FunctionObject::qualname,
    &FunctionObject::doc, &FunctionObject::module, &FunctionObject::annotations,
    &FunctionObject::globals, &FunctionObject::closure};

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    for (auto field : function_references) Py_VISIT(as_function(self)->*field);
    return 0;
}

int function_clear(PyObject *self) {
    for (auto field : function_references) Py_CLEAR(as_function(self)->*field);
    return 0;
}

void function_dealloc(PyObject *self) {
    FunctionObject *f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    f->sig.~SignaturePtr();
    Py_TYPE(self)->tp_free(self);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// __name__ or, with a closure, __qualname__; they take only texts, as for
// Python functions.
PyObject **text_slot(PyObject *self, void *qualname) {
    return qualname ? &as_function(self)->qualname : &as_function(self)->name;
}
PyObject *get_text(PyObject *self, void *qualname) { return Py_NewRef(*text_slot(self, qualname)); }
int set_text(PyObject *self, PyObject *value, void *qualname) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     qualname ? "__qualname__" : "__name__");
        return -1;
    }
    Py_XSETREF(*text_slot(self, qualname), Py_NewRef(value));
    return 0;
}

PyObject *get_annotations(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    if (f->annotations_shared) {
        PyObject *own = PyDict_Copy(f->annotations);
        if (!own) return nullptr;
        Py_SETREF(f->annotations, own);
        f->annotations_shared = false;
    }
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *self, PyObject *value, void *) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    FunctionObject *f = as_function(self);
    Py_XSETREF(f->annotations, Py_XNewRef(value));
    f->annotations_shared = false;
    return 0;
}

PyObject *get_globals(PyObject *self, void *) { return Py_NewRef(as_function(self)->globals); }

// __defaults__ (a tuple) or, with a closure, __kwdefaults__ (a dict); None if there are none.
PyObject *get_defaults(PyObject *self, void *kwonly) {
    return guarded([&]() -> PyObject * {
        const Signature &s = *as_function(self)->sig;
        const Kind kind = kwonly ? Kind::KwOnly : Kind::Normal;
        py::dict defaults;
        for (std::size_t i = 0; i < s.params.size(); ++i)
            if (s.params[i].kind == kind && s.params[i].default_value)
                defaults[s.names[i]] = s.params[i].default_value;
        if (defaults.empty()) return py::none().release().ptr();
        if (kwonly) return defaults.release().ptr();
        return py::tuple(defaults.attr("values")()).release().ptr();
    });
}

// inspect.signature() asks for __signature__ first: build it from the
// parameter list, with the annotations the function holds now.
PyObject *get_signature(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    return guarded([&]() -> PyObject * {
        py::module_ inspect = py::module_::import("inspect");
        py::object Parameter = inspect.attr("Parameter");
        py::object empty = Parameter.attr("empty");
        py::dict annotations;
        if (f->annotations) annotations = py::reinterpret_borrow<py::dict>(f->annotations);
        static const char *const kinds[] = {"POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL",
                                            "KEYWORD_ONLY", "VAR_KEYWORD"};
        const Signature &s = *f->sig;
        py::list params;
        for (std::size_t i = 0; i < s.params.size(); ++i) {
            const Param &p = s.params[i];
            py::object annotation = annotations.attr("get")(s.names[i], empty);
            py::object default_value = p.default_value ? p.default_value : empty;
            params.append(Parameter(s.names[i], Parameter.attr(kinds[static_cast<int>(p.kind)]),
                                    py::arg("default") = default_value,
                                    py::arg("annotation") = annotation));
        }
        py::object returns = annotations.attr("get")("return", empty);
        return inspect.attr("Signature")(params, py::arg("return_annotation") = returns)
            .release()
            .ptr();
    });
}

PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_text, set_text, nullptr, nullptr},
    {"__qualname__", get_text, set_text, nullptr, const_cast<char *>("qualname")},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_defaults, nullptr, nullptr, const_cast<char *>("kwonly")},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

void ready_function_type() {
    PyTypeObject &t = function_type_object;
    if (t.tp_flags & Py_TPFLAGS_READY) return;
    Py_SET_REFCNT(&t, 1);
    t.tp_name = "velmor_trader.native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A native function with a Python function's signature and attributes.";
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_repr = function_repr;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_descr_get = function_descr_get;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    if (PyType_Ready(&t) < 0) throw py::error_already_set();
}

static py::object new_function(py::handle globals, py::handle name, py::handle qualname,
                               SignaturePtr sig, Impl impl, py::handle doc, py::object closure,
                               py::handle annotations) {
    auto module = py::reinterpret_borrow<py::object>(
        PyDict_GetItemWithError(globals.ptr(), VT_ID("__name__").ptr()));
    if (!module && PyErr_Occurred()) throw py::error_already_set();
    PyObject *self = PyObject_GC_New(PyObject, &function_type_object);
    if (!self) throw py::error_already_set();
    FunctionObject *f = as_function(self);
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->name = Py_NewRef(name.ptr());
    f->qualname = Py_NewRef(qualname.ptr());
    f->doc = Py_XNewRef(doc.ptr());  // a prototype's __doc__ may have been deleted
    f->globals = Py_NewRef(globals.ptr());
    f->closure = closure.release().ptr();
    f->annotations = Py_NewRef(annotations.ptr());
    f->annotations_shared = false;
    f->module = module.release().ptr();
    new (&f->sig) SignaturePtr(std::move(sig));
    f->impl = impl;
    PyObject_GC_Track(self);
    return py::reinterpret_steal<py::object>(self);
}

py::object make_function(py::handle globals, const char *qualname, SignaturePtr sig, Impl impl,
                         const char *doc, py::object closure) {
    const char *dot = std::strrchr(qualname, '.');
    py::str name(dot ? dot + 1 : qualname);
    py::dict annotations;
    for (std::size_t i = 0; i < sig->params.size(); ++i)
        if (sig->params[i].annotation) annotations[sig->names[i]] = sig->params[i].annotation;
    if (sig->returns) annotations["return"] = sig->returns;
    py::object doc_object = docstring(doc);
    return new_function(globals, name, py::str(qualname), std::move(sig), impl, doc_object,
                        std::move(closure), annotations);
}

py::object copy_function(py::handle prototype, py::object closure, py::handle name) {
    if (!is_function(prototype)) throw py::type_error("copy_function() needs a native function");
    FunctionObject *p = as_function(prototype.ptr());
    if (!p->annotations) p->annotations = check(PyDict_New()).release().ptr();
    py::object copy = new_function(p->globals, name ? name : py::handle(p->name), p->qualname, p->sig,
                                   p->impl, p->doc, std::move(closure), p->annotations);
    // Each gets a dict of its own, as each run of a nested def makes one,
    // but only when its __annotations__ is first asked for.
    p->annotations_shared = as_function(copy.ptr())->annotations_shared = true;
    return copy;
}

bool runs(py::handle obj, Impl impl) { return is_function(obj) && as_function(obj.ptr())->impl == impl; }

}  // namespace vt
