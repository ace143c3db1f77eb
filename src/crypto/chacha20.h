// ChaCha20 with a 96-bit nonce and a 32-bit block counter, the stream cipher
// of the AEAD. Exposed inside the library for the AEAD and its tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zq::crypto {

// XORs `length` bytes of `in` with the key stream from block `counter` on
// into `out` (`out` may be `in`); over zeros it gives the key stream itself.
// The counter wraps after 2^32 blocks (256 GiB), far beyond any length a
// caller of this library seals at once.
void chacha20_xor(const uint8_t key[32], uint32_t counter, const uint8_t nonce[12],
                  const uint8_t* in, size_t length, uint8_t* out);

// The block function of ChaCha20 or, with `salsa`, Salsa20/8 (scrypt's
// mixing function) of `in` into `out`: the two share their shape, the words
// copied, double rounds of quarter rounds down the columns and then along
// the diagonals (ChaCha) or rows (Salsa), and the input added back.
void block_rounds(const uint32_t in[16], uint32_t out[16], bool salsa);

}  // namespace zq::crypto
