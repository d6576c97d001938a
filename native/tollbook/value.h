// A number as the fee arithmetic sees it. Plain ints that fit 64 bits and
// plain floats are held unboxed and computed in C++ with the host's exact
// semantics; anything else (big ints, bools, numpy scalars, fractions...)
// stays a Python object and goes through the host's own operators, so every
// result and result type is what the same Python expression gives.
#pragma once

#include <pybind11/pybind11.h>

namespace tollbook {
namespace py = pybind11;

class Val {
public:
    enum class Tag : unsigned char { Int, Float, Obj };

    Val() = default;
    static Val integer(long long v) {
        Val r;
        r.i_ = v;
        return r;
    }
    static Val real(double v) {
        Val r;
        r.tag_ = Tag::Float;
        r.d_ = v;
        return r;
    }
    // Unboxes exact ints and floats; keeps a reference to anything else.
    static Val of(py::handle value);

    Tag tag() const { return tag_; }
    bool is_int() const { return tag_ == Tag::Int; }
    bool is_float() const { return tag_ == Tag::Float; }
    long long i() const { return i_; }
    double d() const { return d_; }

    // The value as a Python object (a new int or float when unboxed).
    py::object object() const;
    // The value as the double the host would convert it to in float
    // arithmetic, when that conversion is exact; false otherwise.
    bool exact_double(double &out) const;

private:
    Tag tag_ = Tag::Int;
    long long i_ = 0;
    double d_ = 0.0;
    py::object obj_;
};

// The host's binary operators; `inplace` selects the augmented form (+=).
Val add(const Val &a, const Val &b, bool inplace = false);
Val mul(const Val &a, const Val &b);
Val truediv(const Val &a, const Val &b);
// a > b as a truth value (Python's rich comparison, then bool()).
bool greater(const Val &a, const Val &b);
inline bool less(const Val &a, const Val &b) { return greater(b, a); }

}  // namespace tollbook
