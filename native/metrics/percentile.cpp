// Named percentile aggregators: percentile(25) is a one-argument function
// called "percentile_25.0", so pandas' agg() labels its column by it.
#include "metrics.h"

namespace metrics {
namespace {

// percentile_(x): x.quantile(n / 100), with n held in the closure.
py::object percentile_(vt::Call &c, py::handle x) {
    const double q = PyFloat_AsDouble(c.closure().ptr()) / 100;
    if (q == -1.0 / 100 && PyErr_Occurred()) throw py::error_already_set();
    return vt::call_method(x, VT_ID("quantile"), py::float_(q));
}

// Each call makes a new function with `n` (already a float) fixed in it,
// as each run of the nested `def` does: a copy of one prototype, made on
// first use in the module's namespace.
py::object percentile(vt::Call &c, py::handle n) {
    static vt::LazyObject prototype;
    py::handle made = prototype.get([&] {
        auto sig = vt::signature({vt::arg("x")});
        return vt::make_function(c.globals(), "percentile.<locals>.percentile_", sig,
                                 vt::checked_body<percentile_>("percentile_", sig));
    });
    // "percentile_%s" % n: str(n), which a float subclass may define.
    py::object name = vt::concat({VT_ID("percentile_"), vt::str_of(n)});
    return vt::copy_function(made, py::reinterpret_borrow<py::object>(n), name);
}

const char kPercentileDoc[] =
    "Named percentile function for pandas aggregation (agg), e.g.\n"
    "    df.groupby(key).agg([percentile(25), percentile(75)])\n"
    "labels the result columns percentile_25.0 and percentile_75.0.";

}  // namespace

void bind_percentile(vt::Members &m) {
    m.add<percentile>("percentile", {vt::arg("n").typed("float")}, nullptr, kPercentileDoc);
}

}  // namespace metrics
