#include "value.h"

#include <limits>

#include <vt.h>

namespace tollbook {

namespace {

constexpr long long kExactLimit = 1LL << 53;  // ints that convert to double exactly
constexpr long long kMulLimit = 3037000499LL;  // floor(sqrt(2^63 - 1))

Val from_host(PyObject *result) { return Val::of(vt::check(result)); }

}  // namespace

Val Val::of(py::handle value) {
    PyObject *p = value.ptr();
    if (PyFloat_CheckExact(p)) return real(PyFloat_AS_DOUBLE(p));
    if (PyLong_CheckExact(p)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(p, &overflow);
        if (!overflow) return integer(v);  // an exact int cannot fail otherwise
    }
    Val r;
    r.tag_ = Tag::Obj;
    r.obj_ = py::reinterpret_borrow<py::object>(value);
    return r;
}

py::object Val::object() const {
    switch (tag_) {
        case Tag::Int: return vt::check(PyLong_FromLongLong(i_));
        case Tag::Float: return vt::check(PyFloat_FromDouble(d_));
        default: return obj_;
    }
}

bool Val::exact_double(double &out) const {
    if (tag_ == Tag::Float) {
        out = d_;
        return true;
    }
    if (tag_ == Tag::Int && i_ >= -kExactLimit && i_ <= kExactLimit) {
        out = static_cast<double>(i_);
        return true;
    }
    return false;
}

// int op int stays an int; a float on either side makes the host convert
// the int and compute in doubles, which is what happens here when the
// conversion is exact.
Val add(const Val &a, const Val &b, bool inplace) {
    if (a.is_int() && b.is_int()) {
        long long x = a.i(), y = b.i();
        if ((y >= 0 && x <= std::numeric_limits<long long>::max() - y) ||
            (y < 0 && x >= std::numeric_limits<long long>::min() - y))
            return Val::integer(x + y);
    } else if (a.is_float() || b.is_float()) {
        double x, y;
        if (a.exact_double(x) && b.exact_double(y)) return Val::real(x + y);
    }
    py::object l = a.object(), r = b.object();
    return from_host(inplace ? PyNumber_InPlaceAdd(l.ptr(), r.ptr())
                             : PyNumber_Add(l.ptr(), r.ptr()));
}

Val mul(const Val &a, const Val &b) {
    if (a.is_int() && b.is_int()) {
        long long x = a.i(), y = b.i();
        if (x >= -kMulLimit && x <= kMulLimit && y >= -kMulLimit && y <= kMulLimit)
            return Val::integer(x * y);
    } else if (a.is_float() || b.is_float()) {
        double x, y;
        if (a.exact_double(x) && b.exact_double(y)) return Val::real(x * y);
    }
    py::object l = a.object(), r = b.object();
    return from_host(PyNumber_Multiply(l.ptr(), r.ptr()));
}

// Between ints as between floats, true division of exactly representable
// operands is the correctly rounded quotient; a zero divisor is left to the
// host to report.
Val truediv(const Val &a, const Val &b) {
    double x, y;
    if (a.exact_double(x) && b.exact_double(y) && y != 0.0) return Val::real(x / y);
    py::object l = a.object(), r = b.object();
    return from_host(PyNumber_TrueDivide(l.ptr(), r.ptr()));
}

bool greater(const Val &a, const Val &b) {
    if (a.is_int() && b.is_int()) return a.i() > b.i();
    double x, y;
    if (a.exact_double(x) && b.exact_double(y)) return x > y;
    py::object l = a.object(), r = b.object();
    int t = PyObject_RichCompareBool(l.ptr(), r.ptr(), Py_GT);
    if (t < 0) throw py::error_already_set();
    return t != 0;
}

}  // namespace tollbook
