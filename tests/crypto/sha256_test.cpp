// SHA-256, HMAC and PBKDF2: the vectors of FIPS 180-4's examples, RFC 4231
// and RFC 7914, then libsodium's SHA-256 and HMAC and Python's hashlib's
// PBKDF2 over many lengths.
#include "crypto/sha256.h"
#include "crypto/crypto.h"
#include "crypto_test_support.h"

#include <cstdio>

namespace zq::test {
namespace {

using namespace zq::crypto;

std::string sha256_hex(const Bytes& m) {
    uint8_t out[32];
    sha256(m.data(), m.size(), out);
    return to_hex(out, 32);
}

std::string hmac_hex(const Bytes& key, const Bytes& m) {
    uint8_t out[32];
    hmac_sha256(key.data(), key.size(), m.data(), m.size(), out);
    return to_hex(out, 32);
}

std::string pbkdf2_hex(const Bytes& password, const Bytes& salt, uint32_t iterations,
                       size_t length) {
    Bytes out(length + 1, 0xEE);
    pbkdf2_sha256(password.data(), password.size(), salt.data(), salt.size(), iterations,
                  out.data(), length);
    EXPECT_EQ(out[length], 0xEE) << "wrote past the output";
    return to_hex(out.data(), length);
}

TEST(CryptoVectors, Sha256HmacPbkdf2) {
    EXPECT_EQ(sha256_hex(bytes_of("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex(bytes_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // RFC 4231, test cases 1 and 2.
    EXPECT_EQ(hmac_hex(Bytes(20, 0x0b), bytes_of("Hi There")),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(hmac_hex(bytes_of("Jefe"), bytes_of("what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    // RFC 7914, section 11.
    EXPECT_EQ(pbkdf2_hex(bytes_of("passwd"), bytes_of("salt"), 1, 64),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    EXPECT_EQ(pbkdf2_hex(bytes_of("Password"), bytes_of("NaCl"), 80000, 64),
              "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
              "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d");
}

using CryptoSha256Sodium = Sodium;

// One-shot digests at every length, and the running state fed in pieces of
// every size from 1 to 130, against libsodium.
TEST_F(CryptoSha256Sodium, DigestsAgreeAtEveryLengthAndSplit) {
    uint32_t seed = 200;
    for (size_t length : kLengths) {
        const Bytes m = noise(length + 1, ++seed);
        uint8_t theirs[32];
        crypto_hash_sha256(theirs, m.data() + 1, length);
        ASSERT_EQ(sha256_hex(Bytes(m.begin() + 1, m.end())), to_hex(theirs, 32)) << length;
    }
    const Bytes m = noise(1000, 300);
    uint8_t theirs[32];
    crypto_hash_sha256(theirs, m.data(), m.size());
    for (size_t piece = 1; piece <= 130; ++piece) {
        Sha256 s;
        sha256_init(s);
        for (size_t at = 0; at < m.size(); at += piece)
            sha256_update(s, m.data() + at, std::min(piece, m.size() - at));
        uint8_t ours[32];
        sha256_finish(s, ours);
        ASSERT_EQ(to_hex(ours, 32), to_hex(theirs, 32)) << "pieces of " << piece;
    }
}

// Keys shorter than, as long as and longer than a block (which are hashed).
TEST_F(CryptoSha256Sodium, HmacAgreesForEveryKeyLength) {
    uint32_t seed = 400;
    for (size_t key_length : {0, 1, 20, 32, 63, 64, 65, 131}) {
        for (size_t length : {0, 1, 55, 56, 64, 119, 1000}) {
            const Bytes key = noise(key_length, ++seed), m = noise(length, ++seed);
            crypto_auth_hmacsha256_state state;
            uint8_t theirs[32];
            crypto_auth_hmacsha256_init(&state, nonnull(key), key.size());
            crypto_auth_hmacsha256_update(&state, nonnull(m), m.size());
            crypto_auth_hmacsha256_final(&state, theirs);
            ASSERT_EQ(hmac_hex(key, m), to_hex(theirs, 32))
                << "key " << key_length << ", data " << length;
        }
    }
}

// libsodium has no PBKDF2 of its own; Python's hashlib computes the same
// derivations in one run, one line of hex each.
TEST(CryptoPbkdf2, AgreesWithHashlib) {
    struct Case {
        size_t password, salt;
        uint32_t iterations;
        size_t out;
    };
    const Case cases[] = {{0, 0, 1, 32},       {1, 4, 1, 1},      {8, 16, 2, 31},
                          {8, 16, 3, 33},      {64, 8, 10, 64},   {65, 60, 7, 65},
                          {100, 1, 1000, 100}, {13, 32, 4096, 20}};
    std::string script = "import hashlib\n";
    std::vector<std::string> ours;
    uint32_t seed = 500;
    for (const Case& c : cases) {
        const Bytes password = noise(c.password, ++seed), salt = noise(c.salt, ++seed);
        script += "print(hashlib.pbkdf2_hmac('sha256', bytes.fromhex('" + to_hex(password) +
                  "'), bytes.fromhex('" + to_hex(salt) + "'), " + std::to_string(c.iterations) +
                  ", " + std::to_string(c.out) + ").hex())\n";
        ours.push_back(pbkdf2_hex(password, salt, c.iterations, c.out));
    }
    ScratchDir scratch("pbkdf2");
    const fs::path file = scratch / "pbkdf2.py";
    write_bytes(file, bytes_of(script));
    FILE* python = popen(("python3 '" + file.string() + "'").c_str(), "r");
    ASSERT_NE(python, nullptr);
    std::string theirs;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, python)) theirs += buffer;
    const int status = pclose(python);
    ASSERT_EQ(status, 0) << "python3 could not run hashlib";
    std::string expected;
    for (const std::string& line : ours) expected += line + "\n";
    EXPECT_EQ(expected, theirs);
}

}  // namespace
}  // namespace zq::test
