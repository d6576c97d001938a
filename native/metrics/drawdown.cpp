// rolling_maximum_drawdown: the deepest fall below the running peak within a
// trailing window. Defined as these pandas steps:
//   pv = pd.Series(portfolio_value, name="pv").to_frame()["pv"]
//   roll_max = pv.rolling(window, min_periods=1).max()
//   result = (pv / roll_max - 1.0).rolling(window, min_periods=1).min()
// Plain numeric columns are computed in one native pass with the same
// results; anything else (extension or object dtypes, windows pandas
// refuses) runs the steps themselves, so values and errors are pandas' own.
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include <pybind11/numpy.h>

#include "metrics.h"

namespace metrics {

constexpr std::size_t kReleaseGilFrom = 1 << 14;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

inline double max_of(double a, double b) { return a < b ? b : a; }
inline double min_of(double a, double b) { return b < a ? b : a; }
inline double finite_or(double v, double sentinel) { return std::isfinite(v) ? v : sentinel; }

// The native pass over the n float64 values of `in`, for a window of 1 to n
// (0 when n is 0). For each position i, with the window covering the last
// `window` positions:
//   peak[i]     = largest finite value in the window (NaN if there is none)
//   drawdown[i] = value[i] / peak[i] - 1.0
//   result[i]   = smallest finite drawdown in the window (NaN if none)
// Infinite and NaN entries are skipped by both rolling steps, as pandas'
// rolling max()/min() skip them, so results match them bit for bit.
//
// Sliding extrema by blocks (van Herk / Gil-Werman): the positions are cut
// into blocks of `window`; a window ending at i covers the tail of the
// previous block (its suffix extreme, computed backwards once that block is
// done) and the head of the current one (the running prefix extreme), so
// each result costs one comparison, without branches. Both rolling steps
// run block by block in one sweep, on buffers of one block that stay in
// cache. Skipped entries are replaced by a sentinel that loses every
// comparison (-inf for the peak, +inf for the drawdown); a window holding
// only sentinels yields NaN, as an all-NaN window does in pandas.
void run(const py::buffer_info &in, std::size_t window, double *out) {
    const std::size_t n = static_cast<std::size_t>(in.size);
    const char *const base = static_cast<const char *>(in.ptr);
    const std::ptrdiff_t stride = in.strides[0];
    auto value_at = [base, stride](std::size_t i) {
        double value;
        std::memcpy(&value, base + static_cast<std::ptrdiff_t>(i) * stride, sizeof value);
        return value;
    };
    // Suffix extremes of the previous block, one sentinel past its end (the
    // window ending on the last position of a block lies wholly inside it).
    std::vector<double> peak_tail(window + 1, -kInf), low_tail(window + 1, kInf);
    std::vector<double> drawdowns(window);

    for (std::size_t start = 0; start < n; start += window) {
        const std::size_t size = n - start < window ? n - start : window;
        double peak_head = -kInf, low_head = kInf;
        for (std::size_t t = 0; t < size; ++t) {
            const double value = value_at(start + t);
            peak_head = max_of(peak_head, finite_or(value, -kInf));
            // A peak of -inf (no finite value in the window) comes only with
            // a value that is not finite, whose drawdown is skipped anyway.
            const double peak = max_of(peak_tail[t + 1], peak_head);
            const double drawdown = finite_or(value / peak - 1.0, kInf);
            drawdowns[t] = drawdown;
            low_head = min_of(low_head, drawdown);
            const double low = min_of(low_tail[t + 1], low_head);
            out[start + t] = low == kInf ? kNaN : low;
        }
        if (size < window) break;
        double peak_acc = -kInf, low_acc = kInf;
        for (std::size_t t = size; t-- > 0;) {
            peak_acc = max_of(peak_acc, finite_or(value_at(start + t), -kInf));
            peak_tail[t] = peak_acc;
            low_acc = min_of(low_acc, drawdowns[t]);
            low_tail[t] = low_acc;
        }
    }
}

namespace {

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

// The steps use only `pd`.
py::object rolling_maximum_drawdown(vt::Call &c, py::handle portfolio_value, py::handle window) {
    py::object pd = VT_GLOBAL(c, "pd");
    py::object series = vt::call(vt::get_attr(pd, VT_ID("Series")), {portfolio_value, VT_ID("pv")},
                                 {VT_ID("name")});

    // Only plain numpy dtypes (not pandas' extension dtypes) go native.
    py::object dtype = vt::get_attr(series, VT_ID("dtype"));
    const bool is_numpy = py::isinstance<py::dtype>(dtype);
    const std::string kind = py::str(vt::get_attr(dtype, VT_ID("kind")));
    if (!is_numpy || kind.size() != 1 || !std::strchr("biuf", kind[0]))
        return pandas_steps(series, window);

    py::object values = vt::call_method(series, VT_ID("to_numpy"));
    py::buffer_info in = py::reinterpret_borrow<py::buffer>(values).request();
    // Other numbers in native byte order (not half or long doubles) are read
    // as float64, as the rolling steps read them.
    if (in.ndim == 1 && in.format.size() == 1 && std::strchr("?bBhHiIlLqQf", in.format[0])) {
        values = vt::call_method(values, VT_ID("astype"), VT_ID("float64"));
        in = py::reinterpret_borrow<py::buffer>(values).request();
    }
    // The native pass takes a window of at least 1 and within int64, as pandas
    // requires, clamped to the length, beyond which it changes nothing.
    int overflow = 0;
    const long long w = PyLong_AsLongLongAndOverflow(window.ptr(), &overflow);
    if (w == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (in.ndim != 1 || in.format != "d" || overflow || w < 1) return pandas_steps(series, window);
    const std::size_t length = static_cast<std::size_t>(in.size);
    const std::size_t effective_window =
        static_cast<unsigned long long>(w) < length ? static_cast<std::size_t>(w) : length;

    py::array_t<double> result(in.size);
    std::optional<py::gil_scoped_release> unlocked;
    if (length >= kReleaseGilFrom) unlocked.emplace();
    run(in, effective_window, result.mutable_data());
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
