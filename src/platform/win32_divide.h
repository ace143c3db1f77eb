// Unsigned 64-bit division by shifting and subtracting, for the Windows stub,
// which has no compiler runtime library to call. Uses only operations that
// 32-bit code does inline (shifts, comparisons, subtraction), so it never
// calls itself through the compiler.
#pragma once

#include <cstdint>

namespace zq {

// Quotient of n / d, with the remainder in *remainder. d must not be 0.
inline uint64_t divide_u64(uint64_t n, uint64_t d, uint64_t* remainder) {
  uint64_t quotient = 0;
  if (d <= n) {
    // Line the divisor's top bit up with the dividend's, then walk back down.
    int shift = __builtin_clzll(d) - __builtin_clzll(n);
    d <<= shift;
    for (; shift >= 0; --shift) {
      quotient <<= 1;
      if (n >= d) {
        n -= d;
        quotient |= 1;
      }
      d >>= 1;
    }
  }
  *remainder = n;
  return quotient;
}

}  // namespace zq
