// The decrypting view under the catalogue reader and the file data. The
// fuzzer cannot forge a tag, so the target seals for it: byte 0 chooses the
// chunk size (bits 0-1), whether the rest is a plain archive to seal (bit 7
// clear) or an envelope taken as it is (bit 7 set, its key derivation made
// cheap), and whether bytes 1-4 name a byte of the envelope to flip (bit 6).
//
// The oracle: what the view reads is the plain archive or nothing. A sealed,
// untouched archive reads exactly as the plain one read directly (the same
// catalogue result, the same outcome, size and CRC-32 of every file); after
// a flip, or from an envelope as given, every file that reads at all reads
// as in the plain archive, and nothing crashes or reads out of bounds. (A
// body that is itself an envelope has no plain reading to compare with.)
#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "archive/file_data.h"
#include "archive/release.h"
#include "archive/sealed.h"
#include "codec/crc32.h"
#include "crypto/crypto.h"
#include "fuzz_support.h"

namespace {

using zq::fuzz::check;

constexpr char kPassword[] = "fuzz";

struct Reading {
    int catalogue = -1;
    std::vector<zq::FileData> files;
};

// A stream context kept for the life of the process, so that the codec's
// tables (128 KiB and more) are allocated once rather than twice per input.
// Each reading starts it as stream_init leaves a new one; the tables'
// contents carry nothing over, since every block resets them first.
class KeptStream {
public:
    KeptStream() { check(zq::stream_init(&context_) == zq::kStreamOk); }
    zq::StreamContext* start(int file) {
        zq::StreamContext fresh{};
        fresh.codec = context_.codec;
        fresh.coded_buf = context_.coded_buf;
        fresh.plain_buf = context_.plain_buf;
        fresh.read_buf = context_.read_buf;
        fresh.position = -1;  // the read buffer holds nothing until the first seek
        fresh.archive_file = file;
        fresh.coded_left = -1;
        fresh.crc = zq::kCrc32Start;
        fresh.crc_wanted = true;
        context_ = fresh;
        return &context_;
    }
    // What one reading took beyond the kept tables: its decrypting view.
    void finish() { zq::sealed_release(&context_); }

private:
    zq::StreamContext context_{};
};

// The catalogue and every file's data of the archive in `file` at offset 0.
Reading read_archive(KeptStream& stream, int file) {
    Reading reading;
    zq::StreamContext* context = stream.start(file);
    zq::Catalogue catalogue{};
    zq::GivenPassword given{kPassword, false};
    uint32_t count = 0;
    reading.catalogue = zq::read_catalogue(context, &catalogue, zq::ArchiveSpot{0, 0, false},
                                           &count, zq::given_password_dialogue(&given));
    for (uint32_t i = 0; reading.catalogue == 0 && i < count; ++i) {
        reading.files.push_back(
            zq::read_file_data(context, 0, *catalogue.file_table[i], zq::kNoFile, nullptr));
    }
    zq::release_catalogue(&catalogue);
    stream.finish();
    return reading;
}

// The envelope of `plain` with the cheapest key derivation and a fixed salt.
std::vector<uint8_t> seal(const uint8_t* plain, size_t size, uint32_t chunk_size) {
    zq::SealedHeader header{};
    header.log2_n = 1;
    header.r = 1;
    header.p = 1;
    header.chunk_size = chunk_size;
    header.plain_length = size;
    std::vector<uint8_t> out(zq::sealed_size(header));
    zq::store_sealed_header(header, out.data());
    uint8_t key[zq::kSealKeyBytes];
    std::vector<uint8_t> work(zq::crypto::scrypt_work_bytes(1, 1));
    check(zq::crypto::scrypt(reinterpret_cast<const uint8_t*>(kPassword), 4, header.salt,
                             zq::kSaltBytes, 1, 1, 1, work.data(), work.size(), key, sizeof key));
    const uint32_t count = zq::sealed_chunk_count(header);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = size_t(i) * chunk_size;
        const size_t length = size - at < chunk_size ? size - at : chunk_size;
        uint8_t* to = out.data() + zq::kSealedHeaderSize + at + size_t(i) * zq::kSealTagBytes;
        uint8_t nonce[zq::kSealNonceBytes];
        zq::sealed_nonce(i, i + 1 == count, nonce);
        zq::crypto::aead_seal(key, nonce, out.data(), zq::kSealedHeaderSize, plain + at, length, to,
                              to + length);
    }
    return out;
}

bool same(const zq::FileData& a, const zq::FileData& b) {
    return a.outcome == b.outcome && a.bytes == b.bytes && a.crc == b.crc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static zq::fuzz::MemoryFile plain_file;
    static zq::fuzz::MemoryFile sealed_file;
    static KeptStream sealed_stream;
    static KeptStream plain_stream;
    if (size < 5) return 0;
    const uint8_t control = data[0];
    const uint32_t chunk_size = zq::kMinChunk << (control & 3);
    const bool as_given = (control & 0x80) != 0;
    const uint8_t* body = data + 5;
    const size_t body_size = size - 5;
    if (body_size > zq::kMaxPlainLength / 2) return 0;

    std::vector<uint8_t> envelope;
    if (as_given) {
        envelope.assign(body, body + body_size);
    } else {
        if (body_size < zq::kHeaderSize) return 0;
        envelope = seal(body, body_size, chunk_size);
    }
    const bool flipped = (control & 0x40) != 0 && !envelope.empty();
    if (flipped)
        envelope[zq::load_u32(data + 1) % envelope.size()] ^= uint8_t(1 + (control >> 2 & 0x0F));
    zq::fuzz::keep_key_derivations_cheap(envelope.data(), envelope.size());
    envelope.resize(envelope.size() + 4, 0);  // the trailer: the archive starts at 0
    sealed_file.fill(envelope.data(), envelope.size());

    const Reading sealed = read_archive(sealed_stream, sealed_file.fd());
    // An envelope sealed inside another is refused there, while read
    // directly it is one: there is no plain archive to compare with.
    if (as_given || body_size < zq::kHeaderSize || zq::is_sealed_magic(body)) return 0;
    plain_file.fill(body, body_size);
    const Reading plain = read_archive(plain_stream, plain_file.fd());
    if (!flipped) {
        check(sealed.catalogue == plain.catalogue);
        check(sealed.files.size() == plain.files.size());
    }
    if (sealed.catalogue != 0) return 0;
    // A flip the catalogue survived lies outside what it read, so the tables
    // are the plain ones.
    check(plain.catalogue == 0 && sealed.files.size() == plain.files.size());
    for (size_t i = 0; i < sealed.files.size(); ++i) {
        const zq::FileData& got = sealed.files[i];
        if (flipped && got.outcome != zq::kDataOk) continue;
        check(same(got, plain.files[i]));
    }
    return 0;
}
