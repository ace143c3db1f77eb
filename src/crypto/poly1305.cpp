#include "crypto/poly1305.h"

#include "crypto/crypto.h"
#include "crypto/words.h"

namespace zq::crypto {

namespace {

constexpr uint32_t kLimb = 0x3ffffff;  // 26 bits

inline uint64_t mul(uint32_t a, uint32_t b) { return uint64_t(a) * b; }

// h = (h + block + hibit * 2^128) * r mod 2^130 - 5. The limbs of h stay
// below 2^27 and those of 5r below 2^29, so each sum of five products stays
// below 2^59 and no 64-bit column overflows.
void block(Poly1305& s, const uint8_t m[16], uint32_t hibit) {
    const uint32_t r0 = s.r[0], r1 = s.r[1], r2 = s.r[2], r3 = s.r[3], r4 = s.r[4];
    // 2^130 = 5 modulo the prime, so a product that reaches past the top
    // limb comes back in at the bottom times 5.
    const uint32_t s1 = r1 * 5, s2 = r2 * 5, s3 = r3 * 5, s4 = r4 * 5;
    const uint32_t h0 = s.h[0] + (load32_le(m) & kLimb);
    const uint32_t h1 = s.h[1] + ((load32_le(m + 3) >> 2) & kLimb);
    const uint32_t h2 = s.h[2] + ((load32_le(m + 6) >> 4) & kLimb);
    const uint32_t h3 = s.h[3] + ((load32_le(m + 9) >> 6) & kLimb);
    const uint32_t h4 = s.h[4] + ((load32_le(m + 12) >> 8) | hibit);

    uint64_t d0 = mul(h0, r0) + mul(h1, s4) + mul(h2, s3) + mul(h3, s2) + mul(h4, s1);
    uint64_t d1 = mul(h0, r1) + mul(h1, r0) + mul(h2, s4) + mul(h3, s3) + mul(h4, s2);
    uint64_t d2 = mul(h0, r2) + mul(h1, r1) + mul(h2, r0) + mul(h3, s4) + mul(h4, s3);
    uint64_t d3 = mul(h0, r3) + mul(h1, r2) + mul(h2, r1) + mul(h3, r0) + mul(h4, s4);
    uint64_t d4 = mul(h0, r4) + mul(h1, r3) + mul(h2, r2) + mul(h3, r1) + mul(h4, r0);

    // Partial carry: every limb back to 26 bits but the second, which may
    // keep one more bit (still within the bound above).
    d1 += d0 >> 26;
    d2 += d1 >> 26;
    d3 += d2 >> 26;
    d4 += d3 >> 26;
    uint32_t c = uint32_t(d4 >> 26);
    s.h[0] = uint32_t(d0) & kLimb;
    s.h[1] = uint32_t(d1) & kLimb;
    s.h[2] = uint32_t(d2) & kLimb;
    s.h[3] = uint32_t(d3) & kLimb;
    s.h[4] = uint32_t(d4) & kLimb;
    s.h[0] += c * 5;
    c = s.h[0] >> 26;
    s.h[0] &= kLimb;
    s.h[1] += c;
}

}  // namespace

void poly1305_init(Poly1305& s, const uint8_t key[32]) {
    // r with the bits the algorithm clears (r &= 0x0ffffffc0ffffffc0ffffffc0fffffff).
    s.r[0] = load32_le(key) & 0x3ffffff;
    s.r[1] = (load32_le(key + 3) >> 2) & 0x3ffff03;
    s.r[2] = (load32_le(key + 6) >> 4) & 0x3ffc0ff;
    s.r[3] = (load32_le(key + 9) >> 6) & 0x3f03fff;
    s.r[4] = (load32_le(key + 12) >> 8) & 0x00fffff;
    for (int i = 0; i < 5; ++i) s.h[i] = 0;
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
    uint32_t h0 = s.h[0], h1 = s.h[1], h2 = s.h[2], h3 = s.h[3], h4 = s.h[4];
    // Full carry: every limb to 26 bits, h below 2^130 + a little.
    uint32_t c = h1 >> 26;
    h1 &= kLimb;
    h2 += c, c = h2 >> 26, h2 &= kLimb;
    h3 += c, c = h3 >> 26, h3 &= kLimb;
    h4 += c, c = h4 >> 26, h4 &= kLimb;
    h0 += c * 5, c = h0 >> 26, h0 &= kLimb;
    h1 += c;

    // g = h - (2^130 - 5). h < 2 * (2^130 - 5) now, so h mod the prime is g
    // when g does not go below zero, else h: chosen by mask, not by branch.
    uint32_t g0 = h0 + 5;
    c = g0 >> 26, g0 &= kLimb;
    uint32_t g1 = h1 + c;
    c = g1 >> 26, g1 &= kLimb;
    uint32_t g2 = h2 + c;
    c = g2 >> 26, g2 &= kLimb;
    uint32_t g3 = h3 + c;
    c = g3 >> 26, g3 &= kLimb;
    const uint32_t g4 = h4 + c - (1u << 26);
    const uint32_t take_g = (g4 >> 31) - 1;  // all ones when g4 did not borrow
    h0 = (h0 & ~take_g) | (g0 & take_g);
    h1 = (h1 & ~take_g) | (g1 & take_g);
    h2 = (h2 & ~take_g) | (g2 & take_g);
    h3 = (h3 & ~take_g) | (g3 & take_g);
    h4 = (h4 & ~take_g) | (g4 & take_g);

    // The low 128 bits plus the pad, modulo 2^128. The limbs are placed by
    // addition, so a limb one bit over 26 still lands where its value says.
    const uint32_t shifted[4] = {h1, h2, h3, h4};
    uint64_t f = h0;
    for (int i = 0; i < 4; ++i) {
        f += (uint64_t(shifted[i]) << (26 - 6 * i)) + s.pad[i];
        store32_le(tag + 4 * i, uint32_t(f));
        f >>= 32;
    }
    wipe(&s, sizeof s);
}

}  // namespace zq::crypto
