#include "crypto/sha256.h"

#include "crypto/crypto.h"
#include "crypto/words.h"

namespace zq::crypto {

namespace {

// The first 32 bits of the fractional part of the square or cube root of
// the prime p <= 311, the constants of SHA-256. Newton's method from p
// comes within an ulp of the root in at most 13 steps, that is within
// 2^-49 of it, and none of the constants' roots comes closer than 2^-40
// to a multiple of 2^-32. Less 2^-33 and plus 2^20, the root is a double
// whose last bit weighs 2^-32, so rounding there is truncating the root
// to those 32 bits, which are the low bits of its pattern. The published
// digests in the tests would show a single wrong bit. Figured, the
// constants take less room in the stub than their table.
[[gnu::noinline]] uint32_t root_bits(int32_t p, bool cube) {
    const double x = p;
    double y = x;
    for (int i = 0; i < 24; ++i) {
        double q = x / y;
        if (cube) q /= y;
        y += (q - y) / (cube ? 3 : 2);
    }
    const double placed = y - 0x1p-33 + 0x1p20;
    uint64_t bits;
    __builtin_memcpy(&bits, &placed, sizeof bits);
    return uint32_t(bits);
}

// rotr(x, a) ^ rotr(x, b) ^ rotr(x, c), or x >> c for the last term of the
// message schedule's two functions; `spec` is a | b << 8 | c << 16, plus
// kShift. One routine for all four keeps the rounds small: SHA-256 runs
// only a few hundred blocks per key.
constexpr uint32_t kShift = 1u << 24;

[[gnu::noinline]] uint32_t sigma(uint32_t x, uint32_t spec) {
    const int c = (spec >> 16) & 31;
    const uint32_t last = (spec & kShift) != 0 ? x >> c : rotr32(x, c);
    return rotr32(x, spec & 31) ^ rotr32(x, (spec >> 8) & 31) ^ last;
}

constexpr uint32_t spec(int a, int b, int c) {
    return uint32_t(a) | uint32_t(b) << 8 | uint32_t(c) << 16;
}

// The working variables a..h are v[0..7]; each round moves them one place
// along, the new a coming in at v[0] and d + T1 becoming e.
void compress(uint32_t state[8], const uint32_t round[64], const uint8_t block[64]) {
    struct {
        uint32_t w[64], v[8];
    } s;  // the schedule and the working variables, wiped at once
    uint32_t* w = s.w;
    uint32_t* v = s.v;
    for (int i = 0; i < 8; ++i) v[i] = state[i];
    for (int t = 0; t < 64; ++t) {
        if (t < 16) {
            w[t] = load32_be(block + 4 * t);
        } else {
            w[t] = sigma(w[t - 2], spec(17, 19, 10) | kShift) + w[t - 7] +
                   sigma(w[t - 15], spec(7, 18, 3) | kShift) + w[t - 16];
        }
        const uint32_t t1 = v[7] + sigma(v[4], spec(6, 11, 25)) + ((v[4] & v[5]) ^ (~v[4] & v[6])) +
                            round[t] + w[t];
        const uint32_t t2 =
            sigma(v[0], spec(2, 13, 22)) + ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
        for (int i = 7; i > 0; --i) v[i] = v[i - 1];
        v[4] += t1;
        v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i) state[i] += v[i];
    wipe(&s, sizeof s);
}

}  // namespace

void sha256_init(Sha256& s) {
    // The initial state from the square roots of the first 8 primes, the
    // round constants from the cube roots of the first 64.
    int found = 0;
    for (int32_t n = 2; found < 64; ++n) {
        bool prime = true;
        for (int32_t d = 2; d < n; ++d) prime = prime && n % d != 0;
        if (!prime) continue;
        if (found < 8) s.state[found] = root_bits(n, false);
        s.round[found++] = root_bits(n, true);
    }
    s.length = 0;
    s.used = 0;
}

void sha256_update(Sha256& s, const uint8_t* data, size_t length) {
    s.length += length;
    for (size_t i = 0; i < length; ++i) {
        s.buffer[s.used++] = data[i];
        if (s.used == 64) {
            compress(s.state, s.round, s.buffer);
            s.used = 0;
        }
    }
}

void sha256_finish(Sha256& s, uint8_t out[32]) {
    // 0x80, zeros up to 8 bytes short of a block end, the length in bits.
    const uint64_t bits = s.length << 3;
    uint8_t pad = 0x80;
    do {
        sha256_update(s, &pad, 1);
        pad = 0;
    } while (s.used != 56);
    store32_be(s.buffer + 60, uint32_t(bits));
    store32_be(s.buffer + 56, uint32_t(s.length >> 29));
    compress(s.state, s.round, s.buffer);
    for (int i = 0; i < 8; ++i) store32_be(out + 4 * i, s.state[i]);
    wipe(&s, sizeof s);
}

void hmac_init(Hmac& h, const uint8_t* key, size_t key_length) {
    // A key longer than a block is replaced by its digest; the block is the
    // key followed by zeros.
    uint8_t block[64] = {};
    if (key_length > 64) {
        sha256(key, key_length, block);
    } else {
        for (size_t i = 0; i < key_length; ++i) block[i] = key[i];
    }
    sha256_init(h.inner);
    h.outer = h.inner;
    for (int i = 0; i < 64; ++i) block[i] ^= 0x36;
    sha256_update(h.inner, block, 64);
    for (int i = 0; i < 64; ++i) block[i] ^= 0x36 ^ 0x5c;
    sha256_update(h.outer, block, 64);
    wipe(block, sizeof block);
}

void hmac_update(Hmac& h, const uint8_t* data, size_t length) {
    sha256_update(h.inner, data, length);
}

void hmac_finish(Hmac& h, uint8_t out[32]) {
    uint8_t inner[32];
    sha256_finish(h.inner, inner);
    sha256_update(h.outer, inner, sizeof inner);
    sha256_finish(h.outer, out);
    wipe(inner, sizeof inner);
}

void pbkdf2_blocks(const Hmac& keyed, const Hmac& salted, uint32_t first_block, uint32_t iterations,
                   uint8_t* out, size_t out_length) {
    struct {
        uint8_t u[32], t[32], index[4];
        Hmac h;
    } s;  // everything derived from the password, wiped at once
    for (uint32_t block = first_block; out_length > 0; ++block) {
        // U1 = HMAC(P, S || INT(block)), Uj = HMAC(P, Uj-1), T = U1 ^ ... ^ Uc.
        s.h = salted;
        store32_be(s.index, block);
        hmac_update(s.h, s.index, 4);
        hmac_finish(s.h, s.u);
        for (int i = 0; i < 32; ++i) s.t[i] = s.u[i];
        for (uint32_t j = 1; j < iterations; ++j) {
            s.h = keyed;
            hmac_update(s.h, s.u, 32);
            hmac_finish(s.h, s.u);
            for (int i = 0; i < 32; ++i) s.t[i] ^= s.u[i];
        }
        const size_t n = out_length < 32 ? out_length : 32;
        for (size_t i = 0; i < n; ++i) out[i] = s.t[i];
        out += n;
        out_length -= n;
    }
    wipe(&s, sizeof s);
}

void sha256(const uint8_t* data, size_t length, uint8_t out[kSha256Bytes]) {
    Sha256 s;
    sha256_init(s);
    sha256_update(s, data, length);
    sha256_finish(s, out);
}

void hmac_sha256(const uint8_t* key, size_t key_length, const uint8_t* data, size_t length,
                 uint8_t out[kSha256Bytes]) {
    Hmac h;
    hmac_init(h, key, key_length);
    hmac_update(h, data, length);
    hmac_finish(h, out);
}

// An iteration count of 0, which the algorithm does not define, is taken as
// 1: the first HMAC is always computed, so the output is never left unset.
void pbkdf2_sha256(const uint8_t* password, size_t password_length, const uint8_t* salt,
                   size_t salt_length, uint32_t iterations, uint8_t* out, size_t out_length) {
    Hmac h[2];  // keyed, and keyed with the salt taken in
    hmac_init(h[0], password, password_length);
    h[1] = h[0];
    hmac_update(h[1], salt, salt_length);
    pbkdf2_blocks(h[0], h[1], 1, iterations, out, out_length);
    wipe(h, sizeof h);
}

}  // namespace zq::crypto
