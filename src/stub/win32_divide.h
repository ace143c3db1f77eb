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

// Signed forms: the quotient truncates toward zero and the remainder takes
// the dividend's sign, as the language's / and % do.
inline uint64_t magnitude(int64_t value) {
    return value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

inline int64_t divide_s64(int64_t n, int64_t d) {
    uint64_t remainder;
    const uint64_t quotient = divide_u64(magnitude(n), magnitude(d), &remainder);
    return static_cast<int64_t>((n < 0) != (d < 0) ? 0 - quotient : quotient);
}

inline int64_t remainder_s64(int64_t n, int64_t d) {
    uint64_t remainder;
    divide_u64(magnitude(n), magnitude(d), &remainder);
    return static_cast<int64_t>(n < 0 ? 0 - remainder : remainder);
}

}  // namespace zq
