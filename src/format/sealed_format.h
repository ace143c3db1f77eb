// The envelope of an encrypted archive. It starts where the trailer says the
// archive starts and holds the whole plain archive (header, file data,
// catalogue) sealed in chunks:
//
//   bytes 0-5    magic "ZQSEAL" (bytes 4-5 are not "ZQ": a reader that knows
//                only plain archives refuses it as an invalid archive)
//   byte  6      version, 1
//   byte  7      key derivation, 1 = scrypt
//   byte  8      scrypt log2(N)
//   bytes 9-11   zero
//   bytes 12-15  scrypt r (u32)
//   bytes 16-19  scrypt p (u32)
//   bytes 20-23  chunk size: plain bytes in every chunk but the last (u32)
//   bytes 24-31  plain length: bytes of the plain archive (u64)
//   bytes 32-63  salt, random
//   then ceil(plain length / chunk size) chunks, each its ciphertext
//   (chunk size bytes, the last one the rest) followed by a 16-byte tag.
//
// Chunk i is sealed with ChaCha20-Poly1305 under the key scrypt(password,
// salt, N, r, p) with nonce = i (u64 little-endian), three zero bytes, then 1
// for the last chunk and 0 for every other; the associated data is the
// 64-byte envelope header. A chunk therefore opens only at its own place,
// only in its own archive, and only the last one says the archive ends.
#pragma once

#include <cstdint>

#include "format/archive_format.h"

namespace zq {

// Bytes a program that reads encrypted archives carries (sealed.cpp), so that
// zqpack can tell a stub that does from one built without the decryption.
inline constexpr char kEncryptedReaderMark[] = "zqsfx:decrypts";

constexpr uint8_t kSealedMagic[6] = {'Z', 'Q', 'S', 'E', 'A', 'L'};
constexpr uint32_t kSealedHeaderSize = 64;
constexpr uint8_t kSealedVersion = 1;
constexpr uint8_t kKdfScrypt = 1;
constexpr uint32_t kSaltBytes = 32;
constexpr uint32_t kSealTagBytes = 16;
constexpr uint32_t kSealKeyBytes = 32;
constexpr uint32_t kSealNonceBytes = 12;

// What a reader accepts. The caps keep a hostile header from making the
// extractor allocate or compute without end: scrypt takes 128 * r * N bytes,
// mixes in time in proportion to N * r * p, and hashes 128 * r * p bytes
// with PBKDF2 before and after, a cost that a small N does not bound.
constexpr uint32_t kMinChunk = 1024;
constexpr uint32_t kMaxChunk = 1u << 20;
constexpr uint32_t kMaxPlainLength = 0x7FFFFFFF;  // offsets inside are signed 32-bit
constexpr uint64_t kMaxKdfMemory = uint64_t(128) << 20;
constexpr uint64_t kMaxKdfWork = uint64_t(1) << 23;  // N * r * p: 8 times the default
constexpr uint32_t kMaxKdfLanes = 1024;              // r * p: 128 KiB to hash, 64 times the default

// What zqpack writes: 64 MiB and about half a second of scrypt in the Linux
// stub (p = 2 runs the 64 MiB pass twice over rather than taking twice the
// memory), and chunks as large as two coded frames.
constexpr uint8_t kDefaultLog2N = 16;
constexpr uint32_t kDefaultR = 8;
constexpr uint32_t kDefaultP = 2;
constexpr uint32_t kDefaultChunk = 65536;

struct SealedHeader {
    uint8_t log2_n;
    uint32_t r;
    uint32_t p;
    uint32_t chunk_size;
    uint64_t plain_length;
    uint8_t salt[kSaltBytes];
};

inline bool is_sealed_magic(const uint8_t* bytes) {
    for (uint32_t i = 0; i < sizeof kSealedMagic; ++i) {
        if (bytes[i] != kSealedMagic[i]) return false;
    }
    return true;
}

inline void store_sealed_header(const SealedHeader& header, uint8_t out[kSealedHeaderSize]) {
    for (uint32_t i = 0; i < kSealedHeaderSize; ++i) out[i] = 0;
    for (uint32_t i = 0; i < sizeof kSealedMagic; ++i) out[i] = kSealedMagic[i];
    out[6] = kSealedVersion;
    out[7] = kKdfScrypt;
    out[8] = header.log2_n;
    store_u32(out + 12, header.r);
    store_u32(out + 16, header.p);
    store_u32(out + 20, header.chunk_size);
    store_u32(out + 24, uint32_t(header.plain_length));
    store_u32(out + 28, uint32_t(header.plain_length >> 32));
    for (uint32_t i = 0; i < kSaltBytes; ++i) out[32 + i] = header.salt[i];
}

// The scrypt parameters within the caps: log2_n 1..30, r and p at least 1,
// 128 * r * N bytes, N * r * p steps and r * p lanes at most. The memory cap is r * N <=
// 2^20, which keeps log2_n to 20 and r * N below the work cap, so every
// step fits 32 bits (the Windows stub has no 64-bit division).
inline bool kdf_within_caps(uint32_t log2_n, uint32_t r, uint32_t p) {
    constexpr uint32_t kMaxBlocks = uint32_t(kMaxKdfMemory / 128);
    static_assert(kMaxBlocks <= kMaxKdfWork && kMaxKdfWork < (uint64_t(1) << 32),
                  "caps in 32 bits");
    if (log2_n < 1 || log2_n > 20 || r < 1 || p < 1 || r > (kMaxBlocks >> log2_n)) return false;
    return p <= uint32_t(kMaxKdfWork) / (r << log2_n) && r <= kMaxKdfLanes && p <= kMaxKdfLanes / r;
}

// Parses and bounds an envelope header: false for another version, another
// key derivation, nonzero reserved bytes, parameters past the caps, a chunk
// size outside kMinChunk..kMaxChunk, or a plain length that cannot hold a
// plain archive's header or lies past kMaxPlainLength.
inline bool parse_sealed_header(const uint8_t in[kSealedHeaderSize], SealedHeader* header) {
    // Bytes 0-11 but the scrypt log2(N) at 8 are fixed.
    constexpr uint8_t kLead[12] = {'Z', 'Q', 'S', 'E', 'A', 'L', kSealedVersion, kKdfScrypt};
    for (uint32_t i = 0; i < sizeof kLead; ++i) {
        if (i != 8 && in[i] != kLead[i]) return false;
    }
    header->log2_n = in[8];
    header->r = load_u32(in + 12);
    header->p = load_u32(in + 16);
    header->chunk_size = load_u32(in + 20);
    header->plain_length = load_u64(in + 24);
    for (uint32_t i = 0; i < kSaltBytes; ++i) header->salt[i] = in[32 + i];
    // The plain length's high word 0, its low one kHeaderSize..kMaxPlainLength.
    const uint32_t plain = load_u32(in + 24);
    return kdf_within_caps(header->log2_n, header->r, header->p) &&
           header->chunk_size >= kMinChunk && header->chunk_size <= kMaxChunk &&
           load_u32(in + 28) == 0 && plain >= kHeaderSize && plain <= kMaxPlainLength;
}

// For a header that parse_sealed_header accepted (or one written so): the
// plain length fits 31 bits, so the count is figured in 32 (the Windows
// stub has no 64-bit division).
inline uint32_t sealed_chunk_count(const SealedHeader& header) {
    const uint32_t plain = uint32_t(header.plain_length);
    return plain / header.chunk_size + (plain % header.chunk_size != 0 ? 1 : 0);
}

// Bytes of the whole envelope, header and tags included, for a header that
// parse_sealed_header accepted: below 2^31 + 2^26, so in 32 bits.
inline uint32_t sealed_size(const SealedHeader& header) {
    return kSealedHeaderSize + uint32_t(header.plain_length) +
           sealed_chunk_count(header) * kSealTagBytes;
}

inline void sealed_nonce(uint32_t chunk, bool last, uint8_t nonce[kSealNonceBytes]) {
    store_u32(nonce, chunk);
    for (uint32_t i = 4; i < kSealNonceBytes; ++i) nonce[i] = 0;
    nonce[kSealNonceBytes - 1] = last ? 1 : 0;
}

}  // namespace zq
