// Poly1305, the one-time authenticator of the AEAD, in five 26-bit limbs so
// that every product is 32 x 32 -> 64 bits: the 32-bit Windows stub does
// each as one multiplication, and no step depends on the key's or the
// message's values. Exposed inside the library for the AEAD and its tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zq::crypto {

struct Poly1305 {
    uint32_t r[5];    // the clamped first half of the key
    uint32_t r5[5];   // 5 r, limb by limb
    uint32_t h[5];    // the accumulator, limbs of 26 bits (h[0] lowest)
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
