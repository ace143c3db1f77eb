// A 64-bit count in decimal for the stubs' listing, without 64-bit division:
// the 32-bit Windows stub would otherwise pull in the compiler's runtime
// division routine for it.
#pragma once

#include <cstdint>

namespace zq {

// Writes `value` right-aligned in at least `width` places (blanks in front),
// more when it has more digits, and no NUL; returns the end. Long division
// by ten over 16-bit pieces keeps every step within 32 bits.
inline char* put_size(char* out, uint64_t value, uint32_t width) {
    char digits[20];
    uint32_t count = 0;
    do {
        uint32_t rest = 0;
        uint64_t quotient = 0;
        for (int shift = 48; shift >= 0; shift -= 16) {
            const uint32_t part = (rest << 16) | uint32_t((value >> shift) & 0xFFFF);
            quotient |= uint64_t(part / 10) << shift;
            rest = part % 10;
        }
        digits[count++] = char('0' + rest);
        value = quotient;
    } while (value != 0);
    for (uint32_t pad = count; pad < width; ++pad) *out++ = ' ';
    while (count != 0) *out++ = digits[--count];
    return out;
}

}  // namespace zq
