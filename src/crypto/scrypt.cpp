// scrypt: PBKDF2-HMAC-SHA-256 spreads the password over p blocks of 128 r
// bytes, each block goes through ROMix (N rounds of BlockMix over Salsa20/8
// filling a table, N rounds reading it back at places the block itself
// chooses), and PBKDF2 once more turns the mixed blocks into the key.
//
// The reads of the second half of ROMix are at places that depend on the
// password: that is what makes scrypt memory-hard, and it is the one
// memory access in this library that is not independent of secrets.
#include "crypto/crypto.h"
#include "crypto/sha256.h"
#include "crypto/words.h"

namespace zq::crypto {

namespace {

inline void salsa_quarter(uint32_t* x, int a, int b, int c, int d) {
    x[b] ^= rotl32(x[a] + x[d], 7);
    x[c] ^= rotl32(x[b] + x[a], 9);
    x[d] ^= rotl32(x[c] + x[b], 13);
    x[a] ^= rotl32(x[d] + x[c], 18);
}

// b = Salsa20/8(b), in place.
void salsa20_8(uint32_t b[16]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = b[i];
    for (int round = 0; round < 8; round += 2) {
        // Columns, each from its diagonal element down (5i, 5i + 4, ...
        // modulo 16), then rows, each from its diagonal element along.
        for (int i = 0; i < 4; ++i)
            salsa_quarter(x, 5 * i, (5 * i + 4) & 15, (5 * i + 8) & 15, (5 * i + 12) & 15);
        for (int i = 0; i < 4; ++i)
            salsa_quarter(x, 5 * i, 4 * i + ((i + 1) & 3), 4 * i + ((i + 2) & 3),
                          4 * i + ((i + 3) & 3));
    }
    for (int i = 0; i < 16; ++i) b[i] += x[i];
}

// BlockMix of the 2r 64-byte blocks of `b` (as words), through `y` of the
// same size: X = Salsa(X ^ B_i) for each block in turn, the even results
// into the first half of `b`, the odd ones into the second.
void block_mix(uint32_t* b, uint32_t* y, uint32_t r) {
    uint32_t x[16];
    const uint32_t* last = b + (2 * r - 1) * 16;
    for (int k = 0; k < 16; ++k) x[k] = last[k];
    for (uint32_t i = 0; i < 2 * r; ++i) {
        for (int k = 0; k < 16; ++k) x[k] ^= b[i * 16 + k];
        salsa20_8(x);
        uint32_t* to = y + ((i & 1) * r + i / 2) * 16;
        for (int k = 0; k < 16; ++k) to[k] = x[k];
    }
    for (uint32_t i = 0; i < 32 * r; ++i) b[i] = y[i];
}

// ROMix of one 128r-byte block in place. `v` holds N blocks, `x` and `y`
// one block each; all are words.
void ro_mix(uint8_t* block, uint32_t n, uint32_t r, uint32_t* v, uint32_t* x, uint32_t* y) {
    const size_t words = size_t(32) * r;
    for (size_t k = 0; k < words; ++k) x[k] = load32_le(block + 4 * k);
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t* slot = v + i * words;
        for (size_t k = 0; k < words; ++k) slot[k] = x[k];
        block_mix(x, y, r);
    }
    for (uint32_t i = 0; i < n; ++i) {
        // Integerify: the first word of the last 64-byte block, modulo N (a
        // power of two, so no division).
        const uint32_t j = x[(2 * r - 1) * 16] & (n - 1);
        const uint32_t* slot = v + j * words;
        for (size_t k = 0; k < words; ++k) x[k] ^= slot[k];
        block_mix(x, y, r);
    }
    for (size_t k = 0; k < words; ++k) store32_le(block + 4 * k, x[k]);
}

bool parameters_valid(uint32_t log2_n, uint32_t r, uint32_t p) {
    return log2_n >= 1 && log2_n <= 30 && r >= 1 && p >= 1 && uint64_t(r) * p < (uint64_t(1) << 30);
}

}  // namespace

// V of N blocks, X and Y of one block each, a block being 128 r bytes. 0
// when the parameters are out of range or the size does not fit in size_t.
size_t scrypt_work_bytes(uint32_t log2_n, uint32_t r) {
    if (!parameters_valid(log2_n, r, 1)) return 0;
    // r < 2^30 and N + 2 < 2^31, so r (N + 2) fits in 64 bits; times 128
    // it does while it is below 2^57. No division: the Windows stub has none
    // of 64 bits.
    const uint64_t blocks = uint64_t(r) * ((uint64_t(1) << log2_n) + 2);
    if ((blocks >> 57) != 0) return 0;
    const uint64_t bytes = blocks << 7;
    if (bytes > uint64_t(size_t(-1))) return 0;
    return size_t(bytes);
}

bool scrypt(const uint8_t* password, size_t password_length, const uint8_t* salt,
            size_t salt_length, uint32_t log2_n, uint32_t r, uint32_t p, void* work,
            size_t work_bytes, uint8_t* out, size_t out_length) {
    if (!parameters_valid(log2_n, r, p)) return false;
    const size_t need = scrypt_work_bytes(log2_n, r);
    if (need == 0 || work_bytes < need || work == nullptr) return false;
    if ((reinterpret_cast<uintptr_t>(work) & 7) != 0) return false;

    const uint32_t n = uint32_t(1) << log2_n;
    const size_t block_bytes = size_t(128) * r;
    uint32_t* v = static_cast<uint32_t*>(work);
    uint32_t* x = v + size_t(n) * 32 * r;
    uint32_t* y = x + size_t(32) * r;
    // Y's room holds each block's bytes between PBKDF2 and ROMix: ROMix
    // reads them into X before it first writes Y.
    uint8_t* block = reinterpret_cast<uint8_t*>(y);

    Hmac keyed, salted, mixed;
    hmac_init(keyed, password, password_length);
    salted = keyed;
    hmac_update(salted, salt, salt_length);
    // The salt of the last PBKDF2 is the p mixed blocks in order, taken in
    // by a running HMAC as each is done: memory does not grow with p.
    mixed = keyed;
    for (uint32_t i = 0; i < p; ++i) {
        // Block i is PBKDF2's output blocks 4ri + 1 to 4r(i + 1), 32 bytes each.
        pbkdf2_blocks(keyed, salted, 4 * r * i + 1, 1, block, block_bytes);
        ro_mix(block, n, r, v, x, y);
        hmac_update(mixed, block, block_bytes);
    }
    pbkdf2_blocks(keyed, mixed, 1, 1, out, out_length);
    wipe(&keyed, sizeof keyed);
    wipe(&salted, sizeof salted);
    wipe(&mixed, sizeof mixed);
    wipe(work, need);
    return true;
}

}  // namespace zq::crypto
