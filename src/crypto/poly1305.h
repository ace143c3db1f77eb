// Poly1305, the one-time authenticator of the AEAD, on 32-bit words: the
// accumulator is four words and the few bits above 2^128, and every product
// is 32 x 32 -> 64 bits, which the 32-bit Windows stub does as one
// multiplication; no step depends on the key's or the message's values.
// Exposed inside the library for the AEAD and its tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zq::crypto {

struct Poly1305 {
    // The clamped first half of the key as words r0..r3 in w[4..7], and
    // 5 r_k / 4 in w[k] for k = 1..3 (w[0] = 0): the factor of accumulator
    // word j in product word i is w[i - j + 4].
    uint32_t w[8];
    uint32_t h[5];    // the accumulator, h[4] the bits from 2^128 up
    uint32_t pad[4];  // the second half of the key, added at the end
};

void poly1305_init(Poly1305& state, const uint8_t key[32]);

// Absorbs `length` bytes as 16-byte blocks. A short last block is either
// padded with zeros to a whole block (`zero_pad`, as the AEAD pads its AD and
// ciphertext) or closed the one-shot way, with a 1 byte after the data;
// only the last call may end that way.
void poly1305_update(Poly1305& state, const uint8_t* data, size_t length, bool zero_pad);

// Writes the tag and wipes the state.
void poly1305_finish(Poly1305& state, uint8_t tag[16]);

}  // namespace zq::crypto
