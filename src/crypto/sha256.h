// SHA-256 and HMAC-SHA-256 as running states, for the one-shot functions of
// crypto.h and for scrypt, which streams its whole mixed block into HMAC.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zq::crypto {

struct Sha256 {
    uint32_t state[8];
    uint64_t length;  // bytes absorbed so far
    uint8_t buffer[64];
    size_t used;         // bytes waiting in `buffer`, always below 64
    uint32_t round[64];  // the round constants, figured by sha256_init
};

void sha256_init(Sha256& s);
void sha256_update(Sha256& s, const uint8_t* data, size_t length);
// Writes the digest and wipes the state.
void sha256_finish(Sha256& s, uint8_t out[32]);

// `inner` has absorbed the key XOR ipad and whatever message came since;
// `outer` the key XOR opad. A copy of a keyed state serves any number of
// messages under the same key.
struct Hmac {
    Sha256 inner;
    Sha256 outer;
};

void hmac_init(Hmac& h, const uint8_t* key, size_t key_length);
void hmac_update(Hmac& h, const uint8_t* data, size_t length);
void hmac_finish(Hmac& h, uint8_t out[32]);

// PBKDF2 output from block number `first_block` (counted from 1) on:
// `salted` is keyed with the password and has absorbed the salt, `keyed`
// only the password. Both are left as they were.
void pbkdf2_blocks(const Hmac& keyed, const Hmac& salted, uint32_t first_block, uint32_t iterations,
                   uint8_t* out, size_t out_length);

}  // namespace zq::crypto
