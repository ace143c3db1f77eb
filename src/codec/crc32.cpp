#include "codec/crc32.h"

namespace zq {

namespace {

// Row 0 is the classic byte table. Entry n of row k is the CRC register after
// byte n followed by k zero bytes, so eight bytes fold into the register with
// eight independent lookups instead of a chain of eight dependent ones. The
// checksum runs on the thread that also reads and writes, and byte by byte it
// costs about a seventh of a single-threaded extraction.
//
// A build for size (the Windows stub, whose file has a budget) keeps the
// byte table and its loop alone: the eight-byte loop and the rows' set-up
// would cost it a page of file.
#ifdef __OPTIMIZE_SIZE__
constexpr uint32_t kRows = 1;
#else
constexpr uint32_t kRows = 8;
#endif

// In .bss: no file grows by the tables.
uint32_t crc_table[kRows * 256];

// The four bytes at `at` as a little-endian number; one load where the
// machine is little-endian.
inline uint32_t load_little_endian(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

inline uint32_t lookup(uint32_t row, uint32_t byte) { return crc_table[row * 256 + (byte & 0xFF)]; }

}  // namespace

void crc32_prepare() {
    if (crc_table[1] != 0) return;  // entry 1 is never 0 once built
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crc_table[n] = c;
    }
    // Each row is the one before it followed by one more zero byte.
    for (uint32_t i = 256; i < kRows * 256; ++i) {
        const uint32_t c = crc_table[i - 256];
        crc_table[i] = lookup(0, c) ^ (c >> 8);
    }
}

uint32_t crc32_update(uint32_t running, const uint8_t* bytes, size_t count) {
    if constexpr (kRows == 8) {
        // The register meets the first four bytes; byte k is followed by
        // 7 - k more.
        for (; count >= 8; count -= 8, bytes += 8) {
            const uint32_t low = load_little_endian(bytes) ^ running;
            const uint32_t high = load_little_endian(bytes + 4);
            running = lookup(7, low) ^ lookup(6, low >> 8) ^ lookup(5, low >> 16) ^
                      lookup(4, low >> 24) ^ lookup(3, high) ^ lookup(2, high >> 8) ^
                      lookup(1, high >> 16) ^ lookup(0, high >> 24);
        }
    }
    for (size_t i = 0; i < count; ++i) running = lookup(0, running ^ bytes[i]) ^ (running >> 8);
    return running;
}

namespace {

// Carrying a CRC over n zero bytes is a linear map on its 32 bits: a 32x32
// matrix over GF(2), one column per bit, squared to double the length.
uint32_t gf2_times(const uint32_t* matrix, uint32_t vector) {
    uint32_t sum = 0;
    for (int i = 0; vector != 0; ++i, vector >>= 1) {
        if (vector & 1) sum ^= matrix[i];
    }
    return sum;
}

void gf2_square(uint32_t* square, const uint32_t* matrix) {
    for (int i = 0; i < 32; ++i) square[i] = gf2_times(matrix, matrix[i]);
}

}  // namespace

uint32_t crc32_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b) {
    if (length_b == 0) return crc_a;
    uint32_t odd[32];  // odd powers of the one-zero-bit operator
    uint32_t even[32];
    odd[0] = 0xEDB88320u;
    for (int i = 1; i < 32; ++i) odd[i] = 1u << (i - 1);
    gf2_square(even, odd);  // two zero bits
    gf2_square(odd, even);  // four zero bits
    for (;;) {
        gf2_square(even, odd);  // first pass: one zero byte
        if (length_b & 1) crc_a = gf2_times(even, crc_a);
        length_b >>= 1;
        if (length_b == 0) break;
        gf2_square(odd, even);
        if (length_b & 1) crc_a = gf2_times(odd, crc_a);
        length_b >>= 1;
        if (length_b == 0) break;
    }
    return crc_a ^ crc_b;
}

}  // namespace zq
