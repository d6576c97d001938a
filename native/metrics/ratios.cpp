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

// np.sqrt(days) * series.mean() / series.std(), evaluated left to right, then
// times scale.std() where a scale is given; np.nan when the deviation is zero.
py::object annualised(const vt::Call &c, py::handle days, py::handle series,
                      py::handle scale = py::handle()) {
    py::object volatility = vt::call_method(series, VT_ID("std"));
    if (equals_zero(volatility)) return vt::get_attr(VT_GLOBAL(c, "np"), VT_ID("nan"));
    py::object root = vt::call(vt::get_attr(VT_GLOBAL(c, "np"), VT_ID("sqrt")), {days});
    py::object ratio = root * vt::call_method(series, VT_ID("mean")) / volatility;
    return scale ? ratio * vt::call_method(scale, VT_ID("std")) : ratio;
}

py::object sharpe_ratio(vt::Call &c, py::handle returns, py::handle days) {
    return annualised(c, days, returns);
}

py::object information_ratio(vt::Call &c, py::handle returns, py::handle benchmark_returns,
                             py::handle days) {
    return annualised(c, days, returns - benchmark_returns);
}

// The Sharpe ratio of the returns (computed here, not by sharpe_ratio()),
// scaled by the benchmark's volatility. `days` is used as given.
py::object modigliani_ratio(vt::Call &c, py::handle returns, py::handle benchmark_returns,
                            py::handle days) {
    return annualised(c, days, returns, benchmark_returns);
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
