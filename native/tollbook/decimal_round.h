// Rounding a double to a number of decimal places exactly as the host's
// round(x, n) does: the exact binary value rounded half to even at the n-th
// decimal, then the nearest double to that decimal.
#pragma once

namespace tollbook {

// Stores round(x, ndigits) in `out` and returns true, for 0 <= ndigits <= 15
// and the finite values whose scaled magnitude the exact method covers;
// returns false (out untouched) where the caller must ask the host instead.
bool round_decimal(double x, int ndigits, double &out);

}  // namespace tollbook
