// The 64-bit division the Windows stub carries in place of the compiler's
// runtime library, checked on the host against the hardware's own division.
#include "stub/win32_divide.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

void expect_divides(uint64_t n, uint64_t d) {
    uint64_t remainder = ~0ull;
    const uint64_t quotient = zq::divide_u64(n, d, &remainder);
    EXPECT_EQ(quotient, n / d) << n << " / " << d;
    EXPECT_EQ(remainder, n % d) << n << " % " << d;
}

TEST(Win32Divide, EdgeValues) {
    const std::vector<uint64_t> values = {0,
                                          1,
                                          2,
                                          3,
                                          7,
                                          10,
                                          49,
                                          1000,
                                          0x7FFFFFFF,
                                          0x80000000,
                                          0xFFFFFFFF,
                                          0x100000000ull,
                                          0x100000001ull,
                                          10000000ull,
                                          116444736000000000ull,
                                          0x7FFFFFFFFFFFFFFFull,
                                          0x8000000000000000ull,
                                          0xFFFFFFFFFFFFFFFEull,
                                          0xFFFFFFFFFFFFFFFFull};
    for (uint64_t n : values) {
        for (uint64_t d : values) {
            if (d != 0) expect_divides(n, d);
        }
    }
}

TEST(Win32Divide, RandomOperandsOfEveryWidth) {
    std::mt19937_64 random(12345);
    for (int i = 0; i < 20000; ++i) {
        // Random widths, so that the shift alignment meets every distance.
        const uint64_t n = random() >> (random() % 64);
        const uint64_t d = (random() >> (random() % 64)) | 1;
        expect_divides(n, d);
    }
}

TEST(Win32Divide, SignedTruncatesTowardZero) {
    const std::vector<int64_t> values = {
        0,        1, -1, 2, -2, 7, -7, 49, -49, 1000000007, -1000000007, INT64_MAX, INT64_MIN + 1,
        INT64_MIN};
    for (int64_t n : values) {
        for (int64_t d : values) {
            if (d == 0 || (n == INT64_MIN && d == -1)) continue;  // undefined in the language
            EXPECT_EQ(zq::divide_s64(n, d), n / d) << n << " / " << d;
            EXPECT_EQ(zq::remainder_s64(n, d), n % d) << n << " % " << d;
        }
    }
}

}  // namespace
