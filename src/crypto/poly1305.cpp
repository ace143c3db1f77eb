#include "crypto/poly1305.h"

#include "crypto/crypto.h"
#include "crypto/words.h"

namespace zq::crypto {

namespace {

// out = a + b + carry over four words (b may be null: none); returns the
// carry out of the top word, at most 2.
uint32_t add_words(uint32_t out[4], const uint32_t a[4], const uint32_t* b, uint32_t carry) {
    for (int i = 0; i < 4; ++i) {
        const uint32_t x = a[i] + carry;
        const uint32_t y = x + (b != nullptr ? b[i] : 0);
        carry = uint32_t(x < carry) + uint32_t(y < x);
        out[i] = y;
    }
    return carry;
}

// h = (h + block + hibit * 2^128) * r mod 2^130 - 5, partly reduced: h[4]
// stays below 5. Product word i sums h_j r_(i-j); where i - j goes below 0
// the product reaches past 2^128, which is 5/4 modulo the prime, and r1..r3
// are multiples of 4, so it comes back in at the bottom as 5 r / 4. The r
// words are below 2^28 and 5 r / 4 below 2^29, so each sum of five products
// stays below 2^63.
void block(Poly1305& s, const uint8_t m[16], uint32_t hibit) {
    uint32_t* h = s.h;
    uint32_t t[4];
    for (int i = 0; i < 4; ++i) t[i] = load32_le(m + 4 * i);
    h[4] += add_words(h, h, t, 0) + hibit;
    uint64_t carry = 0;
    for (int i = 0; i < 4; ++i) {
        uint64_t d = carry;
        for (int j = 0; j < 5; ++j) d += uint64_t(h[j]) * s.w[i - j + 4];
        t[i] = uint32_t(d);
        carry = d >> 32;
    }
    // The bits from 2^130 up come back in at the bottom, times 5. h[4] is
    // at most 6 here, so the top word, h[4] r0 plus a carry below 2^30.4, is
    // below 2^31.5, and 5 times its bits from 2^130 up fit 32 bits.
    const uint32_t top = uint32_t(carry) + h[4] * s.w[4];
    h[4] = (top & 3) + add_words(h, t, nullptr, (top >> 2) * 5);
}

}  // namespace

void poly1305_init(Poly1305& s, const uint8_t key[32]) {
    // r with the bits the algorithm clears (r &= 0x0ffffffc0ffffffc0ffffffc0fffffff).
    for (int i = 0; i < 4; ++i) {
        const uint32_t r = load32_le(key + 4 * i) & (0x0ffffffcu | uint32_t(i == 0) * 3);
        s.w[4 + i] = r;
        s.w[i] = r + (r >> 2);
        s.h[i] = 0;
        s.pad[i] = load32_le(key + 16 + 4 * i);
    }
    s.w[0] = 0;
    s.h[4] = 0;
}

void poly1305_update(Poly1305& s, const uint8_t* data, size_t length, bool zero_pad) {
    for (; length >= 16; data += 16, length -= 16) block(s, data, 1);
    if (length == 0) return;
    uint8_t last[16] = {};
    for (size_t i = 0; i < length; ++i) last[i] = data[i];
    if (zero_pad) {
        block(s, last, 1);
    } else {
        last[length] = 1;
        block(s, last, 0);
    }
    wipe(last, sizeof last);
}

void poly1305_finish(Poly1305& s, uint8_t tag[16]) {
    uint32_t* h = s.h;
    // h is below 5 * 2^128, less than twice the prime. g = h + 5 reaches
    // 2^130 exactly when h is at least the prime, and then h mod the prime
    // is g - 2^130, which has g's low 128 bits; else it is h. Chosen by
    // mask, not by branch; the tag is those 128 bits plus the pad.
    uint32_t g[4];
    const uint32_t take_g = 0 - ((h[4] + add_words(g, h, nullptr, 5)) >> 2);
    for (int i = 0; i < 4; ++i) g[i] = (h[i] & ~take_g) | (g[i] & take_g);
    add_words(g, g, s.pad, 0);
    for (int i = 0; i < 4; ++i) store32_le(tag + 4 * i, g[i]);
    wipe(g, sizeof g);
    wipe(&s, sizeof s);
}

}  // namespace zq::crypto
