#include "host.h"

#include <cmath>

#include "decimal_round.h"

namespace tollbook {

namespace {

// The host's own round, max, int and math.ceil, kept alive for the life of
// the process so that identity tells whether a looked-up name is still one
// of them.
PyObject *g_round = nullptr;
PyObject *g_max = nullptr;
PyObject *g_int = nullptr;
PyObject *g_ceil = nullptr;

constexpr double kInt64Bound = 9223372036854775808.0;  // 2^63

Val call(const py::object &fn, const Val &v) {
    py::object arg = v.object();
    return Val::of(vt::check(PyObject_CallOneArg(fn.ptr(), arg.ptr())));
}

Val call(const py::object &fn, const Val &a, const Val &b) {
    py::object x = a.object(), y = b.object();
    PyObject *args[] = {x.ptr(), y.ptr()};
    return Val::of(vt::check(PyObject_Vectorcall(fn.ptr(), args, 2, nullptr)));
}

// A double inside (-2^63, 2^63) truncated or rounded up is a long long.
bool fits_int64(double d) { return d > -kInt64Bound && d < kInt64Bound; }

}  // namespace

void Host::remember_originals(py::handle math_module) {
    if (g_round) return;
    py::module_ builtins = py::module_::import("builtins");
    auto keep = [](py::object obj) { return obj.release().ptr(); };
    g_round = keep(builtins.attr("round"));
    g_max = keep(builtins.attr("max"));
    g_int = keep(builtins.attr("int"));
    g_ceil = keep(math_module.attr("ceil"));
}

Host::Host(const vt::Call &call, unsigned need) {
    if (need & kRound) {
        round_ = VT_GLOBAL(call, "round");
        native_round_ = round_.ptr() == g_round;
    }
    if (need & kMax) {
        max_ = VT_GLOBAL(call, "max");
        native_max_ = max_.ptr() == g_max;
    }
    if (need & kInt) {
        int_ = VT_GLOBAL(call, "int");
        native_int_ = int_.ptr() == g_int;
    }
    if (need & kCeil) {
        ceil_ = VT_ATTR(VT_GLOBAL(call, "math"), "ceil");
        native_ceil_ = ceil_.ptr() == g_ceil;
    }
}

// round(int, n >= 0) gives the int back unchanged.
Val Host::round(const Val &v, int ndigits) const {
    if (native_round_) {
        if (v.is_int()) return v;
        double out;
        if (v.is_float() && round_decimal(v.d(), ndigits, out)) return Val::real(out);
    }
    return call(round_, v, Val::integer(ndigits));
}

// The builtin keeps the first argument unless the second compares greater.
Val Host::max(const Val &a, const Val &b) const {
    if (native_max_) return greater(b, a) ? b : a;
    return call(max_, a, b);
}

Val Host::to_int(const Val &v) const {
    if (native_int_) {
        if (v.is_int()) return v;
        if (v.is_float() && fits_int64(v.d()))
            return Val::integer(static_cast<long long>(std::trunc(v.d())));
    }
    return call(int_, v);
}

// math.ceil of an int is that int; infinities and NaN are left to the host
// to refuse.
Val Host::ceil(const Val &v) const {
    if (native_ceil_) {
        if (v.is_int()) return v;
        if (v.is_float()) {
            double up = std::ceil(v.d());
            if (fits_int64(up)) return Val::integer(static_cast<long long>(up));
        }
    }
    return call(ceil_, v);
}

}  // namespace tollbook
