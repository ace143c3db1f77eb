// A 64-bit count divided by a 32-bit one, for code that the 32-bit Windows
// stub runs (frame counters over slot counts, byte counts over a progress
// bar's width). Written as `n / d` or `n % d`, such a division becomes a call
// of the compiler's runtime, which the stub carries as a general shift and
// subtract loop (src/stub/win32_divide.h) and calls with its operands on the
// stack. On 32-bit x86 two of the processor's own divisions do it inline:
// the high word's remainder is the top half of the second dividend, so
// neither quotient can overflow.
#pragma once

#include <cstdint>

namespace zq {

// n / d, with the remainder in *remainder. d must not be 0.
inline uint64_t divide_u64_u32(uint64_t n, uint32_t d, uint32_t* remainder) {
#if defined(__i386__)
    uint32_t high;
    uint32_t low;
    uint32_t rest;
    __asm__("divl %3" : "=a"(high), "=d"(rest) : "a"(uint32_t(n >> 32)), "rm"(d), "d"(0u));
    __asm__("divl %3" : "=a"(low), "=d"(rest) : "a"(uint32_t(n)), "rm"(d), "d"(rest));
    *remainder = rest;
    return uint64_t(high) << 32 | low;
#else
    *remainder = uint32_t(n % d);
    return n / d;
#endif
}

inline uint32_t remainder_u64_u32(uint64_t n, uint32_t d) {
    uint32_t remainder;
    divide_u64_u32(n, d, &remainder);
    return remainder;
}

}  // namespace zq
