// The instrument record: Security and its asset-class variants, frozen
// dataclasses keyed into every quote and order-book cache of the engine.
#include <cstddef>
#include <type_traits>
#include <utility>

#include <vt.h>

namespace {

namespace py = pybind11;

// Equal when code, name and exchange value are; returns the deciding
// comparison's own result, as a chain of `and` does.
// Each side is read in its own statement: self's field before other's, as
// `self.code == other.code` evaluates (the arguments of one C++ call are
// evaluated in no fixed order).
py::object security_eq(py::handle self, py::handle other) {
    py::object mine_code = VT_ATTR(self, "code");
    py::object result = vt::compare(mine_code, VT_ATTR(other, "code"), Py_EQ);
    if (!vt::truth(result)) return result;
    py::object mine_name = VT_ATTR(self, "security_name");
    result = vt::compare(mine_name, VT_ATTR(other, "security_name"), Py_EQ);
    if (!vt::truth(result)) return result;
    py::object mine = vt::enum_value(VT_ATTR(self, "exchange"));
    return vt::compare(mine, vt::enum_value(VT_ATTR(other, "exchange")), Py_EQ);
}

// The hash of "<security_name>|<code>|<exchange value>".
Py_hash_t hash_of(py::handle self) {
    static vt::AttrGroup<3> group(vt::Access::Read, "security_name", "code", "exchange");
    auto fields = group.of(self);
    py::object name = vt::format_of(fields.get(0));
    py::object code = vt::format_of(fields.get(1));
    py::object exchange = vt::format_of(vt::enum_value(fields.get(2)));
    return py::hash(vt::concat({name, VT_ID("|"), code, VT_ID("|"), exchange}));
}

py::object security_hash(py::handle self) { return vt::check(PyLong_FromSsize_t(hash_of(self))); }

void post_init(py::handle) {}

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
// One instantiation per class, so each keeps its own attribute sites, and
// per field, so that reading them all is straight-line code.
template <int V, std::size_t I>
py::object read_field(py::handle obj) {
    static_assert(I < kFields, "six fields");
    if constexpr (I == 0) return VT_ATTR(obj, "code");
    else if constexpr (I == 1) return VT_ATTR(obj, "security_name");
    else if constexpr (I == 2) return VT_ATTR(obj, "lot_size");
    else if constexpr (I == 3) return VT_ATTR(obj, "exchange");
    else if constexpr (I == 4) return VT_ATTR(obj, "expiry_date");
    else return VT_ATTR(obj, "quote_currency");
}

template <int V, std::size_t... I>
void read_fields(py::handle obj, py::object (&out)[kFields], std::index_sequence<I...>) {
    ((out[I] = read_field<V, I>(obj)), ...);
}

template <int V>
void read_fields(py::handle obj, py::object (&out)[kFields]) {
    read_fields<V>(obj, out, std::make_index_sequence<kFields>{});
}

// `self.a == other.a and self.b == other.b and ...`, read pair by pair: the
// first false result, or the last.
template <int V, std::size_t... I>
py::object fields_and(py::handle self, py::handle other, std::index_sequence<I...>) {
    py::object result;
    const auto pair_equal = [&](auto field) {
        py::object mine = read_field<V, decltype(field)::value>(self);
        result = vt::compare(mine, read_field<V, decltype(field)::value>(other), Py_EQ);
        return vt::truth(result);
    };
    (pair_equal(std::integral_constant<std::size_t, I>{}) && ...);
    return result;
}

// Set once at import and never changed (module state, not a cache): the
// module's namespace, which the generated code reads its globals from, and
// the builtin `hash`, which the hash slot computes itself.
PyObject *g_module = nullptr;
PyObject *g_builtin_hash = nullptr;
vt::GlobalSite g_hash("hash");  // `hash` as the module's code sees it now

constexpr int kSecurity = 4;

// Whether a class that reaches the slots (the class itself or a subclass)
// still finds the installed methods under __eq__ and __hash__.
struct Installed {
    bool eq = false;
    bool hash = false;
    bool plain_class = false;  // its instances' __class__ is the type itself
};

// Per class given the slots. Set once at import (not a cache): the methods
// installed, which a class must still find to run natively, and the slots
// they replaced, where everything else goes. Then the watch: what was learnt
// about the last class that reached the slots, kept while its tag holds.
struct Slots {
    PyObject *eq = nullptr;
    PyObject *hash = nullptr;
    richcmpfunc generic_compare = nullptr;  // the interpreter's slot for __eq__ methods
    hashfunc generic_hash = nullptr;
    vt::ClassWatch<Installed> watch;
};
Slots g_slots[kSecurity + 1];

template <int V>
const Installed &installed(py::handle self) {
    return g_slots[V].watch.facts(Py_TYPE(self.ptr()), [](PyTypeObject *type) {
        return Installed{vt::type_lookup(type, VT_ID("__eq__")) == g_slots[V].eq,
                         vt::type_lookup(type, VT_ID("__hash__")) == g_slots[V].hash,
                         vt::plain_class(type)};
    });
}

template <int V>
py::object variant_eq(py::handle self, py::handle other) {
    if constexpr (!vt::kDataclassEqByTuple)
        if (self.is(other)) return py::bool_(true);
    // other.__class__ is self.__class__: known without reading them for two
    // instances of one class whose __class__ is the type itself.
    const bool same = Py_TYPE(other.ptr()) == Py_TYPE(self.ptr()) && installed<V>(self).plain_class;
    // other's __class__ is read first: the object of a member call is
    // evaluated before its arguments.
    if (!same && !vt::class_of(other).is(vt::class_of(self)))
        return vt::lookup_global(g_module, VT_ID("NotImplemented"));
    if constexpr (!vt::kDataclassEqByTuple) {
        return fields_and<V>(self, other, std::make_index_sequence<kFields>{});
    } else {
        // Tuple equality: every field of each side read first, then the
        // first pair that differs decides, items compared by identity first.
        py::object mine[kFields], theirs[kFields];
        read_fields<V>(self, mine);
        read_fields<V>(other, theirs);
        for (int i = 0; i < kFields; ++i)
            if (!vt::equal(mine[i], theirs[i])) return py::bool_(false);
        return py::bool_(true);
    }
}

template <int V>
py::object variant_hash(py::handle self) {
    // `hash` is looked up before the fields are read, as in the generated code.
    py::object hash = g_hash.get(g_module);
    py::object fields[kFields];
    read_fields<V>(self, fields);
    py::tuple values =
        py::make_tuple(fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]);
    return vt::call(hash, {values});
}

// hash() of the tuple of the fields, computed as the interpreter's tuple
// hash does (without making the tuple): each item's hash mixed into an
// accumulator, then the length.
template <int V>
Py_hash_t fields_hash(py::handle self) {
    py::object items[kFields];
    read_fields<V>(self, items);
    // The interpreter's constants for the width of its hashes.
    constexpr bool kWide = SIZEOF_PY_UHASH_T > 4;
    constexpr Py_uhash_t kPrime1 = kWide ? 11400714785074694791ULL : 2654435761UL;
    constexpr Py_uhash_t kPrime2 = kWide ? 14029467366897019727ULL : 2246822519UL;
    constexpr Py_uhash_t kPrime5 = kWide ? 2870177450012600261ULL : 374761393UL;
    constexpr unsigned kTurn = kWide ? 31 : 13;
    Py_uhash_t acc = kPrime5;
    for (const py::object &item : items) {
        const Py_uhash_t lane = static_cast<Py_uhash_t>(PyObject_Hash(item.ptr()));
        if (lane == static_cast<Py_uhash_t>(-1)) return -1;
        acc += lane * kPrime2;
        acc = (acc << kTurn) | (acc >> (8 * sizeof acc - kTurn));
        acc *= kPrime1;
    }
    acc += static_cast<Py_uhash_t>(kFields) ^ (kPrime5 ^ 3527539UL);
    if (acc == static_cast<Py_uhash_t>(-1)) return 1546275796;
    return static_cast<Py_hash_t>(acc);
}

// The type slots: `==` and hash() run the method bodies straight from the
// slot, without looking up and calling the method each time, while the
// class's __eq__ / __hash__ are still the ones installed here. Anything else
// (other comparisons, a subclass that overrides) goes to the interpreter's
// own slot. Assigning a new __eq__ or __hash__ to the class makes Python
// reset the slot as usual.
template <int V>
PyObject *compare_slot(PyObject *self, PyObject *other, int op) {
    if (op != Py_EQ || !installed<V>(self).eq) return g_slots[V].generic_compare(self, other, op);
    return vt::guarded([&]() -> PyObject * {
        if constexpr (V == kSecurity) return security_eq(self, other).release().ptr();
        else return variant_eq<V>(self, other).release().ptr();
    });
}

template <int V>
Py_hash_t hash_slot(PyObject *self) {
    if (!installed<V>(self).hash) return g_slots[V].generic_hash(self);
    Py_hash_t hash = -1;
    bool generic = false;
    vt::guarded([&]() -> PyObject * {
        // With `hash` rebound, the method is called and its result converted.
        if constexpr (V == kSecurity) hash = hash_of(self);
        else if (g_hash.get(g_module).ptr() != g_builtin_hash) generic = true;
        else hash = fields_hash<V>(self);
        return Py_None;
    });
    return generic ? g_slots[V].generic_hash(self) : hash;
}

// Installs the slots on a class whose own __eq__ and __hash__ are the native
// methods (class attributes, so that the type's slots are already the
// interpreter's generic ones).
template <int V>
void install_slots(py::handle cls) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    py::object ns = VT_ATTR(cls, "__dict__");
    Slots &slots = g_slots[V];
    slots.eq = vt::get_item(ns, VT_ID("__eq__")).release().ptr();
    slots.hash = vt::get_item(ns, VT_ID("__hash__")).release().ptr();
    slots.generic_compare = type->tp_richcompare;
    slots.generic_hash = type->tp_hash;
    type->tp_richcompare = compare_slot<V>;
    type->tp_hash = hash_slot<V>;
}

// True when `fn` is what dataclass generates for a frozen class's __eq__ or
// __hash__ from these fields: a plain Python function of that name.
bool is_generated(py::handle cls, py::handle name) {
    return PyFunction_Check(vt::get_item(VT_ATTR(cls, "__dict__"), name).ptr());
}

// @dataclass(frozen=True), with the `dataclass` the module imported.
py::object frozen(py::dict g, py::object cls) {
    return g["dataclass"](py::arg("frozen") = true)(cls);
}

void bind_security(vt::Members &m) {
    m.add<security_eq>("__eq__", {vt::arg("self"), vt::arg("other")});
    m.add<security_hash>("__hash__", {vt::arg("self")});
}

// A variant: a frozen dataclass of Security whose generated __eq__ and
// __hash__ are replaced by native ones with the same names, signatures and
// results. Each class has its own members, so each binds its own.
template <int V>
void add_variant(py::dict g, py::handle security, const char *name, const char *doc, int lot_size,
                 const char *exchange, py::object expiry_date = py::none()) {
    vt::Members m;
    m.add<post_init>("__post_init__", {vt::arg("self")});
    m.add<variant_eq<V>>("__eq__", {vt::arg("self"), vt::arg("other")});
    m.add<variant_hash<V>>("__hash__", {vt::arg("self")});
    vt::ClassBuilder cls(g, name, py::make_tuple(security), doc);
    cls.annotate("code", "str")
        .annotate("security_name", "str")
        .annotate("lot_size", "int")
        .attr("lot_size", py::int_(lot_size))
        .annotate("exchange", "Exchange")
        .attr("exchange", g["Exchange"].attr(exchange))
        .attr("expiry_date", expiry_date);
    m.define(cls, {"__post_init__"});
    py::object variant = frozen(g, cls.build());
    if (is_generated(variant, VT_ID("__eq__")) && is_generated(variant, VT_ID("__hash__"))) {
        variant.attr("__eq__") = m.function(cls, "__eq__");
        variant.attr("__hash__") = m.function(cls, "__hash__");
        install_slots<V>(variant);
    }
    g[name] = variant;
}

}  // namespace

VT_MODULE(security, "velmor_trader.core.security", nullptr) {
    vt::import_from(g, "dataclasses", {"dataclass"});
    vt::import_from(g, "velmor_trader.core.constants", {"Exchange"});
    g_module = g.inc_ref().ptr();
    g_builtin_hash = vt::lookup_global(g, VT_ID("hash")).release().ptr();

    vt::Members members;
    bind_security(members);
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
        .attr("quote_currency", py::str(""));
    members.define(base, {"__eq__", "__hash__"});
    members.check_all_defined();
    py::object security = frozen(g, base.build());
    install_slots<kSecurity>(security);
    g["Security"] = security;

    add_variant<0>(g, security, "Stock", "Cash equity", 1, "SEHK");
    add_variant<1>(g, security, "Currency", "Foreign exchange", 1000, "IDEALPRO");
    add_variant<2>(g, security, "Commodity", "Commodity", 1000, "IDEALPRO");
    // Futures keeps "" as its class-level expiry_date.
    add_variant<3>(g, security, "Futures", "Futures", 1000, "SMART", py::str(""));
}
