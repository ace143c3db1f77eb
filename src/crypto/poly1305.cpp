#include "crypto/poly1305.h"

#include "crypto/crypto.h"
#include "crypto/words.h"

namespace zq::crypto {

namespace {

constexpr uint32_t kLimb = 0x3ffffff;  // 26 bits

// Limb i of a 16-byte little-endian number: bits 26i to 26i + 25.
inline uint32_t limb(const uint8_t* at, int i) {
    return (load32_le(at + 3 * i) >> (2 * i)) & kLimb;
}

// h = (h + block + hibit * 2^128) * r mod 2^130 - 5. The limbs of h stay
// below 2^27 and those of 5r below 2^29, so each sum of five products stays
// below 2^59 and no 64-bit column overflows.
void block(Poly1305& s, const uint8_t m[16], uint32_t hibit) {
    uint32_t h[5];
    for (int i = 0; i < 5; ++i) h[i] = s.h[i] + limb(m, i);
    h[4] += hibit;
    // Column i sums h_j r_(i-j); where i - j goes below 0 the product
    // reaches past 2^130, which is 5 modulo the prime, so it comes back in
    // at the bottom as 5r. The carry from each column goes into the next,
    // leaving every limb at 26 bits.
    uint64_t carry = 0;
    for (int i = 0; i < 5; ++i) {
        uint64_t d = carry;
        for (int j = 0; j < 5; ++j) d += uint64_t(h[j]) * (j <= i ? s.r[i - j] : s.r5[i - j + 5]);
        s.h[i] = uint32_t(d) & kLimb;
        carry = d >> 26;
    }
    // The carry out of the top limb is below 2^30, so 5 times it plus a
    // limb stays below 2^32; the second limb may keep one bit more than 26,
    // within the bound above.
    s.h[0] += uint32_t(carry) * 5;
    s.h[1] += s.h[0] >> 26;
    s.h[0] &= kLimb;
}

}  // namespace

void poly1305_init(Poly1305& s, const uint8_t key[32]) {
    // r with the bits the algorithm clears (r &= 0x0ffffffc0ffffffc0ffffffc0fffffff).
    static const uint32_t clamp[5] = {0x3ffffff, 0x3ffff03, 0x3ffc0ff, 0x3f03fff, 0x00fffff};
    for (int i = 0; i < 5; ++i) {
        s.r[i] = limb(key, i) & clamp[i];
        s.r5[i] = s.r[i] * 5;
        s.h[i] = 0;
    }
    for (int i = 0; i < 4; ++i) s.pad[i] = load32_le(key + 16 + 4 * i);
}

void poly1305_update(Poly1305& s, const uint8_t* data, size_t length, bool zero_pad) {
    for (; length >= 16; data += 16, length -= 16) block(s, data, 1u << 24);
    if (length == 0) return;
    uint8_t last[16] = {};
    for (size_t i = 0; i < length; ++i) last[i] = data[i];
    if (zero_pad) {
        block(s, last, 1u << 24);
    } else {
        last[length] = 1;
        block(s, last, 0);
    }
    wipe(last, sizeof last);
}

void poly1305_finish(Poly1305& s, uint8_t tag[16]) {
    uint32_t* h = s.h;
    // Full carry, twice round: every limb to 26 bits, h below 2^130.
    for (int round = 0; round < 2; ++round) {
        for (int i = 1; i < 5; ++i) {
            h[i] += h[i - 1] >> 26;
            h[i - 1] &= kLimb;
        }
        h[0] += (h[4] >> 26) * 5;
        h[4] &= kLimb;
    }
    // g = h + 5 - 2^130. h mod the prime is g when g does not go below zero,
    // else h: chosen by mask, not by branch.
    uint32_t g[5], c = 5;
    for (int i = 0; i < 5; ++i) {
        g[i] = h[i] + c;
        c = g[i] >> 26;
        g[i] &= kLimb;
    }
    const uint32_t take_g = 0 - c;  // all ones when h + 5 reached 2^130
    for (int i = 0; i < 5; ++i) h[i] = (h[i] & ~take_g) | (g[i] & take_g);

    // The low 128 bits plus the pad, modulo 2^128.
    uint64_t f = h[0];
    for (int i = 0; i < 4; ++i) {
        f += (uint64_t(h[i + 1]) << (26 - 6 * i)) + s.pad[i];
        store32_le(tag + 4 * i, uint32_t(f));
        f >>= 32;
    }
    wipe(g, sizeof g);
    wipe(&s, sizeof s);
}

}  // namespace zq::crypto
