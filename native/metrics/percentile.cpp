// Named percentile aggregators: percentile(25) is a one-argument function
// called "percentile_25.0", so pandas' agg() labels its column by it.
#include "metrics.h"

namespace metrics {
namespace {

// percentile_(x): x.quantile(n / 100), with n held in the closure.
py::object percentile_(vt::Call &c) {
    const double q = PyFloat_AsDouble(c.closure().ptr()) / 100;
    if (q == -1.0 / 100 && PyErr_Occurred()) throw py::error_already_set();
    py::object fraction = vt::check(PyFloat_FromDouble(q));
    return vt::check(
        PyObject_CallMethodOneArg(c[0].ptr(), VT_ID("quantile").ptr(), fraction.ptr()));
}

}  // namespace

py::object make_percentile_prototype(py::handle globals) {
    return vt::make_function(globals, "percentile.<locals>.percentile_",
                             vt::signature({vt::arg("x")}), percentile_);
}

// Each call makes a new function with `n` (already a float) fixed in it.
py::object percentile(vt::Call &c) {
    py::object n = py::reinterpret_borrow<py::object>(c[0]);
    py::object fn = vt::copy_function(c.closure(), n);
    py::object name = vt::check(PyUnicode_FromFormat("percentile_%S", n.ptr()));
    if (PyObject_SetAttr(fn.ptr(), VT_ID("__name__").ptr(), name.ptr()) < 0)
        throw py::error_already_set();
    return fn;
}

}  // namespace metrics
