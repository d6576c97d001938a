// The instrument record: Security and its asset-class variants, frozen
// dataclasses keyed into every quote and order-book cache of the engine.
#include <cstring>

#include <vt.h>

namespace {

namespace py = pybind11;

py::object rich_eq(py::handle a, py::handle b) {
    return vt::check(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
}

bool truth(py::handle value) {
    int t = PyObject_IsTrue(value.ptr());
    if (t < 0) throw py::error_already_set();
    return t != 0;
}

// Equal when code, name and exchange value are; returns the deciding
// comparison's own result, as a chain of `and` does.
py::object security_eq_of(py::handle self, py::handle other) {
    py::object result = rich_eq(VT_ATTR(self, "code"), VT_ATTR(other, "code"));
    if (!truth(result)) return result;
    result = rich_eq(VT_ATTR(self, "security_name"), VT_ATTR(other, "security_name"));
    if (!truth(result)) return result;
    py::object mine = vt::enum_value(VT_ATTR(self, "exchange"));
    return rich_eq(mine, vt::enum_value(VT_ATTR(other, "exchange")));
}

py::object security_eq(vt::Call &c) { return security_eq_of(c[0], c[1]); }

py::object text_of(py::handle value) { return vt::check(PyObject_Format(value.ptr(), nullptr)); }

// "<a>|<b>|<c>" assembled in one buffer.
py::object bar_joined(const py::object (&parts)[3]) {
    Py_ssize_t length = 2;
    Py_UCS4 max_char = '|';
    for (const py::object &part : parts) {
        length += PyUnicode_GET_LENGTH(part.ptr());
        Py_UCS4 part_max = PyUnicode_MAX_CHAR_VALUE(part.ptr());
        if (part_max > max_char) max_char = part_max;
    }
    py::object text = vt::check(PyUnicode_New(length, max_char));
    const int kind = PyUnicode_KIND(text.ptr());
    char *data = static_cast<char *>(PyUnicode_DATA(text.ptr()));
    Py_ssize_t at = 0;
    for (int i = 0; i < 3; ++i) {
        if (i) PyUnicode_WRITE(kind, data, at++, '|');
        PyObject *part = parts[i].ptr();
        const Py_ssize_t n = PyUnicode_GET_LENGTH(part);
        if (PyUnicode_KIND(part) == kind)
            std::memcpy(data + at * kind, PyUnicode_DATA(part), static_cast<std::size_t>(n) * kind);
        else if (PyUnicode_CopyCharacters(text.ptr(), at, part, 0, n) < 0)
            throw py::error_already_set();
        at += n;
    }
    return text;
}

// The hash of "<security_name>|<code>|<exchange value>".
Py_hash_t hash_of(py::handle self) {
    const py::object parts[3] = {
        text_of(VT_ATTR(self, "security_name")),
        text_of(VT_ATTR(self, "code")),
        text_of(vt::enum_value(VT_ATTR(self, "exchange"))),
    };
    Py_hash_t hash = PyObject_Hash(bar_joined(parts).ptr());
    if (hash == -1) throw py::error_already_set();
    return hash;
}

py::object security_hash(vt::Call &c) { return vt::check(PyLong_FromSsize_t(hash_of(c[0]))); }

py::object post_init(vt::Call &) { return py::none(); }

// ---------------------------------------------------------------------------
// The variants' comparison and hash: what dataclass generates for them,
//   def __eq__(self, other):
//       if other.__class__ is self.__class__:
//           return (self.code, ..., self.quote_currency) == (other.code, ...)
//       return NotImplemented
//   def __hash__(self):
//       return hash((self.code, ..., self.quote_currency))
// run natively. The names `hash` and `NotImplemented` are the module's
// globals, as for the generated code.

constexpr int kFields = 6;

// The fields in declaration order, read as the generated code reads them.
// One instantiation per class, so each keeps its own attribute sites.
template <int V>
void read_fields(py::handle obj, py::object (&out)[kFields]) {
    out[0] = VT_ATTR(obj, "code");
    out[1] = VT_ATTR(obj, "security_name");
    out[2] = VT_ATTR(obj, "lot_size");
    out[3] = VT_ATTR(obj, "exchange");
    out[4] = VT_ATTR(obj, "expiry_date");
    out[5] = VT_ATTR(obj, "quote_currency");
}

// obj.__class__: the object's type unless its class redefines the name or
// the way attributes are found.
PyObject *object_class_descriptor = nullptr;

py::object class_of(py::handle obj) {
    PyTypeObject *type = Py_TYPE(obj.ptr());
    if (type->tp_getattro == PyObject_GenericGetAttr &&
        _PyType_Lookup(type, VT_ID("__class__").ptr()) == object_class_descriptor)
        return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(type));
    return VT_ATTR(obj, "__class__");
}

// Per class: its globals and the functions installed, so that the type
// slots below run natively only while they are still the class's methods.
struct VariantState {
    PyObject *globals = nullptr;
    PyObject *eq = nullptr;
    PyObject *hash = nullptr;
    richcmpfunc generic_compare = nullptr;  // the interpreter's slot for __eq__ methods
    hashfunc generic_hash = nullptr;
};
constexpr int kSecurity = 4;
VariantState g_state[kSecurity + 1];

template <int V>
py::object variant_eq_of(py::handle self, py::handle other) {
    py::object other_class = class_of(other);
    if (other_class.ptr() != class_of(self).ptr())
        return vt::lookup_global(g_state[V].globals, VT_ID("NotImplemented"));
    py::object mine[kFields], theirs[kFields];
    read_fields<V>(self, mine);
    read_fields<V>(other, theirs);
    // Tuple equality: the first pair that differs decides, and items are
    // compared by identity first.
    for (int i = 0; i < kFields; ++i) {
        int same = PyObject_RichCompareBool(mine[i].ptr(), theirs[i].ptr(), Py_EQ);
        if (same < 0) throw py::error_already_set();
        if (!same) return py::bool_(false);
    }
    return py::bool_(true);
}

template <int V>
py::object variant_eq(vt::Call &c) { return variant_eq_of<V>(c[0], c[1]); }

PyObject *builtin_hash = nullptr;

// `hash` as the module's code sees it now.
py::object module_hash(py::handle globals) {
    static vt::GlobalSite site("hash");
    return site.get(globals);
}

// The tuple of the fields and the `hash` the module's code would call.
template <int V>
py::tuple fields_tuple(py::handle self) {
    py::object fields[kFields];
    read_fields<V>(self, fields);
    py::tuple values(kFields);
    for (int i = 0; i < kFields; ++i) PyTuple_SET_ITEM(values.ptr(), i, fields[i].release().ptr());
    return values;
}

// hash() of a tuple of these values, computed as the interpreter's tuple
// hash does (without making the tuple): each item's hash mixed into an
// accumulator, then the length.
Py_hash_t tuple_hash(const py::object (&items)[kFields]) {
#if SIZEOF_PY_UHASH_T > 4
    constexpr Py_uhash_t kPrime1 = 11400714785074694791ULL;
    constexpr Py_uhash_t kPrime2 = 14029467366897019727ULL;
    constexpr Py_uhash_t kPrime5 = 2870177450012600261ULL;
    auto rotate = [](Py_uhash_t x) { return (x << 31) | (x >> 33); };
#else
    constexpr Py_uhash_t kPrime1 = 2654435761UL;
    constexpr Py_uhash_t kPrime2 = 2246822519UL;
    constexpr Py_uhash_t kPrime5 = 374761393UL;
    auto rotate = [](Py_uhash_t x) { return (x << 13) | (x >> 19); };
#endif
    Py_uhash_t acc = kPrime5;
    for (const py::object &item : items) {
        const Py_uhash_t lane = static_cast<Py_uhash_t>(PyObject_Hash(item.ptr()));
        if (lane == static_cast<Py_uhash_t>(-1)) return -1;
        acc += lane * kPrime2;
        acc = rotate(acc);
        acc *= kPrime1;
    }
    acc += static_cast<Py_uhash_t>(kFields) ^ (kPrime5 ^ 3527539UL);
    if (acc == static_cast<Py_uhash_t>(-1)) return 1546275796;
    return static_cast<Py_hash_t>(acc);
}

template <int V>
py::object variant_hash_of(py::handle self) {
    // `hash` is looked up before the fields are read, as in the generated code.
    py::object hash = module_hash(g_state[V].globals);
    py::tuple values = fields_tuple<V>(self);
    if (hash.ptr() != builtin_hash) return hash(values);
    Py_hash_t h = PyObject_Hash(values.ptr());  // not on the slot's hot path
    if (h == -1) throw py::error_already_set();
    return vt::check(PyLong_FromSsize_t(h));
}

template <int V>
py::object variant_hash(vt::Call &c) { return variant_hash_of<V>(c[0]); }

// The type slots: `==` and hash() run the method bodies straight from the
// slot, without looking up and calling the method each time, while the
// class's __eq__ / __hash__ are still the ones installed here. Anything else
// (other comparisons, a subclass that overrides) goes to the interpreter's
// own slot. Assigning a new __eq__ or __hash__ to the class makes Python
// reset the slot as usual.
template <int V>
PyObject *compare_slot(PyObject *self, PyObject *other, int op) {
    const VariantState &state = g_state[V];
    if (op != Py_EQ || _PyType_Lookup(Py_TYPE(self), VT_ID("__eq__").ptr()) != state.eq)
        return state.generic_compare(self, other, op);
    return vt::guarded([&]() -> PyObject * {
        if constexpr (V == kSecurity) return security_eq_of(self, other).release().ptr();
        else return variant_eq_of<V>(self, other).release().ptr();
    });
}

template <int V>
Py_hash_t hash_slot(PyObject *self) {
    const VariantState &state = g_state[V];
    if (_PyType_Lookup(Py_TYPE(self), VT_ID("__hash__").ptr()) != state.hash)
        return state.generic_hash(self);
    Py_hash_t hash = -1;
    bool generic = false;
    vt::guarded([&]() -> PyObject * {
        if constexpr (V == kSecurity) {
            hash = hash_of(self);
        } else {
            py::object fn = module_hash(g_state[V].globals);
            if (fn.ptr() != builtin_hash) {
                generic = true;  // the method, called and its result converted
                return Py_None;
            }
            py::object fields[kFields];
            read_fields<V>(self, fields);
            hash = tuple_hash(fields);
        }
        return Py_None;
    });
    return generic ? state.generic_hash(self) : hash;
}

// Installs the slots on a class whose __eq__ and __hash__ are `eq` and
// `hash` (set as class attributes, so that the type's slots are already the
// interpreter's generic ones).
template <int V>
void install_slots(py::handle cls, py::handle globals, py::handle eq, py::handle hash) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    VariantState &state = g_state[V];
    state.globals = py::reinterpret_borrow<py::object>(globals).release().ptr();
    state.eq = py::reinterpret_borrow<py::object>(eq).release().ptr();
    state.hash = py::reinterpret_borrow<py::object>(hash).release().ptr();
    state.generic_compare = type->tp_richcompare;
    state.generic_hash = type->tp_hash;
    type->tp_richcompare = compare_slot<V>;
    type->tp_hash = hash_slot<V>;
}

struct Variant {
    const char *name;
    const char *doc;
    int lot_size;
    const char *exchange;
    bool futures;  // Futures keeps "" as its class-level expiry_date
    vt::Impl eq;
    vt::Impl hash;
    void (*install)(py::handle, py::handle, py::handle, py::handle);
};

constexpr Variant kVariants[] = {
    {"Stock", "Cash equity", 1, "SEHK", false, variant_eq<0>, variant_hash<0>, install_slots<0>},
    {"Currency", "Foreign exchange", 1000, "IDEALPRO", false, variant_eq<1>, variant_hash<1>,
     install_slots<1>},
    {"Commodity", "Commodity", 1000, "IDEALPRO", false, variant_eq<2>, variant_hash<2>,
     install_slots<2>},
    {"Futures", "Futures", 1000, "SMART", true, variant_eq<3>, variant_hash<3>, install_slots<3>},
};

// True when `fn` is what dataclass generates for a frozen class's __eq__ or
// __hash__ from these fields: a plain Python function of that name.
bool is_generated(py::handle cls, const char *name) {
    py::object fn = py::reinterpret_borrow<py::dict>(reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict)[name];
    return PyFunction_Check(fn.ptr());
}

}  // namespace

VT_MODULE(security, "velmor_trader.core.security", nullptr) {
    vt::import_from(g, "dataclasses", {"dataclass"});
    vt::import_from(g, "velmor_trader.core.constants", {"Exchange"});

    auto frozen = [&g](py::object cls) {
        return g["dataclass"](py::arg("frozen") = true)(cls);
    };

    vt::ClassBuilder base(g, "Security", py::tuple(), "Base class for different asset types");
    base.annotate("code", "str")
        .annotate("security_name", "str")
        .annotate("lot_size", "int")
        .attr("lot_size", py::none())
        .annotate("exchange", "Exchange")
        .attr("exchange", py::none())
        .annotate("expiry_date", "str")
        .attr("expiry_date", py::none())
        .annotate("quote_currency", "str")
        .attr("quote_currency", py::str(""))
        .method("__eq__", vt::signature({vt::arg("self"), vt::arg("other")}), security_eq)
        .method("__hash__", vt::signature({vt::arg("self")}), security_hash);
    py::object security = frozen(base.build());
    py::dict security_ns = security.attr("__dict__");
    install_slots<kSecurity>(security, g, security_ns["__eq__"], security_ns["__hash__"]);
    g["Security"] = security;
    builtin_hash = vt::lookup_global(g, VT_ID("hash")).release().ptr();
    object_class_descriptor =
        py::reinterpret_borrow<py::object>(
            _PyType_Lookup(&PyBaseObject_Type, VT_ID("__class__").ptr()))
            .release()
            .ptr();

    auto post_init_sig = vt::signature({vt::arg("self")});
    auto self_sig = post_init_sig;
    auto eq_sig = vt::signature({vt::arg("self"), vt::arg("other")});
    for (const Variant &v : kVariants) {
        vt::ClassBuilder cls(g, v.name, py::make_tuple(security), v.doc);
        cls.annotate("code", "str")
            .annotate("security_name", "str")
            .annotate("lot_size", "int")
            .attr("lot_size", py::int_(v.lot_size))
            .annotate("exchange", "Exchange")
            .attr("exchange", g["Exchange"].attr(v.exchange))
            .attr("expiry_date", v.futures ? py::object(py::str("")) : py::object(py::none()))
            .method("__post_init__", post_init_sig, post_init);
        py::object variant = frozen(cls.build());
        // The generated methods replaced by native ones with the same
        // names, signatures and results.
        if (is_generated(variant, "__eq__") && is_generated(variant, "__hash__")) {
            py::object eq = cls.function("__eq__", eq_sig, v.eq);
            py::object hash = cls.function("__hash__", self_sig, v.hash);
            variant.attr("__eq__") = eq;
            variant.attr("__hash__") = hash;
            v.install(variant, g, eq, hash);
        }
        g[v.name] = variant;
    }
}
