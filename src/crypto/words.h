// Little- and big-endian words and rotations, shared by the primitives. The
// little-endian forms are single loads and stores where the machine's order
// matches, through memcpy, so at any address.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zq::crypto {

inline uint32_t load32_le(const uint8_t* at) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The word as it lies: one load, small enough for the compiler to
    // inline wherever a word is read.
    uint32_t value;
    __builtin_memcpy(&value, at, sizeof value);
    return value;
#else
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
#endif
}

inline void store32_le(uint8_t* at, uint32_t value) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    __builtin_memcpy(at, &value, sizeof value);
#else
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
    at[2] = uint8_t(value >> 16);
    at[3] = uint8_t(value >> 24);
#endif
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
