// scrypt: PBKDF2-HMAC-SHA-256 spreads the password over p blocks of 128 r
// bytes, each block goes through ROMix (N rounds of BlockMix over Salsa20/8
// filling a table, N rounds reading it back at places the block itself
// chooses), and PBKDF2 once more turns the mixed blocks into the key.
//
// The reads of the second half of ROMix are at places that depend on the
// password: that is what makes scrypt memory-hard, and it is the one
// memory access in this library that is not independent of secrets.
#include "crypto/chacha20.h"
#include "crypto/crypto.h"
#include "crypto/sha256.h"
#include "crypto/words.h"

namespace zq::crypto {

namespace {

void copy_words(uint32_t* to, const uint32_t* from, size_t n) {
    for (size_t k = 0; k < n; ++k) to[k] = from[k];
}

[[gnu::noinline]] void xor_words(uint32_t* to, const uint32_t* from, size_t n) {
    for (size_t k = 0; k < n; ++k) to[k] ^= from[k];
}

// BlockMix of the 2r 64-byte blocks of `b` (as words), through `y` of the
// same size: X = Salsa(X ^ B_i) for each block in turn, the even results
// into the first half of `b`, the odd ones into the second.
void block_mix(uint32_t* b, uint32_t* y, uint32_t r) {
    uint32_t x[16];
    copy_words(x, b + (2 * r - 1) * 16, 16);
    for (uint32_t i = 0; i < 2 * r; ++i) {
        xor_words(x, b + i * 16, 16);
        uint32_t* out = y + ((i & 1) * r + i / 2) * 16;
        block_rounds(x, out, true);
        copy_words(x, out, 16);
    }
    copy_words(b, y, size_t(32) * r);
}

// ROMix of one 128r-byte block in place. `v` holds N blocks, `x` and `y`
// one block each; all are words. The first N rounds fill V, the next N
// mix in the block of V that Integerify picks: the first word of X's last
// 64-byte block, modulo N (a power of two, so no division).
void ro_mix(uint8_t* block, uint32_t n, uint32_t r, uint32_t* v, uint32_t* x, uint32_t* y) {
    const size_t words = size_t(32) * r;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The block lies in words (scrypt's Y), and on this machine its bytes in
    // order are its little-endian words.
    copy_words(x, reinterpret_cast<const uint32_t*>(block), words);
#else
    for (size_t k = 0; k < words; ++k) x[k] = load32_le(block + 4 * k);
#endif
    for (uint32_t i = 0; i < 2 * n; ++i) {  // 2N <= 2^31
        if (i < n) {
            copy_words(v + i * words, x, words);
        } else {
            xor_words(x, v + (x[(2 * r - 1) * 16] & (n - 1)) * words, words);
        }
        block_mix(x, y, r);
    }
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    copy_words(reinterpret_cast<uint32_t*>(block), x, words);
#else
    for (size_t k = 0; k < words; ++k) store32_le(block + 4 * k, x[k]);
#endif
}

// r * p below 2^30, and neither 0.
bool parallel_valid(uint32_t r, uint32_t p) {
    uint32_t rp;
    return r >= 1 && p >= 1 && !__builtin_mul_overflow(r, p, &rp) && rp < (uint32_t(1) << 30);
}

}  // namespace

// V of N blocks, X and Y of one block each, a block being 128 r bytes. 0
// when the parameters are out of range or the size does not fit in size_t.
size_t scrypt_work_bytes(uint32_t log2_n, uint32_t r) {
    if (log2_n < 1 || log2_n > 30 || !parallel_valid(r, 1)) return 0;
    size_t blocks, bytes;
    if (__builtin_mul_overflow(size_t(r), (size_t(1) << log2_n) + 2, &blocks) ||
        __builtin_mul_overflow(blocks, size_t(128), &bytes))
        return 0;
    return bytes;
}

bool scrypt(const uint8_t* password, size_t password_length, const uint8_t* salt,
            size_t salt_length, uint32_t log2_n, uint32_t r, uint32_t p, void* work,
            size_t work_bytes, uint8_t* out, size_t out_length) {
    const size_t need = scrypt_work_bytes(log2_n, r);
    if (need == 0 || !parallel_valid(r, p) || work_bytes < need || work == nullptr) return false;
    if ((reinterpret_cast<uintptr_t>(work) & 7) != 0) return false;

    const uint32_t n = uint32_t(1) << log2_n;
    const size_t block_bytes = size_t(128) * r;
    uint32_t* v = static_cast<uint32_t*>(work);
    uint32_t* x = v + size_t(n) * 32 * r;
    uint32_t* y = x + size_t(32) * r;
    // Y's room holds each block's bytes between PBKDF2 and ROMix: ROMix
    // reads them into X before it first writes Y.
    uint8_t* block = reinterpret_cast<uint8_t*>(y);

    struct {
        Hmac keyed, salted, mixed;
    } h;
    hmac_init(h.keyed, password, password_length);
    h.salted = h.keyed;
    hmac_update(h.salted, salt, salt_length);
    // The salt of the last PBKDF2 is the p mixed blocks in order, taken in
    // by a running HMAC as each is done: memory does not grow with p.
    h.mixed = h.keyed;
    for (uint32_t i = 0; i < p; ++i) {
        // Block i is PBKDF2's output blocks 4ri + 1 to 4r(i + 1), 32 bytes each.
        pbkdf2_blocks(h.keyed, h.salted, 4 * r * i + 1, 1, block, block_bytes);
        ro_mix(block, n, r, v, x, y);
        hmac_update(h.mixed, block, block_bytes);
    }
    pbkdf2_blocks(h.keyed, h.mixed, 1, 1, out, out_length);
    wipe(&h, sizeof h);
    wipe(work, need);
    return true;
}

}  // namespace zq::crypto
