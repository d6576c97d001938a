// What the schedules need of the host, done as the host does it: arithmetic
// on unboxed numbers, round, max, int and math.ceil, the fee object's figures.
#include <cmath>
#include <exception>
#include <functional>
#include <type_traits>

#include "tollbook.h"

namespace tollbook {

namespace {

constexpr long long kExact = 1LL << 53;           // ints that convert to double exactly
constexpr long long kAddLimit = (1LL << 62) - 1;  // both within: a + b fits
constexpr long long kMulLimit = 3037000499LL;     // floor(sqrt(2^63 - 1)): a * b fits
constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};

// Kept for the life of the process.
py::handle g_names[kFields];
PyObject *g_host[4];  // builtins.round, builtins.max, builtins.int, math.ceil

bool is_int(const Num &v) { return v.kind == Num::Int; }
bool is_float(const Num &v) { return v.kind == Num::Float; }

// The double the host converts `v` to in float arithmetic, when exact.
bool exact_double(const Num &v, double &out) {
    out = is_float(v) ? v.d : static_cast<double>(v.i);
    return is_float(v) || (is_int(v) && v.i >= -kExact && v.i <= kExact);
}

Num host(binaryfunc op, const Num &a, const Num &b) {
    return Num::of(vt::check(op(a.object().ptr(), b.object().ptr())));
}

// a op b: int op int stays an int, computed here while it surely fits 64 bits;
// a float on either side makes the host convert the other and compute in
// doubles, done here when the conversion is exact.
template <class Op>
Num arith(const Num &a, const Num &b, binaryfunc host_op) {
    const long long limit = std::is_same_v<Op, std::multiplies<>> ? kMulLimit : kAddLimit;
    double x, y;
    if (is_int(a) && is_int(b) && a.i >= -limit && a.i <= limit && b.i >= -limit && b.i <= limit)
        return Op()(a.i, b.i);
    if ((is_float(a) || is_float(b)) && exact_double(a, x) && exact_double(b, y)) return Op()(x, y);
    return host(host_op, a, b);
}

bool compare(const Num &a, const Num &b, int op) {
    double x, y;
    if (exact_double(a, x) && exact_double(b, y)) return op == Py_LT ? x < y : x > y;
    return vt::truth(vt::compare(a.object(), b.object(), op));
}

// round(x, ndigits) as the host rounds (the exact binary value, half to even
// at the n-th decimal, then the nearest double), for 0 <= ndigits <= 8 and
// the values the method covers; false where the host must be asked. With
// p = 10^n (exact), x * p = hi + lo exactly (fma gives the product's rounding
// error lo). Below 2^52, hi - trunc(hi) is exact, and unless hi is a midpoint
// the nearest integer to hi is that of hi + lo; at a midpoint (|hi| >= 1/2,
// so lo is far from the subnormals) lo's sign decides, and a tie goes to the
// even neighbour. The integer k is then exact, and k / p the double nearest
// to k * 10^-n.
bool round_decimal(double x, int ndigits, double &out) {
    if (ndigits < 0 || ndigits > 8) return false;
    const double p = kPowers[ndigits];
    const double hi = x * p;
    if (!(std::fabs(hi) < 0x1p52)) return false;  // also NaN and infinities
    double k = std::nearbyint(hi);                 // half to even
    if (std::fabs(hi - std::trunc(hi)) == 0.5) {
        const double lo = std::fma(x, p, -hi);
        if (lo != 0.0) k = lo > 0.0 ? std::floor(hi) + 1.0 : std::floor(hi);
    }
    const double result = k / p;
    out = result == 0.0 ? std::copysign(0.0, x) : result;
    return true;
}

bool plain_access(PyTypeObject *type) { return vt::plain_attributes(type, g_names, kFields); }

}  // namespace

Num Num::of(py::handle value) {
    PyObject *p = value.ptr();
    if (PyFloat_CheckExact(p)) return PyFloat_AS_DOUBLE(p);
    if (PyLong_CheckExact(p)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(p, &overflow);
        if (!overflow) return v;  // an exact int cannot fail otherwise
    }
    return Num(py::reinterpret_borrow<py::object>(value));
}

py::object Num::object() const {
    if (kind == Int) return vt::check(PyLong_FromLongLong(i));
    if (kind == Float) return vt::check(PyFloat_FromDouble(d));
    return obj;
}

Num operator+(const Num &a, const Num &b) { return arith<std::plus<>>(a, b, PyNumber_Add); }
Num iadd(const Num &a, const Num &b) { return arith<std::plus<>>(a, b, PyNumber_InPlaceAdd); }
Num operator*(const Num &a, const Num &b) {
    return arith<std::multiplies<>>(a, b, PyNumber_Multiply);
}

// Between ints as between floats, true division of exactly representable
// operands is the correctly rounded quotient; a zero divisor is left to the
// host to report.
Num operator/(const Num &a, const Num &b) {
    double x, y;
    if (exact_double(a, x) && exact_double(b, y) && y != 0.0) return x / y;
    return host(PyNumber_TrueDivide, a, b);
}

bool operator<(const Num &a, const Num &b) { return compare(a, b, Py_LT); }
bool operator>(const Num &a, const Num &b) { return compare(a, b, Py_GT); }

void prepare(py::handle math) {
#define TOLLBOOK_TEXT(name) #name,
    const char *const texts[] = {TOLLBOOK_FIELDS(TOLLBOOK_TEXT)};
#undef TOLLBOOK_TEXT
    for (std::size_t i = 0; i < kFields; ++i)
        g_names[i] = vt::check(PyUnicode_InternFromString(texts[i])).release();
    py::module_ builtins = py::module_::import("builtins");
    g_host[kRound] = py::object(builtins.attr("round")).release().ptr();
    g_host[kMax] = py::object(builtins.attr("max")).release().ptr();
    g_host[kInt] = py::object(builtins.attr("int")).release().ptr();
    g_host[kCeil] = py::object(math.attr("ceil")).release().ptr();
}

Fees::Fees(vt::Call &c, py::handle self, vt::ClassWatch<bool> &watch)
    : c_(c), self_(self), plain_(watch.facts(Py_TYPE(self.ptr()), plain_access)) {}

Fees::~Fees() {
    if (!std::uncaught_exceptions()) return;  // the schedule committed
    try {
        commit();
    } catch (...) {
        // the error already propagating is the one the caller sees
    }
}

const Num &Fees::get(Field field) {
    if (!plain_ || !loaded_[field]) values_[field] = Num::of(vt::get_attr(self_, g_names[field]));
    loaded_[field] = true;
    return values_[field];
}

void Fees::set(Field field, Num value) {
    values_[field] = std::move(value);
    loaded_[field] = true;
    dirty_[field] = plain_;
    if (!plain_) vt::set_attr(self_, g_names[field], values_[field].object());
}

Num Fees::charges() {
    Num total = get(commissions);
    for (Field field : {platform_fees, system_fees, settlement_fees, stamp_fees, trade_fees,
                        transaction_fees})
        total = total + get(field);
    return total;
}

void Fees::commit() {
    for (std::size_t field = 0; field < kFields; ++field) {
        if (!dirty_[field]) continue;
        dirty_[field] = false;
        vt::set_attr(self_, g_names[field], values_[field].object());
    }
}

py::handle Fees::look_up(Callable which) {
    if (which == kRound) found_[which] = VT_GLOBAL(c_, "round");
    if (which == kMax) found_[which] = VT_GLOBAL(c_, "max");
    if (which == kInt) found_[which] = VT_GLOBAL(c_, "int");
    if (which == kCeil) found_[which] = VT_ATTR(VT_GLOBAL(c_, "math"), "ceil");
    return found_[which];
}

bool Fees::native(Callable which) { return found(which).ptr() == g_host[which]; }

// round(int, n >= 0) gives the int back unchanged.
Num Fees::round(const Num &v, int ndigits) {
    const bool own = native(kRound);
    double out = 0.0;
    if (own && is_int(v)) return v;
    if (own && is_float(v) && round_decimal(v.d, ndigits, out)) return out;
    return Num::of(vt::call(found(kRound), {v.object(), py::int_(ndigits)}));
}

// The builtin keeps the first argument unless the second compares greater.
Num Fees::max(const Num &a, const Num &b) {
    if (native(kMax)) return b > a ? b : a;
    return Num::of(vt::call(found(kMax), {a.object(), b.object()}));
}

// int(v) and math.ceil(v) give an int back unchanged, and a float truncated
// or rounded up inside (-2^63, 2^63) as a long long; the host refuses
// infinities and NaN.
Num Fees::whole(Callable which, const Num &v) {
    const bool own = native(which);
    if (own && is_int(v)) return v;
    const double d = which == kInt ? std::trunc(v.d) : std::ceil(v.d);
    if (own && is_float(v) && d > -0x1p63 && d < 0x1p63) return static_cast<long long>(d);
    return Num::of(vt::call(found(which), {v.object()}));
}

}  // namespace tollbook
