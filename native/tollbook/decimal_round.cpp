#include "decimal_round.h"

#include <cmath>

namespace tollbook {

namespace {

constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                              1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
constexpr double kTwo52 = 4503599627370496.0;

}  // namespace

// With p = 10^n (exact), x * p = hi + lo exactly (fma gives the product's
// rounding error, which is representable since |hi| >= 0.5 keeps it far from
// the subnormals). Below 2^52 every double is a multiple of a power of two
// no greater than 1/2, so hi - floor(hi) is exact and, unless it is exactly
// one half, lo cannot carry the value across the midpoint: only true ties
// and near-ties need lo. The rounded integer k is then exact, and k / p is
// the correctly rounded quotient, i.e. the double nearest to k * 10^-n.
bool round_decimal(double x, int ndigits, double &out) {
    if (ndigits < 0 || ndigits > 15) return false;
    const double p = kPowers[ndigits];
    const double hi = x * p;
    const double magnitude = std::fabs(hi);
    if (!(magnitude < kTwo52)) return false;  // also NaN and infinities
    if (magnitude < 0.5) {                    // exact |x * p| < 1/2 too
        out = std::copysign(0.0, x);
        return true;
    }
    const double below = std::floor(hi);
    const double frac = hi - below;
    double k = below;
    if (frac > 0.5) {
        k = below + 1.0;
    } else if (frac == 0.5) {
        const double lo = std::fma(x, p, -hi);
        if (lo > 0.0) {
            k = below + 1.0;
        } else if (lo == 0.0 && std::fmod(below, 2.0) != 0.0) {
            k = below + 1.0;  // exact tie: to the even neighbour
        }
    }
    const double result = k / p;
    out = result == 0.0 ? std::copysign(0.0, x) : result;
    return true;
}

}  // namespace tollbook
