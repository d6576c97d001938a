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
py::object security_eq(vt::Call &c) {
    py::handle self = c[0], other = c[1];
    py::object result = rich_eq(self.attr(VT_ID("code")), other.attr(VT_ID("code")));
    if (!truth(result)) return result;
    result = rich_eq(self.attr(VT_ID("security_name")), other.attr(VT_ID("security_name")));
    if (!truth(result)) return result;
    py::object mine = vt::enum_value(self.attr(VT_ID("exchange")));
    return rich_eq(mine, vt::enum_value(other.attr(VT_ID("exchange"))));
}

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
        text_of(self.attr(VT_ID("security_name"))),
        text_of(self.attr(VT_ID("code"))),
        text_of(vt::enum_value(self.attr(VT_ID("exchange")))),
    };
    Py_hash_t hash = PyObject_Hash(bar_joined(parts).ptr());
    if (hash == -1) throw py::error_already_set();
    return hash;
}

py::object security_hash(vt::Call &c) { return vt::check(PyLong_FromSsize_t(hash_of(c[0]))); }

// hash() of a Security calls the same code straight from the type's hash
// slot, without looking up and calling __hash__ each time. Assigning a new
// __hash__ to the class makes Python reset the slot as usual.
Py_hash_t security_hash_slot(PyObject *self) {
    Py_hash_t hash = -1;
    vt::guarded([&]() -> PyObject * {
        hash = hash_of(self);
        return Py_None;
    });
    return hash;
}

py::object post_init(vt::Call &) { return py::none(); }

struct Variant {
    const char *name;
    const char *doc;
    int lot_size;
    const char *exchange;
    bool futures;  // Futures keeps "" as its class-level expiry_date
};

constexpr Variant kVariants[] = {
    {"Stock", "Cash equity", 1, "SEHK", false},
    {"Currency", "Foreign exchange", 1000, "IDEALPRO", false},
    {"Commodity", "Commodity", 1000, "IDEALPRO", false},
    {"Futures", "Futures", 1000, "SMART", true},
};

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
    reinterpret_cast<PyTypeObject *>(security.ptr())->tp_hash = security_hash_slot;
    g["Security"] = security;

    auto post_init_sig = vt::signature({vt::arg("self")});
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
        g[v.name] = frozen(cls.build());
    }
}
