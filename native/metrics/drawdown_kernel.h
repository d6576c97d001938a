// Rolling maximum drawdown over a column of numbers, in O(n).
//
// For each position i, with the window covering the last `window` positions:
//   peak[i]     = largest finite value in the window (NaN if there is none)
//   drawdown[i] = value[i] / peak[i] - 1.0
//   result[i]   = smallest finite drawdown in the window (NaN if none)
// Infinite and NaN entries are skipped by both rolling steps, as pandas'
// rolling max()/min() skip them, so results match them bit for bit.
#pragma once

#include <cstddef>
#include <string>

namespace metrics {

// A strided one-dimensional column of `size` elements.
struct Column {
    const char *data;
    std::ptrdiff_t stride;  // in bytes
    std::size_t size;
};

// Writes column.size results to `out`; `window` must be at least 1.
using Kernel = void (*)(const Column &column, std::size_t window, double *out);

// The kernel for the elements of a buffer format ("d", "<q", "=B", ...) of
// `itemsize` bytes, or null for formats it does not read (half floats,
// other byte orders...).
Kernel kernel_for(const std::string &format, std::ptrdiff_t itemsize);

}  // namespace metrics
