// scrypt: the vectors of RFC 7914 (but the one of N = 2^20, too slow for a
// unit test), libsodium's scrypt over many parameters, and the refusals.
#include "crypto/crypto.h"
#include "crypto_test_support.h"

namespace zq::test {
namespace {

using namespace zq::crypto;

// Working memory of exactly the size asked for, so that the sanitizers see
// any access past it.
std::vector<uint64_t> work_for(uint32_t log2_n, uint32_t r) {
    const size_t bytes = scrypt_work_bytes(log2_n, r);
    EXPECT_EQ(bytes % 8, 0u);
    return std::vector<uint64_t>(bytes / 8);
}

std::string scrypt_hex(const Bytes& password, const Bytes& salt, uint32_t log2_n, uint32_t r,
                       uint32_t p, size_t length) {
    std::vector<uint64_t> work = work_for(log2_n, r);
    Bytes out(length);
    EXPECT_TRUE(scrypt(password.data(), password.size(), salt.data(), salt.size(), log2_n, r, p,
                       work.data(), work.size() * 8, out.data(), out.size()));
    return to_hex(out);
}

TEST(CryptoVectors, Scrypt) {
    EXPECT_EQ(scrypt_hex({}, {}, 4, 1, 1, 64),
              "77d6576238657b203b19ca42c18a0497f16b4844e3074ae8dfdffa3fede21442"
              "fcd0069ded0948f8326a753a0fc81f17e8d3e0fb2e0d3628cf35e20c38d18906");
    EXPECT_EQ(scrypt_hex(bytes_of("password"), bytes_of("NaCl"), 10, 8, 16, 64),
              "fdbabe1c9d3472007856e7190d01e9fe7c6ad7cbc8237830e77376634b373162"
              "2eaf30d92e22a3886ff109279d9830dac727afb94a83ee6d8360cbdfa2cc0640");
    EXPECT_EQ(scrypt_hex(bytes_of("pleaseletmein"), bytes_of("SodiumChloride"), 14, 8, 1, 64),
              "7023bdcb3afd7348461c06cd81fd38ebfda8fbba904f8e3ea9b543f6545da1f2"
              "d5432955613f0fcf62d49705242a9af9e61e85dc0d651e40dfcf017b45575887");
}

using CryptoScryptSodium = Sodium;

// Every cost from N = 2 up, block sizes and parallelism of a few, output
// lengths off the 32-byte blocks of PBKDF2.
TEST_F(CryptoScryptSodium, AgreesOverParameters) {
    uint32_t seed = 600;
    for (uint32_t log2_n = 1; log2_n <= 10; ++log2_n) {
        for (uint32_t r : {1u, 2u, 3u}) {
            const uint32_t p = 1 + (log2_n + r) % 3;
            const size_t length = 1 + (log2_n * 29 + r * 7) % 90;
            const Bytes password = noise(log2_n * 7 % 70, ++seed), salt = noise(r * 11, ++seed);
            Bytes theirs(length);
            ASSERT_EQ(crypto_pwhash_scryptsalsa208sha256_ll(
                          nonnull(password), password.size(), nonnull(salt), salt.size(),
                          uint64_t(1) << log2_n, r, p, theirs.data(), theirs.size()),
                      0);
            ASSERT_EQ(scrypt_hex(password, salt, log2_n, r, p, length), to_hex(theirs))
                << "log2_n " << log2_n << ", r " << r << ", p " << p << ", length " << length;
        }
    }
}

// Parameters out of range, memory one byte short or misaligned: false, and
// the output as it was.
TEST(CryptoScrypt, RefusesWhatItCannotDo) {
    std::vector<uint64_t> work = work_for(4, 2);
    const size_t bytes = work.size() * 8;
    const Bytes untouched(32, 0xC3);
    auto refused = [&](uint32_t log2_n, uint32_t r, uint32_t p, void* at, size_t size) {
        Bytes out = untouched;
        const bool done = scrypt(reinterpret_cast<const uint8_t*>("pw"), 2, nullptr, 0, log2_n, r,
                                 p, at, size, out.data(), out.size());
        return !done && out == untouched;
    };
    EXPECT_TRUE(refused(4, 2, 1, work.data(), bytes - 1));
    EXPECT_TRUE(refused(4, 2, 1, reinterpret_cast<uint8_t*>(work.data()) + 4, bytes - 8));
    EXPECT_TRUE(refused(5, 2, 1, work.data(), bytes));  // twice the N
    EXPECT_TRUE(refused(4, 3, 1, work.data(), bytes));  // a larger r
    EXPECT_TRUE(refused(0, 2, 1, work.data(), bytes));
    EXPECT_TRUE(refused(31, 2, 1, work.data(), bytes));
    EXPECT_TRUE(refused(4, 0, 1, work.data(), bytes));
    EXPECT_TRUE(refused(4, 2, 0, work.data(), bytes));
    EXPECT_TRUE(refused(4, 2, 1u << 29, work.data(), bytes));  // r * p = 2^30
    EXPECT_TRUE(refused(4, 2, 1, nullptr, bytes));
    EXPECT_FALSE(refused(4, 2, 3, work.data(), bytes));

    // Sizes that cannot be given at all are 0, never a wrapped small number.
    EXPECT_EQ(scrypt_work_bytes(0, 8), 0u);
    EXPECT_EQ(scrypt_work_bytes(31, 8), 0u);
    EXPECT_EQ(scrypt_work_bytes(10, 0), 0u);
    EXPECT_EQ(scrypt_work_bytes(10, 1u << 30), 0u);
    if (sizeof(size_t) == 4) {
        EXPECT_EQ(scrypt_work_bytes(30, 8), 0u);
    } else {
        EXPECT_EQ(scrypt_work_bytes(30, (1u << 30) - 1), 0u);
    }
    EXPECT_GE(scrypt_work_bytes(17, 8), size_t(128) * 8 << 17);
}

}  // namespace
}  // namespace zq::test
