// Little- and big-endian words and rotations, shared by the primitives. The
// byte-wise forms compile to single loads and stores where the machine's
// order matches, and never read an address at a width it is not aligned to.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zq::crypto {

inline uint32_t load32_le(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

inline void store32_le(uint8_t* at, uint32_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
    at[2] = uint8_t(value >> 16);
    at[3] = uint8_t(value >> 24);
}

inline uint32_t load32_be(const uint8_t* at) {
    return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | uint32_t(at[3]);
}

inline void store32_be(uint8_t* at, uint32_t value) {
    at[0] = uint8_t(value >> 24);
    at[1] = uint8_t(value >> 16);
    at[2] = uint8_t(value >> 8);
    at[3] = uint8_t(value);
}

inline uint32_t rotl32(uint32_t x, int n) { return x << n | x >> (32 - n); }
inline uint32_t rotr32(uint32_t x, int n) { return x >> n | x << (32 - n); }

}  // namespace zq::crypto
