#include "crypto/chacha20.h"

#include "crypto/crypto.h"
#include "crypto/words.h"

namespace zq::crypto {

namespace {

inline void chacha_quarter(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
    a += b;
    d = rotl32(d ^ a, 16);
    c += d;
    b = rotl32(b ^ c, 12);
    a += b;
    d = rotl32(d ^ a, 8);
    c += d;
    b = rotl32(b ^ c, 7);
}

inline void salsa_quarter(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
    b ^= rotl32(a + d, 7);
    c ^= rotl32(b + a, 9);
    d ^= rotl32(c + b, 13);
    a ^= rotl32(d + c, 18);
}

// A double round of each: ChaCha's four columns, then the four diagonals;
// Salsa's four columns, each from its diagonal element down, then the four
// rows, each from its diagonal element along. Walked as a table in a loop,
// the quarter rounds cost a fraction of the code of calls with constant
// arguments.
const uint8_t kOrder[2][32] = {{0, 4, 8,  12, 1, 5, 9,  13, 2, 6, 10, 14, 3, 7, 11, 15,
                                0, 5, 10, 15, 1, 6, 11, 12, 2, 7, 8,  13, 3, 4, 9,  14},
                               {0, 4, 8, 12, 5, 9, 13, 1, 10, 14, 2, 6, 15, 3,  7,  11,
                                0, 1, 2, 3,  5, 6, 7,  4, 10, 11, 8, 9, 15, 12, 13, 14}};

// The state of "expand 32-byte k", the key, the counter and the nonce.
void set_up(uint32_t input[16], const uint8_t key[32], uint32_t counter, const uint8_t nonce[12]) {
    static const uint32_t sigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int i = 0; i < 4; ++i) input[i] = sigma[i];
    for (int i = 0; i < 8; ++i) input[4 + i] = load32_le(key + 4 * i);
    input[12] = counter;
    for (int i = 0; i < 3; ++i) input[13 + i] = load32_le(nonce + 4 * i);
}

}  // namespace

void chacha20_xor(const uint8_t key[32], uint32_t counter, const uint8_t nonce[12],
                  const uint8_t* in, size_t length, uint8_t* out) {
    struct {
        uint32_t input[16], x[16];
        uint8_t stream[64];
    } s;  // everything derived from the key, wiped at once
    set_up(s.input, key, counter, nonce);
    while (length > 0) {
        block_rounds(s.input, s.x, false);
        ++s.input[12];
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // The key stream is the words' little-endian bytes, here as they lie.
        const uint8_t* stream = reinterpret_cast<const uint8_t*>(s.x);
#else
        for (int i = 0; i < 16; ++i) store32_le(s.stream + 4 * i, s.x[i]);
        const uint8_t* stream = s.stream;
#endif
        const size_t n = length < 64 ? length : 64;
        for (size_t i = 0; i < n; ++i) out[i] = in[i] ^ stream[i];
        in += n;
        out += n;
        length -= n;
    }
    wipe(&s, sizeof s);
}

// Every value derived from the key stays in the caller's arrays, which the
// caller wipes.
void block_rounds(const uint32_t in[16], uint32_t out[16], bool salsa) {
    const uint8_t* order = kOrder[salsa];
    for (int i = 0; i < 16; ++i) out[i] = in[i];
    // 20 rounds or 8, eight quarter rounds a double round.
    const int quarters = salsa ? 32 : 80;
    for (int q = 0; q < quarters; ++q) {
        const uint8_t* at = order + 4 * (q & 7);
        uint32_t &a = out[at[0]], &b = out[at[1]], &c = out[at[2]], &d = out[at[3]];
        if (salsa) {
            salsa_quarter(a, b, c, d);
        } else {
            chacha_quarter(a, b, c, d);
        }
    }
    for (int i = 0; i < 16; ++i) out[i] += in[i];
}

}  // namespace zq::crypto
