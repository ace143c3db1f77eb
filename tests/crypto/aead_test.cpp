// ChaCha20, Poly1305 and the AEAD: the vectors of RFC 8439, then agreement
// with libsodium over many lengths, alignments and in place, and forgeries.
#include "crypto/chacha20.h"
#include "crypto/crypto.h"
#include "crypto/poly1305.h"
#include "crypto_test_support.h"

namespace zq::test {
namespace {

using namespace zq::crypto;

const char kSunscreen[] =
    "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
    "future, sunscreen would be it.";

Bytes counting(uint8_t first, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(first + i);
    return b;
}

void poly1305(const uint8_t key[32], const Bytes& m, uint8_t tag[16]) {
    Poly1305 state;
    poly1305_init(state, key);
    poly1305_update(state, m.data(), m.size(), false);
    poly1305_finish(state, tag);
}

TEST(CryptoVectors, Rfc8439) {
    // 2.4.2: ChaCha20 encryption from block counter 1.
    const Bytes key = counting(0, 32);
    const Bytes nonce = from_hex("000000000000004a00000000");
    const Bytes plain = bytes_of(kSunscreen);
    Bytes out(plain.size());
    chacha20_xor(key.data(), 1, nonce.data(), plain.data(), plain.size(), out.data());
    EXPECT_EQ(to_hex(out),
              "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0b"
              "f91b65c5524733ab8f593dabcd62b3571639d624e65152ab8f530c359f0861d8"
              "07ca0dbf500d6a6156a38e088a22b65e52bc514d16ccf806818ce91ab7793736"
              "5af90bbf74a35be6b40b8eedf2785e42874d");

    // 2.5.2: Poly1305 over a message that ends in a short block.
    const Bytes mac_key =
        from_hex("85d6be7857556d337f4452fe42d506a80103808afb0db2fd4abff6af4149f51b");
    uint8_t tag[16];
    poly1305(mac_key.data(), bytes_of("Cryptographic Forum Research Group"), tag);
    EXPECT_EQ(to_hex(tag, 16), "a8061dc1305136c6c22b8baf0c0127a9");

    // 2.8.2: the AEAD, sealed and opened.
    const Bytes aead_key = counting(0x80, 32);
    const Bytes aead_nonce = from_hex("070000004041424344454647");
    const Bytes ad = from_hex("50515253c0c1c2c3c4c5c6c7");
    aead_seal(aead_key.data(), aead_nonce.data(), ad.data(), ad.size(), plain.data(), plain.size(),
              out.data(), tag);
    EXPECT_EQ(to_hex(out),
              "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d6"
              "3dbea45e8ca9671282fafb69da92728b1a71de0a9e060b2905d6a5b67ecd3b36"
              "92ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc"
              "3ff4def08e4b7a9de576d26586cec64b6116");
    EXPECT_EQ(to_hex(tag, 16), "1ae10b594f09e26a7e902ecbd0600691");
    Bytes back(out.size());
    ASSERT_TRUE(aead_open(aead_key.data(), aead_nonce.data(), ad.data(), ad.size(), out.data(),
                          out.size(), tag, back.data()));
    EXPECT_EQ(back, plain);
}

using CryptoAeadSodium = Sodium;

// Every length against libsodium's detached AEAD, with the buffers at odd
// addresses, and sealed and opened in place.
TEST_F(CryptoAeadSodium, AgreesAtEveryLengthAndAlignment) {
    uint32_t seed = 1;
    for (size_t ad_length : {0, 1, 12, 16, 17, 100}) {
        for (size_t length : kLengths) {
            SCOPED_TRACE("ad " + std::to_string(ad_length) + ", data " + std::to_string(length));
            const Bytes key = noise(32, ++seed), nonce = noise(12, ++seed);
            const Bytes ad = noise(ad_length + 1, ++seed), plain = noise(length + 3, ++seed);
            const uint8_t* ad_at = ad.data() + 1;  // odd addresses
            const uint8_t* plain_at = plain.data() + 3;

            Bytes expected(length + 1);
            uint8_t expected_tag[16];
            unsigned long long tag_length = 0;
            crypto_aead_chacha20poly1305_ietf_encrypt_detached(
                expected.data(), expected_tag, &tag_length, plain_at, length, ad_at, ad_length,
                nullptr, nonce.data(), key.data());

            Bytes sealed(length + 1);
            uint8_t tag[17];
            aead_seal(key.data(), nonce.data(), ad_at, ad_length, plain_at, length,
                      sealed.data() + 1, tag + 1);
            ASSERT_EQ(to_hex(sealed.data() + 1, length), to_hex(expected.data(), length));
            ASSERT_EQ(to_hex(tag + 1, 16), to_hex(expected_tag, 16));

            Bytes in_place(plain_at, plain_at + length);
            aead_seal(key.data(), nonce.data(), ad_at, ad_length, in_place.data(), length,
                      in_place.data(), tag);
            ASSERT_EQ(to_hex(in_place), to_hex(expected.data(), length));
            ASSERT_TRUE(aead_open(key.data(), nonce.data(), ad_at, ad_length, in_place.data(),
                                  length, expected_tag, in_place.data()));
            ASSERT_EQ(in_place, Bytes(plain_at, plain_at + length));
        }
    }
}

// Any single flipped bit of ciphertext, tag or AD, or another key or nonce,
// fails the open and leaves the output as it was, in place as well.
TEST(CryptoAead, ForgeriesFailAndTouchNothing) {
    const Bytes key = noise(32, 7), nonce = noise(12, 8), ad = noise(21, 9), plain = noise(70, 10);
    Bytes sealed(plain.size());
    uint8_t tag[16];
    aead_seal(key.data(), nonce.data(), ad.data(), ad.size(), plain.data(), plain.size(),
              sealed.data(), tag);
    const Bytes untouched(plain.size(), 0xA5);
    auto fails = [&](const Bytes& k, const Bytes& n, const Bytes& a, const Bytes& s,
                     const uint8_t* t) {
        Bytes out = untouched, copy = s;
        bool opened =
            aead_open(k.data(), n.data(), a.data(), a.size(), s.data(), s.size(), t, out.data());
        opened |= aead_open(k.data(), n.data(), a.data(), a.size(), copy.data(), copy.size(), t,
                            copy.data());
        return !opened && out == untouched && copy == s;
    };
    for (size_t i = 0; i < sealed.size() * 8; ++i) {
        Bytes s = sealed;
        s[i / 8] ^= uint8_t(1 << (i % 8));
        ASSERT_TRUE(fails(key, nonce, ad, s, tag)) << "ciphertext bit " << i;
    }
    for (size_t i = 0; i < 16 * 8; ++i) {
        uint8_t t[16];
        for (int j = 0; j < 16; ++j) t[j] = tag[j];
        t[i / 8] ^= uint8_t(1 << (i % 8));
        ASSERT_TRUE(fails(key, nonce, ad, sealed, t)) << "tag bit " << i;
    }
    for (size_t i = 0; i < ad.size() * 8; ++i) {
        Bytes a = ad;
        a[i / 8] ^= uint8_t(1 << (i % 8));
        ASSERT_TRUE(fails(key, nonce, a, sealed, tag)) << "AD bit " << i;
    }
    Bytes other_key = key, other_nonce = nonce;
    other_key[31] ^= 0x80;
    other_nonce[0] ^= 1;
    EXPECT_TRUE(fails(other_key, nonce, ad, sealed, tag));
    EXPECT_TRUE(fails(key, other_nonce, ad, sealed, tag));
    // Cut by one byte, or with the AD's last byte moved into the data.
    EXPECT_TRUE(fails(key, nonce, ad, Bytes(sealed.begin(), sealed.end() - 1), tag));
    Bytes shifted_ad(ad.begin(), ad.end() - 1), shifted_data = sealed;
    shifted_data.insert(shifted_data.begin(), ad.back());
    EXPECT_TRUE(fails(key, nonce, shifted_ad, shifted_data, tag));
    // And the genuine article opens.
    Bytes out(plain.size());
    EXPECT_TRUE(aead_open(key.data(), nonce.data(), ad.data(), ad.size(), sealed.data(),
                          sealed.size(), tag, out.data()));
    EXPECT_EQ(out, plain);
}

using CryptoPrimitivesSodium = Sodium;

// The two halves alone: the key stream from any counter, and Poly1305 with
// short last blocks, including keys and messages of all ones, where the
// accumulator comes closest to the prime and the final reduction matters.
TEST_F(CryptoPrimitivesSodium, ChaCha20AndPoly1305Agree) {
    uint32_t seed = 100;
    for (size_t length : kLengths) {
        SCOPED_TRACE("length " + std::to_string(length));
        const Bytes key = noise(32, ++seed), nonce = noise(12, ++seed), in = noise(length, ++seed);
        for (uint32_t counter : {0u, 1u, 0x12345678u}) {
            Bytes ours(length), theirs(length + 1);
            chacha20_xor(key.data(), counter, nonce.data(), in.data(), length, ours.data());
            crypto_stream_chacha20_ietf_xor_ic(theirs.data(), nonnull(in), length, nonce.data(),
                                               counter, key.data());
            ASSERT_EQ(to_hex(ours), to_hex(theirs.data(), length)) << "counter " << counter;
        }
        const Bytes ones_key(32, 0xFF);
        const Bytes ones(length, 0xFF);
        for (const Bytes* k : {&key, &ones_key}) {
            for (const Bytes* m : {&in, &ones}) {
                uint8_t ours[16], theirs[16];
                poly1305(k->data(), *m, ours);
                crypto_onetimeauth_poly1305(theirs, nonnull(*m), m->size(), k->data());
                ASSERT_EQ(to_hex(ours, 16), to_hex(theirs, 16));
            }
        }
    }
}

// With r = 1 the accumulator is the plain sum of the blocks: two blocks
// whose sum lies a few units either side of 2^130 - 5 reach the one case of
// the final reduction that random messages never meet.
TEST_F(CryptoPrimitivesSodium, Poly1305ReducesAroundThePrime) {
    Bytes key = noise(32, 77);
    for (int i = 0; i < 16; ++i) key[i] = i == 0;
    for (int low = 0xf7; low <= 0xff; ++low) {
        Bytes m(32, 0xFF);
        m[16] = uint8_t(low);
        uint8_t ours[16], theirs[16];
        poly1305(key.data(), m, ours);
        crypto_onetimeauth_poly1305(theirs, m.data(), m.size(), key.data());
        EXPECT_EQ(to_hex(ours, 16), to_hex(theirs, 16)) << "low byte " << low;
    }
}

TEST(CryptoWipe, ZeroesExactlyTheRange) {
    Bytes b(40, 0x5A);
    wipe(b.data() + 3, 33);
    for (size_t i = 0; i < b.size(); ++i) EXPECT_EQ(b[i], i >= 3 && i < 36 ? 0 : 0x5A) << i;
}

}  // namespace
}  // namespace zq::test
