// A test-only module exercising the shared native layer on its own.
#include <vt.h>

namespace {

namespace py = pybind11;

// Echoes its bound arguments back as a tuple, so tests see what was bound.
py::object echo(vt::Call &c) {
    py::tuple out(c.size());
    for (std::size_t i = 0; i < c.size(); ++i) out[i] = c[i];
    return std::move(out);
}

py::object identity(vt::Call &c) { return py::reinterpret_borrow<py::object>(c[0]); }

py::object str_of(vt::Call &c) { return vt::str_of(c[0]); }

// Reads a module-level name at call time.
py::object read_global(vt::Call &c) { return c.global(VT_ID("SETTING")); }

// Calls its argument: a Python error raised there must come through as is.
py::object call_it(vt::Call &c) { return c[0](); }

py::object throw_cpp(vt::Call &) { throw std::logic_error("native failure"); }

py::object closure_value(vt::Call &c) { return py::reinterpret_borrow<py::object>(c.closure()); }

// make_adder(n) returns a fresh nested function holding n.
py::object make_adder(vt::Call &c) { return vt::copy_function(c.closure(), py::reinterpret_borrow<py::object>(c[0])); }
py::object adder(vt::Call &c) { return c[0] + c.closure(); }

py::object method_self(vt::Call &c) { return py::make_tuple(c[0], c[1]); }

// One attribute site each: obj.x, obj.x = value.
py::object read_x(vt::Call &c) { return VT_ATTR(c[0], "x"); }
py::object write_x(vt::Call &c) {
    VT_SET_ATTR(c[0], "x", c[1]);
    return py::none();
}

// obj.x read and written through one site, whose class may read
// generically and write through its own __setattr__.
vt::AttrSite shared_x("x");
py::object shared_read_x(vt::Call &c) { return shared_x.get(c[0]); }
py::object shared_write_x(vt::Call &c) {
    shared_x.set(c[0], c[1]);
    return py::none();
}

// obj.x read and written through a group of one name, and read through a
// read-only group (which also serves classes with their own __setattr__).
py::object group_read_x(vt::Call &c) {
    static vt::AttrGroup<1> group(vt::Access::ReadWrite, "x");
    return group.of(c[0]).get(0);
}
py::object group_write_x(vt::Call &c) {
    static vt::AttrGroup<1> group(vt::Access::ReadWrite, "x");
    group.of(c[0]).set(0, c[1]);
    return py::none();
}
py::object read_only_group_x(vt::Call &c) {
    static vt::AttrGroup<1> group(vt::Access::Read, "x");
    return group.of(c[0]).get(0);
}

// obj.x; obj.x = a; old = obj.y; obj.y = b; return old -- all through one
// binding of the group, as a handler goes through a record's fields.
py::object swap_xy(vt::Call &c) {
    static vt::AttrGroup<2> group(vt::Access::ReadWrite, "x", "y");
    auto fields = group.of(c[0]);
    fields.get(0);
    fields.set(0, c[1]);
    py::object y = fields.get(1);
    fields.set(1, c[2]);
    return y;
}

// SETTING through a cached global site.
py::object cached_setting(vt::Call &c) { return VT_GLOBAL(c, "SETTING"); }

// Whether the layer finds obj's attributes in its inline values (the fast
// path of every attribute site), and vt::int_equals as the modules use it.
py::object has_inline_values(vt::Call &c) {
#ifdef VT_INLINE_VALUES
    PyObject *o = c[0].ptr();
    return py::bool_(PyType_HasFeature(Py_TYPE(o), Py_TPFLAGS_MANAGED_DICT) &&
                     vt::layout::inline_values(o) != nullptr);
#else
    (void)c;
    return py::none();
#endif
}
py::object int_equals(vt::Call &c) {
    return py::bool_(vt::int_equals(c[0].ptr(), c[1].cast<long long>()));
}

// A truth-value parameter on the positional fast path.
py::object truth(vt::Call &c) { return py::reinterpret_borrow<py::object>(c[0]); }

// A body of two named parameters, bound by bind_two(n) to a signature of n
// made beforehand (checked when binding, as a module's import would be) or
// by checked_body_two(n); a mismatch must fail there, never in a call.
py::object takes_two(py::handle a, py::handle b) { return py::make_tuple(a, b); }

std::vector<vt::Param> params_of(std::size_t n) {
    std::vector<vt::Param> params;
    for (std::size_t i = 0; i < n; ++i) params.push_back(vt::arg(i == 0 ? "a" : i == 1 ? "b" : "c"));
    return params;
}

py::object bind_two(vt::Call &c) {
    vt::Members m;
    m.add<takes_two>("takes_two", vt::signature(params_of(py::cast<std::size_t>(c[0]))));
    py::dict ns;
    ns["__name__"] = "_vt_testmod";
    m.define(ns, {"takes_two"});
    return ns["takes_two"];
}

py::object checked_body_two(vt::Call &c) {
    auto sig = vt::signature(params_of(py::cast<std::size_t>(c[0])));
    return vt::make_function(c.globals(), "takes_two", sig, vt::checked_body<takes_two>("takes_two", sig));
}

}  // namespace

VT_MODULE(_vt_testmod, "_vt_testmod", "Exercises the shared native layer.") {
    g["SETTING"] = 1;
    vt::def(g, "echo",
            vt::signature({vt::arg("a").ann("np.array"), vt::arg("b").typed("int").def(252),
                           vt::star("args"), vt::kwonly("flag").typed("bool").def(false),
                           vt::starstar("kwargs")},
                          "float"),
            echo, "Echo the bound arguments.");
    vt::def(g, "typed",
            vt::signature({vt::arg("s").typed("str"), vt::arg("l").typed("List[str]").def(py::none()),
                           vt::arg("d").typed("Dict[str, Any]").def(py::none()),
                           vt::arg("i").typed("int").def(0), vt::arg("f").typed("float").def(0.0)}),
            echo);
    vt::def(g, "identity", vt::signature({vt::arg("x")}), identity);
    vt::def(g, "str_of", vt::signature({vt::arg("x")}), str_of);
    vt::def(g, "read_global", vt::signature({}), read_global);
    vt::def(g, "call_it", vt::signature({vt::arg("fn")}), call_it);
    vt::def(g, "read_x", vt::signature({vt::arg("obj")}), read_x);
    vt::def(g, "write_x", vt::signature({vt::arg("obj"), vt::arg("value")}), write_x);
    vt::def(g, "shared_read_x", vt::signature({vt::arg("obj")}), shared_read_x);
    vt::def(g, "shared_write_x", vt::signature({vt::arg("obj"), vt::arg("value")}), shared_write_x);
    vt::def(g, "group_read_x", vt::signature({vt::arg("obj")}), group_read_x);
    vt::def(g, "group_write_x", vt::signature({vt::arg("obj"), vt::arg("value")}), group_write_x);
    vt::def(g, "read_only_group_x", vt::signature({vt::arg("obj")}), read_only_group_x);
    vt::def(g, "swap_xy", vt::signature({vt::arg("obj"), vt::arg("a"), vt::arg("b")}), swap_xy);
    vt::def(g, "cached_setting", vt::signature({}), cached_setting);
    vt::def(g, "has_inline_values", vt::signature({vt::arg("obj")}), has_inline_values);
    vt::def(g, "int_equals", vt::signature({vt::arg("v"), vt::arg("value")}), int_equals);
    vt::def(g, "truth", vt::signature({vt::arg("flag").typed("bool")}), truth);
    vt::def(g, "gather", vt::signature({vt::arg("a").typed("int"), vt::star("rest")}), echo);
    vt::def(g, "throw_cpp", vt::signature({}), throw_cpp);
    vt::def(g, "bind_two", vt::signature({vt::arg("n")}), bind_two);
    vt::def(g, "checked_body_two", vt::signature({vt::arg("n")}), checked_body_two);

    py::object inner = vt::make_function(g, "make_adder.<locals>.adder",
                                         vt::signature({vt::arg("x")}), adder);
    g["make_adder"] = vt::make_function(g, "make_adder", vt::signature({vt::arg("n")}),
                                        make_adder, nullptr, inner);
    g["closure_value"] = vt::make_function(g, "closure_value", vt::signature({}), closure_value,
                                           nullptr, py::str("held"));

    vt::ClassBuilder widget(g, "Widget", py::tuple(), "A class built natively.");
    widget.annotate("size", "int")
        .attr("size", py::int_(3))
        .attr("get", widget.function("get", vt::signature({vt::arg("self"), vt::arg("x")}),
                                     method_self));
    g["Widget"] = widget.build();
}
