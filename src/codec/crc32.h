// CRC-32 of plain bytes (polynomial 0xEDB88320 reflected, start and final
// value 0xFFFFFFFF), as zip and gzip compute it, so a user can check a
// file's recorded checksum with any common tool. Memory only: the stub runs
// it over each block as it writes the block, the tools over what they read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq {

constexpr uint32_t kCrc32Start = 0xFFFFFFFFu;

// Builds the tables once, and looks whether the processor can fold 16 bytes
// at a time; later calls do nothing. Runs at start-up (stream_init does it),
// before any crc32_update.
void crc32_prepare();

// Running form: start with kCrc32Start, feed the bytes piece by piece, and
// finish with crc32_final.
uint32_t crc32_update(uint32_t running, const uint8_t* bytes, size_t count);
inline uint32_t crc32_final(uint32_t running) { return running ^ 0xFFFFFFFFu; }

// The checksum of one piece of memory.
inline uint32_t crc32_of(const uint8_t* bytes, size_t count) {
    crc32_prepare();
    return crc32_final(crc32_update(kCrc32Start, bytes, count));
}

// The CRC-32 of A followed by B from the CRC-32s of A and of B and the
// length of B, so that pieces checksummed on separate threads add up.
uint32_t crc32_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b);

}  // namespace zq
