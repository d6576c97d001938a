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
#include <cstdint>

namespace metrics {

enum class ElementType { Bool, Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64,
                         Float32, Float64 };

// A strided one-dimensional column of `size` elements of `type`.
struct Column {
    const char *data;
    std::ptrdiff_t stride;  // in bytes
    std::size_t size;
    ElementType type;
};

// Writes column.size results to `out`; `window` must be at least 1.
void rolling_drawdown(const Column &column, std::size_t window, double *out);

}  // namespace metrics
