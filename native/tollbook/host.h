// The module-level names a fee computation calls (round, max, int and
// math.ceil), looked up when the constructor runs, as the module's own
// Python code would. While they are the host's originals, unboxed values
// are computed in C++ with identical results; otherwise, and for boxed
// values, the looked-up callables are called.
#pragma once

#include <vt.h>

#include "value.h"

namespace tollbook {

class Host {
public:
    enum Need : unsigned { kRound = 1, kMax = 2, kInt = 4, kCeil = 8 };

    // Looks up the names in `need` through the call's module namespace.
    Host(const vt::Call &call, unsigned need);

    Val round(const Val &v, int ndigits) const;
    Val max(const Val &a, const Val &b) const;
    Val to_int(const Val &v) const;
    Val ceil(const Val &v) const;  // math.ceil

    // Takes references to the original callables; call once at module import
    // after `import math`.
    static void remember_originals(py::handle math_module);

private:
    py::object round_, max_, int_, ceil_;
    bool native_round_ = false, native_max_ = false, native_int_ = false,
         native_ceil_ = false;
};

}  // namespace tollbook
