// Risk-adjusted return ratios. The statistics are the input's own mean()
// and std(), so numpy arrays and pandas series each keep their defaults
// (population vs sample deviation, NaN propagated vs skipped).
#include "metrics.h"

namespace metrics {
namespace {

py::object call_method(py::handle obj, py::handle name) {
    return vt::check(PyObject_CallMethodNoArgs(obj.ptr(), name.ptr()));
}

// `value == 0`, as the comparison with the literal 0 evaluates it.
bool equals_zero(py::handle value) {
    PyObject *v = value.ptr();
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v) == 0.0;
    if (PyLong_CheckExact(v)) {
        int truth = PyObject_IsTrue(v);
        if (truth < 0) throw py::error_already_set();
        return truth == 0;
    }
    py::object zero = vt::check(PyLong_FromLong(0));
    py::object eq = vt::check(PyObject_RichCompare(v, zero.ptr(), Py_EQ));
    int truth = PyObject_IsTrue(eq.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

py::object numpy_nan(const vt::Call &c) { return c.global(VT_ID("np")).attr(VT_ID("nan")); }

// np.sqrt(days) * series.mean() / volatility, evaluated left to right.
py::object annualised(const vt::Call &c, py::handle days, py::handle series,
                      py::handle volatility) {
    py::object sqrt = c.global(VT_ID("np")).attr(VT_ID("sqrt"));
    py::object root = vt::check(PyObject_CallOneArg(sqrt.ptr(), days.ptr()));
    py::object mean = call_method(series, VT_ID("mean"));
    py::object scaled = vt::check(PyNumber_Multiply(root.ptr(), mean.ptr()));
    return vt::check(PyNumber_TrueDivide(scaled.ptr(), volatility.ptr()));
}

}  // namespace

py::object sharpe_ratio(vt::Call &c) {
    py::handle returns = c[0], days = c[1];
    py::object volatility = call_method(returns, VT_ID("std"));
    if (equals_zero(volatility)) return numpy_nan(c);
    return annualised(c, days, returns, volatility);
}

py::object information_ratio(vt::Call &c) {
    py::handle returns = c[0], benchmark = c[1], days = c[2];
    py::object difference = vt::check(PyNumber_Subtract(returns.ptr(), benchmark.ptr()));
    py::object volatility = call_method(difference, VT_ID("std"));
    if (equals_zero(volatility)) return numpy_nan(c);
    return annualised(c, days, difference, volatility);
}

// The Sharpe ratio of the returns (computed here, not by sharpe_ratio()),
// scaled by the benchmark's volatility. `days` is used as given.
py::object modigliani_ratio(vt::Call &c) {
    py::handle returns = c[0], benchmark = c[1], days = c[2];
    py::object volatility = call_method(returns, VT_ID("std"));
    if (equals_zero(volatility)) return numpy_nan(c);
    py::object sharpe = annualised(c, days, returns, volatility);
    py::object benchmark_volatility = call_method(benchmark, VT_ID("std"));
    return vt::check(PyNumber_Multiply(sharpe.ptr(), benchmark_volatility.ptr()));
}

}  // namespace metrics
