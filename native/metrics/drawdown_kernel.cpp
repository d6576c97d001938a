#include "drawdown_kernel.h"

#include <Python.h>  // PY_LITTLE_ENDIAN

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

// Sliding extrema by blocks (van Herk / Gil-Werman): the positions are cut
// into blocks of `window`; a window ending at i covers the tail of the
// previous block (its suffix extreme, computed backwards once that block is
// done) and the head of the current one (the running prefix extreme), so
// each result costs one comparison, without branches. Both rolling steps
// run block by block in one sweep, on buffers of one block that stay in
// cache. Skipped entries are replaced by a sentinel that loses every
// comparison (-inf for the peak, +inf for the drawdown); a window holding
// only sentinels yields NaN, as an all-NaN window does in pandas.

namespace metrics {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <class T>
double load(const char *p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return static_cast<double>(value);
}

// numpy stores a bool as one byte; any non-zero byte counts as true.
template <>
double load<bool>(const char *p) {
    return *reinterpret_cast<const unsigned char *>(p) != 0 ? 1.0 : 0.0;
}

inline double max_of(double a, double b) { return a < b ? b : a; }
inline double min_of(double a, double b) { return b < a ? b : a; }
inline double finite_or(double v, double sentinel) { return std::isfinite(v) ? v : sentinel; }

template <class T>
void run(const Column &column, std::size_t window, double *out) {
    const std::size_t n = column.size;
    const char *const base = column.data;
    const std::ptrdiff_t stride = column.stride;
    auto value_at = [base, stride](std::size_t i) {
        return load<T>(base + static_cast<std::ptrdiff_t>(i) * stride);
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

}  // namespace

Kernel kernel_for(const std::string &format, std::ptrdiff_t itemsize) {
    std::size_t at = 0;
    if (!format.empty() && std::strchr("@=<>!", format[0])) {
        const char order = format[0];
        if ((order == '>' || order == '!') == (PY_LITTLE_ENDIAN != 0)) return nullptr;
        at = 1;
    }
    if (format.size() != at + 1) return nullptr;
    const char code = format[at];
    if (code == '?') return itemsize == 1 ? run<bool> : nullptr;
    const bool is_float = code == 'f' || code == 'd';
    if (is_float && itemsize == 4) return run<float>;
    if (is_float) return itemsize == 8 ? run<double> : nullptr;
    const bool is_signed = std::strchr("bhilqn", code) != nullptr;
    if (!is_signed && !std::strchr("BHILQN", code)) return nullptr;
    switch (itemsize) {
    case 1: return is_signed ? run<std::int8_t> : run<std::uint8_t>;
    case 2: return is_signed ? run<std::int16_t> : run<std::uint16_t>;
    case 4: return is_signed ? run<std::int32_t> : run<std::uint32_t>;
    case 8: return is_signed ? run<std::int64_t> : run<std::uint64_t>;
    default: return nullptr;
    }
}

}  // namespace metrics
