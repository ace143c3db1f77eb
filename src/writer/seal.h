// The writing side of encrypted archives (format/sealed_format.h), through
// libsodium: a random salt, scrypt for the key, ChaCha20-Poly1305 for the
// chunks. Only the tools link it; the extractors open what it writes with
// their own primitives (crypto/crypto.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "format/sealed_format.h"
#include "writer/writer.h"

namespace zq {

struct SealOptions {
    std::string password;  // the exact bytes the key derives from
    uint8_t log2_n = kDefaultLog2N;
    uint32_t r = kDefaultR;
    uint32_t p = kDefaultP;
    uint32_t chunk_size = kDefaultChunk;
};

// Refuses (throws, one line) what no extractor could open: a password longer
// than a typed one, parameters past the readers' caps, a chunk size out of
// bounds.
void check_seal_options(const SealOptions& options);

// Writes the envelope of `plain_length` plain bytes, which `read(at, bytes,
// count)` supplies, through `write(bytes, count)`. Throws on a failure of
// the library or a plain length the format cannot carry.
void write_envelope(uint64_t plain_length, const SealOptions& options,
                    const std::function<void(uint64_t, uint8_t*, size_t)>& read,
                    const std::function<void(const uint8_t*, size_t)>& write);

// The envelope of a plain archive held in memory.
Bytes seal_archive_bytes(const Bytes& plain, const SealOptions& options);

namespace packing {
class Output;

// Writes `out`: the stub bytes in front of `archive_start` in `plain`, the
// envelope of the plain archive [archive_start, archive_end), the zero
// padding a signing tool expects when `signing_padding`, and the trailer.
// Returns the bytes written.
uint64_t seal_output(Output& plain, uint64_t archive_start, uint64_t archive_end,
                     const std::filesystem::path& out, const SealOptions& options,
                     bool signing_padding);
}  // namespace packing

}  // namespace zq
