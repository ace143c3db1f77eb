// Times the stubs' own primitives, one thread:
//   crypto_bench [block_bytes]
// Prints the speed of aead_open in MB/s (10^6 bytes opened per second of
// this thread's CPU time) over 64 MiB sealed in blocks of block_bytes
// (default 65536), the median of three passes; then scrypt's time and
// working memory at N = 2^15, 2^16 and 2^17 with r = 8 and p = 1, the
// figures an archive's key derivation is chosen by. It needs only the
// primitives and the C library, so the cross build's crypto_bench target
// times the Windows stub's code under Wine.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "crypto/crypto.h"
#include "thread_seconds.h"

namespace {

using namespace zq::crypto;

void bench_open(size_t block_bytes) {
    const size_t total = size_t(64) << 20;
    const size_t blocks = total / block_bytes;
    std::vector<uint8_t> data(blocks * block_bytes), plain(block_bytes);
    std::vector<uint8_t> tags(blocks * kTagBytes);
    uint8_t key[kKeyBytes], nonce[kNonceBytes] = {}, ad[16] = {};
    for (size_t i = 0; i < sizeof key; ++i) key[i] = uint8_t(i * 37 + 1);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 2654435761u >> 13);
    for (size_t b = 0; b < blocks; ++b) {
        nonce[0] = uint8_t(b), nonce[1] = uint8_t(b >> 8), nonce[2] = uint8_t(b >> 16);
        aead_seal(key, nonce, ad, sizeof ad, &data[b * block_bytes], block_bytes,
                  &data[b * block_bytes], &tags[b * kTagBytes]);
    }
    std::vector<double> rates;
    for (int pass = 0; pass < 3; ++pass) {
        const double start = thread_seconds();
        for (size_t b = 0; b < blocks; ++b) {
            nonce[0] = uint8_t(b), nonce[1] = uint8_t(b >> 8), nonce[2] = uint8_t(b >> 16);
            if (!aead_open(key, nonce, ad, sizeof ad, &data[b * block_bytes], block_bytes,
                           &tags[b * kTagBytes], plain.data())) {
                std::fprintf(stderr, "crypto_bench: block %u did not open\n", unsigned(b));
                std::exit(1);
            }
        }
        rates.push_back(double(data.size()) / 1e6 / (thread_seconds() - start));
    }
    std::sort(rates.begin(), rates.end());
    const uint8_t* last = &tags[(blocks - 1) * kTagBytes];
    std::printf(
        "aead_open: %.0f MB/s over %u MiB in blocks of %u bytes, last tag %02x%02x%02x%02x...\n",
        rates[1], unsigned(data.size() >> 20), unsigned(block_bytes), last[0], last[1], last[2],
        last[3]);
}

void bench_scrypt(uint32_t log2_n) {
    const uint32_t r = 8, p = 1;
    const size_t bytes = scrypt_work_bytes(log2_n, r);
    std::vector<uint64_t> work(bytes / 8 + 1);
    const uint8_t password[] = "correct horse", salt[16] = {1, 2, 3};
    uint8_t key[kKeyBytes];
    const double start = thread_seconds();
    if (!scrypt(password, sizeof password - 1, salt, sizeof salt, log2_n, r, p, work.data(),
                work.size() * 8, key, sizeof key)) {
        std::fprintf(stderr, "crypto_bench: scrypt refused log2_n %u\n", unsigned(log2_n));
        std::exit(1);
    }
    const double seconds = thread_seconds() - start;
    // The key's first bytes, so that builds (the host's, the Windows stub's
    // under Wine) can be seen to agree.
    std::printf("scrypt log2_n %u r %u p %u: %.3f s, %.1f MiB, key %02x%02x%02x%02x...\n",
                unsigned(log2_n), unsigned(r), unsigned(p), seconds, double(bytes) / (1 << 20),
                key[0], key[1], key[2], key[3]);
}

}  // namespace

int main(int argc, char** argv) {
    const long block_bytes = argc > 1 ? std::atol(argv[1]) : 65536;
    if (block_bytes < 1 || block_bytes > (64L << 20)) {
        std::fprintf(stderr, "usage: crypto_bench [block_bytes, 1 to 67108864]\n");
        return 2;
    }
    bench_open(size_t(block_bytes));
    for (uint32_t log2_n = 15; log2_n <= 17; ++log2_n) bench_scrypt(log2_n);
    return 0;
}
