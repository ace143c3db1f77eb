// Sealing with libsodium. The key and every plain chunk live in memory that
// is wiped once the envelope is written.
#include "writer/seal.h"

#include <sodium.h>

#include "writer/pack_output.h"
#include "writer/pe_resources.h"
#include "writer/tool_error.h"

namespace zq {

namespace {

constexpr size_t kLongestPassword = 255;  // what an extractor's prompt takes

void start_library() {
    if (sodium_init() < 0) fail("the encryption library cannot start");
}

void derive_key(const SealOptions& options, const SealedHeader& header, uint8_t* key) {
    const auto* password = reinterpret_cast<const uint8_t*>(options.password.data());
    if (crypto_pwhash_scryptsalsa208sha256_ll(password, options.password.size(), header.salt,
                                              kSaltBytes, uint64_t(1) << header.log2_n, header.r,
                                              header.p, key, kSealKeyBytes) != 0) {
        fail("scrypt failed (not enough memory?)");
    }
}

}  // namespace

void check_seal_options(const SealOptions& options) {
    if (options.password.empty()) fail("--encrypt needs a password that is not empty");
    if (options.password.size() > kLongestPassword)
        fail("the password is longer than the longest an extractor takes (255 bytes)");
    if (!kdf_within_caps(options.log2_n, options.r, options.p))
        fail("scrypt parameters beyond what an extractor accepts");
    if (options.chunk_size < kMinChunk || options.chunk_size > kMaxChunk)
        fail("chunk size out of bounds");
}

void write_envelope(uint64_t plain_length, const SealOptions& options,
                    const std::function<void(uint64_t, uint8_t*, size_t)>& read,
                    const std::function<void(const uint8_t*, size_t)>& write) {
    check_seal_options(options);
    if (plain_length < kHeaderSize || plain_length > kMaxPlainLength)
        fail("the archive is too large to encrypt");
    start_library();
    SealedHeader header{};
    header.log2_n = options.log2_n;
    header.r = options.r;
    header.p = options.p;
    header.chunk_size = options.chunk_size;
    header.plain_length = plain_length;
    randombytes_buf(header.salt, kSaltBytes);
    uint8_t header_bytes[kSealedHeaderSize];
    store_sealed_header(header, header_bytes);
    write(header_bytes, kSealedHeaderSize);

    uint8_t key[kSealKeyBytes];
    derive_key(options, header, key);
    Bytes chunk(options.chunk_size);
    uint8_t tag[kSealTagBytes];
    const uint32_t count = sealed_chunk_count(header);
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t at = uint64_t(i) * options.chunk_size;
        const size_t length = size_t(std::min<uint64_t>(options.chunk_size, plain_length - at));
        read(at, chunk.data(), length);
        uint8_t nonce[kSealNonceBytes];
        sealed_nonce(i, i + 1 == count, nonce);
        crypto_aead_chacha20poly1305_ietf_encrypt_detached(chunk.data(), tag, nullptr, chunk.data(),
                                                           length, header_bytes, kSealedHeaderSize,
                                                           nullptr, nonce, key);
        write(chunk.data(), length);
        write(tag, kSealTagBytes);
    }
    sodium_memzero(key, sizeof key);
    sodium_memzero(chunk.data(), chunk.size());
}

Bytes seal_archive_bytes(const Bytes& plain, const SealOptions& options) {
    Bytes out;
    write_envelope(
        plain.size(), options,
        [&plain](uint64_t at, uint8_t* bytes, size_t count) {
            std::copy(plain.begin() + ptrdiff_t(at), plain.begin() + ptrdiff_t(at + count), bytes);
        },
        [&out](const uint8_t* bytes, size_t count) {
            out.insert(out.end(), bytes, bytes + count);
        });
    return out;
}

namespace packing {

uint64_t seal_output(Output& plain, uint64_t archive_start, uint64_t archive_end,
                     const std::filesystem::path& out, const SealOptions& options,
                     bool signing_padding) {
    Output sealed(out);
    Bytes piece(1 << 16);
    for (uint64_t at = 0; at < archive_start;) {
        const size_t count = size_t(std::min<uint64_t>(piece.size(), archive_start - at));
        plain.read_at(at, piece.data(), count);
        sealed.write(piece.data(), count);
        at += count;
    }
    write_envelope(
        archive_end - archive_start, options,
        [&](uint64_t at, uint8_t* bytes, size_t count) {
            plain.read_at(archive_start + at, bytes, count);
        },
        [&](const uint8_t* bytes, size_t count) { sealed.write(bytes, count); });
    if (signing_padding) sealed.write(Bytes(zq::signing_padding(sealed.position()), 0));
    Bytes trailer;
    put_u32(trailer, uint32_t(archive_start));
    sealed.write(trailer);
    sealed.commit();
    return sealed.position();
}

}  // namespace packing

}  // namespace zq
