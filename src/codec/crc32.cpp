#include "codec/crc32.h"

// On x86-64 builds for speed, long runs fold 16 bytes at a time with
// carry-less multiplication where the processor has it (nearly every one
// since 2010), found at start-up; the Windows stub, built for size, and
// other machines keep the tables alone.
#if defined(__x86_64__) && !defined(__OPTIMIZE_SIZE__)
#include <cpuid.h>
#include <immintrin.h>
#define ZQ_CRC_FOLDS 1
#else
#define ZQ_CRC_FOLDS 0
#endif

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

#if ZQ_CRC_FOLDS
// Whether the processor multiplies without carries; set with the tables.
bool folds;
// Below this the set-up of the lanes costs more than it saves.
constexpr size_t kFoldedAtLeast = 64;
#endif

uint32_t update_by_table(uint32_t running, const uint8_t* bytes, size_t count) {
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

#if ZQ_CRC_FOLDS
// A 16-byte lane holds 128 message bits, the first byte's lowest bit the
// highest power of x. Moving a lane D bits further on multiplies it by x^D;
// modulo the polynomial its 64-bit halves then take x^(64+D) and x^D mod P,
// 32-bit remainders, whose products fit a lane again. Each constant is
// x^(e-1) mod P in the lane's reflected order (one power less, since a
// carry-less product of two reflected halves comes out one place up). A lane
// so carried is congruent to everything folded into it, so the table over
// the last lane's 16 bytes, from a register of 0, ends with the register the
// whole run would.
constexpr uint64_t kFold512Low = 0x653d982200000000u;   // x^575 mod P
constexpr uint64_t kFold512High = 0xcad38e8f00000000u;  // x^511 mod P
constexpr uint64_t kFold128Low = 0x65673b4600000000u;   // x^191 mod P
constexpr uint64_t kFold128High = 0x9ba54c6f00000000u;  // x^127 mod P

__attribute__((target("pclmul"))) inline __m128i carried(__m128i lane, __m128i constants) {
    return _mm_xor_si128(_mm_clmulepi64_si128(lane, constants, 0x00),
                         _mm_clmulepi64_si128(lane, constants, 0x11));
}

__attribute__((target("pclmul"))) inline __m128i lane_at(const uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// Four lanes side by side, 64 bytes a turn, since each product takes a few
// cycles; then one. `count` is a multiple of 16, at least 64.
__attribute__((target("pclmul"))) uint32_t fold_lanes(uint32_t running, const uint8_t* bytes,
                                                      size_t count) {
    // The register meets the first four bytes, as it does in the table loop.
    __m128i lanes[4];
    for (int i = 0; i < 4; ++i) lanes[i] = lane_at(bytes + 16 * i);
    lanes[0] = _mm_xor_si128(lanes[0], _mm_cvtsi32_si128(int(running)));
    const __m128i by512 = _mm_set_epi64x(int64_t(kFold512High), int64_t(kFold512Low));
    size_t at = 64;
    for (; count - at >= 64; at += 64) {
        for (int i = 0; i < 4; ++i)
            lanes[i] = _mm_xor_si128(carried(lanes[i], by512), lane_at(bytes + at + 16 * i));
    }
    const __m128i by128 = _mm_set_epi64x(int64_t(kFold128High), int64_t(kFold128Low));
    __m128i lane = lanes[0];
    for (int i = 1; i < 4; ++i) lane = _mm_xor_si128(carried(lane, by128), lanes[i]);
    for (; at < count; at += 16) lane = _mm_xor_si128(carried(lane, by128), lane_at(bytes + at));
    alignas(16) uint8_t last[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(last), lane);
    return update_by_table(0, last, 16);
}
#endif

}  // namespace

void crc32_prepare() {
    if (crc_table[1] != 0) return;  // entry 1 is never 0 once built
#if ZQ_CRC_FOLDS
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    folds = __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_PCLMUL) != 0;
#endif
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
#if ZQ_CRC_FOLDS
    if (folds && count >= kFoldedAtLeast) {
        const size_t folded = count & ~size_t{15};
        running = fold_lanes(running, bytes, folded);
        bytes += folded;
        count -= folded;
    }
#endif
    return update_by_table(running, bytes, count);
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
