// The instrument record: Security and its asset-class variants, frozen
// dataclasses keyed into every quote and order-book cache of the engine.
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
    py::object mine = self.attr(VT_ID("exchange")).attr(VT_ID("value"));
    return rich_eq(mine, other.attr(VT_ID("exchange")).attr(VT_ID("value")));
}

py::object text_of(py::handle value) { return vt::check(PyObject_Format(value.ptr(), nullptr)); }

// hash of "<security_name>|<code>|<exchange value>", assembled in one buffer.
py::object security_hash(vt::Call &c) {
    py::handle self = c[0];
    py::object parts[3] = {
        text_of(self.attr(VT_ID("security_name"))),
        text_of(self.attr(VT_ID("code"))),
        text_of(self.attr(VT_ID("exchange")).attr(VT_ID("value"))),
    };
    Py_ssize_t length = 2;
    Py_UCS4 max_char = '|';
    for (const py::object &part : parts) {
        length += PyUnicode_GET_LENGTH(part.ptr());
        Py_UCS4 part_max = PyUnicode_MAX_CHAR_VALUE(part.ptr());
        if (part_max > max_char) max_char = part_max;
    }
    py::object text = vt::check(PyUnicode_New(length, max_char));
    Py_ssize_t at = 0;
    for (int i = 0; i < 3; ++i) {
        if (i) PyUnicode_WriteChar(text.ptr(), at++, '|');
        Py_ssize_t n = PyUnicode_GET_LENGTH(parts[i].ptr());
        if (PyUnicode_CopyCharacters(text.ptr(), at, parts[i].ptr(), 0, n) < 0)
            throw py::error_already_set();
        at += n;
    }
    Py_hash_t hash = PyObject_Hash(text.ptr());
    if (hash == -1) throw py::error_already_set();
    return vt::check(PyLong_FromSsize_t(hash));
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
