// rolling_maximum_drawdown: the deepest fall below the running peak within a
// trailing window. Defined as these pandas steps:
//   pv = pd.Series(portfolio_value, name="pv").to_frame()["pv"]
//   roll_max = pv.rolling(window, min_periods=1).max()
//   result = (pv / roll_max - 1.0).rolling(window, min_periods=1).min()
// Plain numeric columns are computed in one native pass with the same
// results; anything else (extension or object dtypes, windows pandas
// refuses) runs the steps themselves, so values and errors are pandas' own.
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "drawdown_kernel.h"
#include "metrics.h"

namespace metrics {
namespace {

constexpr std::size_t kReleaseGilFrom = 1 << 14;

const char kDrawdownDoc[] =
    "(default) use a trailing 252 trading day window\n"
    "portfolio_value: the *daily* portfolio values";

// series.rolling(window, min_periods=1)
py::object rolling(py::handle series, py::handle window) {
    py::int_ one(1);
    return vt::call(vt::get_attr(series, VT_ID("rolling")), {window, one}, {VT_ID("min_periods")});
}

// The steps as written, for every input the native pass does not take.
py::object pandas_steps(py::handle series, py::handle window) {
    py::object pv = vt::get_item(vt::call_method(series, VT_ID("to_frame")), VT_ID("pv"));
    py::object roll_max = vt::call_method(rolling(pv, window), VT_ID("max"));
    py::object drawdown = pv / roll_max - py::float_(1.0);
    return vt::call_method(rolling(drawdown, window), VT_ID("min"));
}

// A window the native pass can use: at least 1 and within int64, as pandas
// requires. Clamped to the length, beyond which it changes nothing.
bool usable_window(py::handle window, std::size_t length, std::size_t &out) {
    int overflow = 0;
    const long long w = PyLong_AsLongLongAndOverflow(window.ptr(), &overflow);
    if (w == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow || w < 1) return false;
    out = static_cast<unsigned long long>(w) < length ? static_cast<std::size_t>(w) : length;
    if (out == 0) out = 1;
    return true;
}

// numpy's `dtype` and `empty`, taken once (not read from the module's `np`,
// which callers may rebind): they serve the native pass alone.
py::handle numpy_attr(vt::LazyObject &kept, const char *name) {
    return kept.get([name] { return py::module_::import("numpy").attr(name); });
}
vt::LazyObject numpy_dtype, numpy_empty;

// The steps use only `pd`.
py::object rolling_maximum_drawdown(vt::Call &c, py::handle portfolio_value, py::handle window) {
    py::object pd = VT_GLOBAL(c, "pd");
    py::object series = vt::call(vt::get_attr(pd, VT_ID("Series")), {portfolio_value, VT_ID("pv")},
                                 {VT_ID("name")});

    // Only plain numpy dtypes (not pandas' extension dtypes) go native.
    py::object dtype = vt::get_attr(series, VT_ID("dtype"));
    const bool is_numpy = py::isinstance(dtype, numpy_attr(numpy_dtype, "dtype"));
    const std::string kind = py::str(vt::get_attr(dtype, VT_ID("kind")));
    if (!is_numpy || kind.size() != 1 || !std::strchr("biuf", kind[0]))
        return pandas_steps(series, window);

    py::object values = vt::call_method(series, VT_ID("to_numpy"));
    py::buffer_info in = py::reinterpret_borrow<py::buffer>(values).request();
    const Kernel kernel = in.ndim == 1 ? kernel_for(in.format, in.itemsize) : nullptr;
    std::size_t effective_window = 0;
    const std::size_t length = static_cast<std::size_t>(in.size);
    if (!kernel || !usable_window(window, length, effective_window))
        return pandas_steps(series, window);

    py::object result = vt::call(numpy_attr(numpy_empty, "empty"), {py::int_(in.size)});
    py::buffer_info out = py::reinterpret_borrow<py::buffer>(result).request(true);
    if (out.itemsize != 8 || out.format.empty() || out.format.back() != 'd' || out.size != in.size)
        throw std::runtime_error("numpy.empty() did not give a float64 array");
    const Column column{static_cast<const char *>(in.ptr), in.strides[0], length};
    double *target = static_cast<double *>(out.ptr);
    std::optional<py::gil_scoped_release> unlocked;
    if (length >= kReleaseGilFrom) unlocked.emplace();
    kernel(column, effective_window, target);
    unlocked.reset();
    py::object index = vt::get_attr(series, VT_ID("index"));
    return vt::call(vt::get_attr(pd, VT_ID("Series")),
                    {result, index, VT_ID("pv"), py::bool_(false)},
                    {VT_ID("index"), VT_ID("name"), VT_ID("copy")});
}

}  // namespace

void bind_drawdown(vt::Members &m) {
    m.add<rolling_maximum_drawdown>("rolling_maximum_drawdown",
                                    {vt::arg("portfolio_value").ann("np.array"),
                                     vt::arg("window").typed("int").def(252)},
                                    "float", kDrawdownDoc);
}

}  // namespace metrics
