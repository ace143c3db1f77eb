#include "crypto/sha256.h"

#include "crypto/crypto.h"
#include "crypto/words.h"

namespace zq::crypto {

namespace {

// The first 32 bits of the fractional parts of the cube roots of the first
// 64 primes.
const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

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
void compress(uint32_t state[8], const uint8_t block[64]) {
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
                            kRound[t] + w[t];
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
    // The first 32 bits of the fractional parts of the square roots of the
    // first 8 primes.
    static const uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    for (int i = 0; i < 8; ++i) s.state[i] = initial[i];
    s.length = 0;
    s.used = 0;
}

void sha256_update(Sha256& s, const uint8_t* data, size_t length) {
    s.length += length;
    for (size_t i = 0; i < length; ++i) {
        s.buffer[s.used++] = data[i];
        if (s.used == 64) {
            compress(s.state, s.buffer);
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
    store32_be(s.buffer + 56, uint32_t(bits >> 32));
    store32_be(s.buffer + 60, uint32_t(bits));
    compress(s.state, s.buffer);
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
    for (int i = 0; i < 64; ++i) block[i] ^= 0x36;
    sha256_init(h.inner);
    sha256_update(h.inner, block, 64);
    for (int i = 0; i < 64; ++i) block[i] ^= 0x36 ^ 0x5c;
    sha256_init(h.outer);
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
