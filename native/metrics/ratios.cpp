// Risk-adjusted return ratios. The statistics are the input's own mean()
// and std(), so numpy arrays and pandas series each keep their defaults
// (population vs sample deviation, NaN propagated vs skipped).
#include "metrics.h"

namespace metrics {
namespace {

// `value == 0`, as the comparison with the literal 0 evaluates it.
bool equals_zero(py::handle value) {
    PyObject *v = value.ptr();
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v) == 0.0;
    return vt::truth(vt::compare(value, py::int_(0), Py_EQ));
}

py::object numpy_nan(const vt::Call &c) { return vt::get_attr(VT_GLOBAL(c, "np"), VT_ID("nan")); }

// np.sqrt(days) * series.mean() / series.std(), evaluated left to right; empty
// when the deviation is zero.
py::object annualised(const vt::Call &c, py::handle days, py::handle series) {
    py::object volatility = vt::call_method(series, VT_ID("std"));
    if (equals_zero(volatility)) return py::object();
    py::object root = vt::call(vt::get_attr(VT_GLOBAL(c, "np"), VT_ID("sqrt")), {days});
    return root * vt::call_method(series, VT_ID("mean")) / volatility;
}

py::object sharpe_ratio(vt::Call &c, py::handle returns, py::handle days) {
    py::object ratio = annualised(c, days, returns);
    return ratio ? ratio : numpy_nan(c);
}

py::object information_ratio(vt::Call &c, py::handle returns, py::handle benchmark_returns,
                             py::handle days) {
    py::object ratio = annualised(c, days, returns - benchmark_returns);
    return ratio ? ratio : numpy_nan(c);
}

// The Sharpe ratio of the returns (computed here, not by sharpe_ratio()),
// scaled by the benchmark's volatility. `days` is used as given.
py::object modigliani_ratio(vt::Call &c, py::handle returns, py::handle benchmark_returns,
                            py::handle days) {
    py::object sharpe = annualised(c, days, returns);
    if (!sharpe) return numpy_nan(c);
    return sharpe * vt::call_method(benchmark_returns, VT_ID("std"));
}

}  // namespace

void bind_ratios(vt::Members &m) {
    m.add<sharpe_ratio>("sharpe_ratio",
                        {vt::arg("returns").ann("np.array"), vt::arg("days").typed("int").def(252)},
                        "float");
    m.add<information_ratio>("information_ratio",
                             {vt::arg("returns").ann("np.array"),
                              vt::arg("benchmark_returns").ann("np.array"),
                              vt::arg("days").typed("int").def(252)},
                             "float");
    m.add<modigliani_ratio>("modigliani_ratio",
                            {vt::arg("returns").ann("np.array"), vt::arg("benchmark_returns"),
                             vt::arg("days").def(252)},
                            "float");
}

}  // namespace metrics
