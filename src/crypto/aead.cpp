// ChaCha20-Poly1305 with a 96-bit nonce: the one-time Poly1305 key is the
// first 32 bytes of key stream block 0, the data is enciphered from block 1
// on, and the tag covers AD and ciphertext, each zero-padded to 16 bytes,
// followed by their lengths as 64-bit little-endian numbers.
#include "crypto/chacha20.h"
#include "crypto/crypto.h"
#include "crypto/poly1305.h"
#include "crypto/words.h"

namespace zq::crypto {

namespace {

void compute_tag(const uint8_t key[kKeyBytes], const uint8_t nonce[kNonceBytes], const uint8_t* ad,
                 size_t ad_length, const uint8_t* sealed, size_t length, uint8_t tag[kTagBytes]) {
    uint8_t mac_key[32] = {};
    chacha20_xor(key, 0, nonce, mac_key, sizeof mac_key, mac_key);
    Poly1305 mac;
    poly1305_init(mac, mac_key);
    wipe(mac_key, sizeof mac_key);
    poly1305_update(mac, ad, ad_length, true);
    poly1305_update(mac, sealed, length, true);
    // The high words only where size_t has more than 32 bits: the shift is
    // then defined.
    uint8_t lengths[16] = {};
    store32_le(lengths, uint32_t(ad_length));
    store32_le(lengths + 8, uint32_t(length));
    if (sizeof(size_t) > 4) {
        store32_le(lengths + 4, uint32_t(uint64_t(ad_length) >> 32));
        store32_le(lengths + 12, uint32_t(uint64_t(length) >> 32));
    }
    poly1305_update(mac, lengths, sizeof lengths, true);
    poly1305_finish(mac, tag);
}

}  // namespace

void aead_seal(const uint8_t key[kKeyBytes], const uint8_t nonce[kNonceBytes], const uint8_t* ad,
               size_t ad_length, const uint8_t* plain, size_t length, uint8_t* sealed,
               uint8_t tag[kTagBytes]) {
    chacha20_xor(key, 1, nonce, plain, length, sealed);
    compute_tag(key, nonce, ad, ad_length, sealed, length, tag);
}

bool aead_open(const uint8_t key[kKeyBytes], const uint8_t nonce[kNonceBytes], const uint8_t* ad,
               size_t ad_length, const uint8_t* sealed, size_t length, const uint8_t tag[kTagBytes],
               uint8_t* plain) {
    uint8_t expected[kTagBytes];
    compute_tag(key, nonce, ad, ad_length, sealed, length, expected);
    // Every byte is compared, whatever the first difference: the time says
    // nothing about how much of a forged tag was right.
    uint32_t difference = 0;
    for (size_t i = 0; i < kTagBytes; ++i) difference |= uint32_t(expected[i] ^ tag[i]);
    wipe(expected, sizeof expected);
    if (difference != 0) return false;
    chacha20_xor(key, 1, nonce, sealed, length, plain);
    return true;
}

void wipe(void* data, size_t length) {
    // Stores through a volatile pointer are observable behaviour, so none of
    // them may be left out, even into memory that is dead afterwards. Words
    // where they fit: scrypt's tens of MiB go four or eight bytes a store.
    // The word type may alias whatever the memory holds and lie at any
    // address (the compiler stores it bytewise where the machine needs).
    typedef uintptr_t __attribute__((may_alias, aligned(1))) Word;
    volatile uint8_t* bytes = static_cast<volatile uint8_t*>(data);
    size_t i = 0;
    for (; length - i >= sizeof(Word); i += sizeof(Word))
        *reinterpret_cast<volatile Word*>(bytes + i) = 0;
    for (; i < length; ++i) bytes[i] = 0;
}

}  // namespace zq::crypto
