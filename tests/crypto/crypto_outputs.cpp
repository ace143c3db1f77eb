// Prints what the primitives compute for a fixed set of generated inputs,
// one line each. crypto_tests holds the host's build to libsodium and
// hashlib; the Wine suite builds this program with the Windows stub's
// code generation (32-bit, -Os, size_t of 32 bits) and requires the same
// lines, so the stub's own code answers to the same oracles.
#include <cstdio>
#include <vector>

#include "crypto/crypto.h"

namespace {

using namespace zq::crypto;
using Bytes = std::vector<uint8_t>;

Bytes generated(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = uint8_t(x >> 23);
    }
    return b;
}

void print(const char* what, size_t a, size_t b, const uint8_t* data, size_t length) {
    std::printf("%s %u %u ", what, unsigned(a), unsigned(b));
    for (size_t i = 0; i < length; ++i) std::printf("%02x", data[i]);
    std::printf("\n");
}

}  // namespace

int main() {
    const size_t lengths[] = {0, 1, 15, 16, 17, 63, 64, 65, 255, 256, 1000, 4097};
    uint32_t seed = 1;
    for (size_t length : lengths) {
        for (size_t ad_length : {0, 13}) {
            const Bytes key = generated(32, ++seed), nonce = generated(12, ++seed);
            const Bytes ad = generated(ad_length, ++seed);
            Bytes data = generated(length, ++seed);
            uint8_t tag[kTagBytes], digest[kSha256Bytes];
            aead_seal(key.data(), nonce.data(), ad.data(), ad_length, data.data(), length,
                      data.data(), tag);
            print("aead-tag", length, ad_length, tag, sizeof tag);
            sha256(data.data(), length, digest);
            print("aead-sealed-sha256", length, ad_length, digest, sizeof digest);
            const bool opened = aead_open(key.data(), nonce.data(), ad.data(), ad_length,
                                          data.data(), length, tag, data.data());
            const bool same = data == generated(length, seed);
            std::printf("aead-open %u %u %d %d\n", unsigned(length), unsigned(ad_length), opened,
                        same);
        }
        const Bytes key = generated(length % 130, ++seed);
        uint8_t mac[kSha256Bytes];
        hmac_sha256(key.data(), key.size(), key.data(), key.size(), mac);
        print("hmac", key.size(), 0, mac, sizeof mac);
        Bytes derived(length % 100 + 1);
        pbkdf2_sha256(key.data(), key.size(), mac, 16, uint32_t(length % 7 + 1), derived.data(),
                      derived.size());
        print("pbkdf2", key.size(), length % 7 + 1, derived.data(), derived.size());
    }
    for (uint32_t log2_n = 1; log2_n <= 10; log2_n += 3) {
        for (uint32_t r = 1; r <= 3; ++r) {
            const uint32_t p = 1 + (log2_n + r) % 3;
            const Bytes password = generated(log2_n * 5, ++seed), salt = generated(r * 9, ++seed);
            std::vector<uint64_t> work(scrypt_work_bytes(log2_n, r) / 8);
            uint8_t out[40];
            const bool done = scrypt(password.data(), password.size(), salt.data(), salt.size(),
                                     log2_n, r, p, work.data(), work.size() * 8, out, sizeof out);
            print(done ? "scrypt" : "scrypt-refused", log2_n, r * 10 + p, out, sizeof out);
        }
    }
    return 0;
}
