#include "crypto/chacha20.h"

#include "crypto/crypto.h"
#include "crypto/words.h"

namespace zq::crypto {

namespace {

inline void quarter_round(uint32_t* x, int a, int b, int c, int d) {
    x[a] += x[b];
    x[d] = rotl32(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = rotl32(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = rotl32(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = rotl32(x[b] ^ x[c], 7);
}

// The state of "expand 32-byte k", the key, the counter and the nonce.
void set_up(uint32_t input[16], const uint8_t key[32], uint32_t counter, const uint8_t nonce[12]) {
    static const uint32_t sigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int i = 0; i < 4; ++i) input[i] = sigma[i];
    for (int i = 0; i < 8; ++i) input[4 + i] = load32_le(key + 4 * i);
    input[12] = counter;
    for (int i = 0; i < 3; ++i) input[13 + i] = load32_le(nonce + 4 * i);
}

// The key stream block of `input` into `x` as words. Every value derived
// from the key stays in the caller's arrays, which the caller wipes once.
void core(const uint32_t input[16], uint32_t x[16]) {
    for (int i = 0; i < 16; ++i) x[i] = input[i];
    for (int round = 0; round < 10; ++round) {
        // A column round, (i, 4 + i, 8 + i, 12 + i), then a diagonal round,
        // each row turned one more place.
        for (int i = 0; i < 4; ++i) quarter_round(x, i, 4 + i, 8 + i, 12 + i);
        for (int i = 0; i < 4; ++i)
            quarter_round(x, i, 4 + ((i + 1) & 3), 8 + ((i + 2) & 3), 12 + ((i + 3) & 3));
    }
    for (int i = 0; i < 16; ++i) x[i] += input[i];
}

}  // namespace

void chacha20_block(const uint8_t key[32], uint32_t counter, const uint8_t nonce[12],
                    uint8_t out[64]) {
    uint32_t input[16], x[16];
    set_up(input, key, counter, nonce);
    core(input, x);
    for (int i = 0; i < 16; ++i) store32_le(out + 4 * i, x[i]);
    wipe(input, sizeof input);
    wipe(x, sizeof x);
}

void chacha20_xor(const uint8_t key[32], uint32_t counter, const uint8_t nonce[12],
                  const uint8_t* in, size_t length, uint8_t* out) {
    uint32_t input[16], x[16];
    set_up(input, key, counter, nonce);
    while (length >= 64) {
        core(input, x);
        for (int i = 0; i < 16; ++i) store32_le(out + 4 * i, load32_le(in + 4 * i) ^ x[i]);
        ++input[12];
        in += 64;
        out += 64;
        length -= 64;
    }
    if (length > 0) {
        core(input, x);
        for (size_t i = 0; i < length; ++i) out[i] = in[i] ^ uint8_t(x[i / 4] >> (8 * (i % 4)));
    }
    wipe(input, sizeof input);
    wipe(x, sizeof x);
}

}  // namespace zq::crypto
