// The primitives behind encrypted archives: ChaCha20-Poly1305 (the IETF AEAD
// with a 96-bit nonce), SHA-256 with HMAC and PBKDF2, and scrypt. Memory in,
// memory out: no allocation, no files, no C runtime, so that both stubs link
// it as they link the codec. Every secret-dependent path is constant-time:
// no branch and no table index depends on a key, a password or plain bytes,
// and tags are compared without an early exit.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zq::crypto {

constexpr size_t kKeyBytes = 32;
constexpr size_t kNonceBytes = 12;
constexpr size_t kTagBytes = 16;
constexpr size_t kSha256Bytes = 32;

// Encrypts `length` bytes of `plain` into `sealed` (the same length; the two
// may be the same buffer) and writes the tag over `ad` and the ciphertext.
void aead_seal(const uint8_t key[kKeyBytes], const uint8_t nonce[kNonceBytes], const uint8_t* ad,
               size_t ad_length, const uint8_t* plain, size_t length, uint8_t* sealed,
               uint8_t tag[kTagBytes]);

// Checks `tag` over `ad` and `sealed` first, then decrypts into `plain` (may
// be `sealed`). False when the tag does not match: `plain` is then left
// untouched, so nothing unauthenticated is ever seen.
bool aead_open(const uint8_t key[kKeyBytes], const uint8_t nonce[kNonceBytes], const uint8_t* ad,
               size_t ad_length, const uint8_t* sealed, size_t length, const uint8_t tag[kTagBytes],
               uint8_t* plain);

void sha256(const uint8_t* data, size_t length, uint8_t out[kSha256Bytes]);
void hmac_sha256(const uint8_t* key, size_t key_length, const uint8_t* data, size_t length,
                 uint8_t out[kSha256Bytes]);
void pbkdf2_sha256(const uint8_t* password, size_t password_length, const uint8_t* salt,
                   size_t salt_length, uint32_t iterations, uint8_t* out, size_t out_length);

// scrypt with N = 2^log2_n, block size r and parallelism p. The caller gives
// the working memory: at least scrypt_work_bytes(log2_n, r) bytes, aligned to
// 8. False (and `out` untouched) when the parameters are out of range
// (log2_n 1..30, r >= 1, p >= 1, r * p < 2^30) or the memory is too small.
size_t scrypt_work_bytes(uint32_t log2_n, uint32_t r);
bool scrypt(const uint8_t* password, size_t password_length, const uint8_t* salt,
            size_t salt_length, uint32_t log2_n, uint32_t r, uint32_t p, void* work,
            size_t work_bytes, uint8_t* out, size_t out_length);

// Overwrites `length` bytes in a way the compiler cannot drop.
void wipe(void* data, size_t length);

}  // namespace zq::crypto
