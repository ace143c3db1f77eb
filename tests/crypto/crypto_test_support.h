// Hex in and out, and libsodium made ready, for the primitives' tests.
#pragma once

#include <sodium.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support.h"

namespace zq::test {

inline Bytes from_hex(const std::string& hex) {
    Bytes out;
    int high = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else
            continue;  // spaces, colons and line breaks as the documents print them
        if (high < 0) {
            high = v;
        } else {
            out.push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

inline std::string to_hex(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

inline std::string to_hex(const Bytes& b) { return to_hex(b.data(), b.size()); }

// libsodium declares its pointers never null, even beside a length of 0,
// which is what an empty vector's data() may be.
inline const uint8_t* nonnull(const Bytes& b) {
    static const uint8_t none = 0;
    return b.empty() ? &none : b.data();
}

// libsodium once per test binary; it fails only where it has no entropy
// source, which its deterministic functions used here do not need anyway.
class Sodium : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_GE(sodium_init(), 0); }
};

// Lengths at and around the 16-byte and 64-byte block edges, and a few KiB.
inline const size_t kLengths[] = {0,   1,    15,   16,   17,   31,   32,   33,
                                  63,  64,   65,   127,  128,  129,  255,  256,
                                  257, 1000, 4095, 4096, 4097, 8191, 8192, 10000};

}  // namespace zq::test
