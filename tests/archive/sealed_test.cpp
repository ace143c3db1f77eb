// Encrypted archives read through the archive layer's decrypting view:
// sealed by the writer (libsodium), opened by the extractor's own
// primitives. What the view hands up must be the plain archive exactly, and
// any change to the envelope must end the reading before a wrong byte does.
#include <functional>

#include "archive/file_data.h"
#include "archive/pipeline.h"
#include "archive/sealed.h"
#include "archive_builder.h"
#include "archive_test_support.h"
#include "writer/seal.h"

namespace zq::test {
namespace {

constexpr uint32_t kPrefix = 100;  // stands for a stub in front of the archive
constexpr uint32_t kChunk = 1024;  // small, so that a short archive has many chunks

SealOptions cheap(const std::string& password) {
    SealOptions options;
    options.password = password;
    options.log2_n = 6;
    options.chunk_size = kChunk;
    return options;
}

// Files in more than one chunk and more than one frame, raw and coded, each
// with a CRC-32 so that a wrong byte read would show.
Bytes plain_archive() {
    ArchiveBuilder builder;
    builder.dirs = {{1, "docs"}};
    builder.files = {
        {"letter.txt", 1, text_of(text_lines(5000, 'a'))},
        {"noise.bin", 0, text_of(noise(70000, 3)), false},
        {"mixed.dat", 1, text_of(mixed_data(90000, 4))},
        {"empty", 0, ""},
    };
    for (TestFile& file : builder.files) file.ext_word = kExtHasCrc;
    return builder.archive();
}

Bytes container(const Bytes& envelope) {
    Bytes file(kPrefix + envelope.size() + 4, 'x');
    std::copy(envelope.begin(), envelope.end(), file.begin() + kPrefix);
    store_u32(&file[file.size() - 4], kPrefix);
    return file;
}

// Offset in the container of chunk `index` of an envelope at kPrefix.
size_t chunk_at(uint32_t index) {
    return kPrefix + kSealedHeaderSize + index * (kChunk + kSealTagBytes);
}

// A dialogue that offers the given candidates in turn and notes each answer.
struct Candidates {
    std::vector<std::string> offered;
    std::vector<bool> answers;
    size_t next = 0;
    PasswordDialogue dialogue() {
        return {[](void* user, char* typed) {
                    auto* self = static_cast<Candidates*>(user);
                    if (self->next == self->offered.size()) return kExitAbort;
                    str_copy(typed, self->offered[self->next++].c_str());
                    return 0;
                },
                [](void* user, bool accepted) {
                    static_cast<Candidates*>(user)->answers.push_back(accepted);
                },
                this};
    }
};

// Reads the catalogue and every file's data (CRC checked) of the container
// at `path`: 0, the catalogue's exit code, or 100 + the first failed outcome.
int read_everything(const fs::path& path, const PasswordDialogue& dialogue, uint32_t workers = 1,
                    uint16_t* files = nullptr) {
    ArchiveSpot spot{};
    FileHandle probe = file_open_read(path.string().c_str());
    const int trailer = read_trailer(probe, &spot);
    const int64_t offset = spot.archive_offset;
    file_close(probe);
    if (trailer != 0) return trailer;
    ReaderSession session(path, offset);
    BlockPipeline pipeline{};
    if (workers > 1 && pipeline_start(&pipeline, workers) == kStreamOk)
        session.context().pipeline = &pipeline;
    uint32_t count = 0;
    int result = read_catalogue(&session.context(), &session.catalogue(), spot, &count, dialogue);
    for (uint32_t i = 0; result == 0 && i < count; ++i) {
        const FileData data = read_file_data(&session.context(), offset,
                                             *session.catalogue().file_table[i], kNoFile, nullptr);
        if (data.outcome != kDataOk) result = 100 + data.outcome;
    }
    pipeline_finish(&pipeline);
    if (files != nullptr) *files = count;
    return result;
}

int read_with(const fs::path& path, const char* password, uint32_t workers = 1) {
    GivenPassword given{password, false};
    return read_everything(path, given_password_dialogue(&given), workers);
}

class Sealed : public InScratchDir {
protected:
    void SetUp() override {
        InScratchDir::SetUp();
        envelope_ = seal_archive_bytes(plain_archive(), cheap("Open sesame"));
    }
    // The container of the envelope with `change` applied, on disk.
    fs::path write_container(const std::function<void(Bytes&)>& change = nullptr) {
        Bytes file = container(envelope_);
        if (change) change(file);
        const fs::path path = fs::path(root_) / ("sealed" + std::to_string(++written_));
        write_bytes(path, file);
        return path;
    }
    Bytes envelope_;
    int written_ = 0;
};

TEST_F(Sealed, ReadsAsThePlainArchiveOnTheSerialPathAndThroughThePipeline) {
    SealedHeader header{};
    ASSERT_TRUE(parse_sealed_header(envelope_.data(), &header));
    EXPECT_GT(sealed_chunk_count(header), 100u);
    EXPECT_EQ(sealed_size(header), envelope_.size());
    const fs::path path = write_container();
    Candidates right;
    right.offered = {"Open sesame"};
    uint16_t files = 0;
    EXPECT_EQ(read_everything(path, right.dialogue(), 1, &files), 0);
    EXPECT_EQ(files, 4);
    EXPECT_EQ(read_with(path, "Open sesame", 3), 0);
}

TEST_F(Sealed, AWrongPasswordIsAskedAgainAndLetterCaseCounts) {
    const fs::path path = write_container();
    Candidates user;
    user.offered = {"open sesame", "Open sesam", "Open sesame"};
    EXPECT_EQ(read_everything(path, user.dialogue()), 0);
    EXPECT_EQ(user.answers, (std::vector<bool>{false, false, true}));
    // No answer ends the reading with what the dialogue ended it with.
    Candidates none;
    none.offered = {"nothing like it"};
    EXPECT_EQ(read_everything(path, none.dialogue()), kExitAbort);
    EXPECT_EQ(none.answers, std::vector<bool>{false});
    EXPECT_EQ(read_with(path, "OPEN SESAME"), kExitPasswordFail);
}

// Chunks moved, dropped, cut or changed: the reading fails, and since every
// file carries a CRC-32 a wrong byte could not pass for a right one.
TEST_F(Sealed, ChunksCannotBeSwappedDroppedCutOrChanged) {
    const auto swap_chunks = [](Bytes& file) {
        std::swap_ranges(file.begin() + ptrdiff_t(chunk_at(5)),
                         file.begin() + ptrdiff_t(chunk_at(6)),
                         file.begin() + ptrdiff_t(chunk_at(6)));
    };
    const auto flip_tag = [](Bytes& file) { file[chunk_at(8) - 1] ^= 0x01; };
    const auto flip_text = [](Bytes& file) { file[chunk_at(40) + 7] ^= 0x80; };
    // The last chunk gone, the trailer kept at the end.
    const auto drop_last = [this](Bytes& file) {
        SealedHeader header{};
        parse_sealed_header(envelope_.data(), &header);
        file.resize(chunk_at(sealed_chunk_count(header) - 1));
        put_u32(file, kPrefix);
    };
    // A whole chunk's room short, with a plain length that says so: the
    // header is bound to every chunk, so the first does not open.
    const auto shorten = [](Bytes& file) {
        store_u32(&file[kPrefix + 24], load_u32(&file[kPrefix + 24]) - kChunk);
        file.erase(file.end() - 4 - kChunk - kSealTagBytes, file.end() - 4);
    };
    for (const auto& change : std::vector<std::function<void(Bytes&)>>{
             swap_chunks, flip_tag, flip_text, drop_last, shorten}) {
        const fs::path path = write_container(change);
        EXPECT_NE(read_with(path, "Open sesame"), 0) << path;
        EXPECT_NE(read_with(path, "Open sesame", 3), 0) << path;
    }
}

// A header that asks for too much is refused before any memory is taken for
// the key derivation and before the password is asked for.
TEST_F(Sealed, AHostileHeaderIsRefusedBeforeTheDialogue) {
    const std::vector<std::function<void(Bytes&)>> changes = {
        [](Bytes& f) { f[kPrefix + 8] = 24; },                      // N = 2^24
        [](Bytes& f) { store_u32(&f[kPrefix + 12], 1u << 20); },    // r
        [](Bytes& f) { store_u32(&f[kPrefix + 16], 1u << 16); },    // p: minutes of work
        [](Bytes& f) { store_u32(&f[kPrefix + 20], 16); },          // chunk size
        [](Bytes& f) { store_u32(&f[kPrefix + 20], 64u << 20); },   // chunk size
        [](Bytes& f) { store_u32(&f[kPrefix + 28], 1); },           // plain length past 4 GiB
        [](Bytes& f) { store_u32(&f[kPrefix + 24], 0x7FFF0000); },  // longer than the file
        [](Bytes& f) { f[kPrefix + 6] = 2; },                       // another version
        [](Bytes& f) { f[kPrefix + 10] = 1; },                      // reserved
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        Candidates user;
        user.offered = {"Open sesame"};
        EXPECT_EQ(read_everything(write_container(changes[i]), user.dialogue()),
                  kExitInvalidArchive)
            << i;
        EXPECT_EQ(user.next, 0u) << i;
    }
}

// The caps as they read, in 64 bits, against the reader's 32-bit test, at
// and around every border: memory 128 r N, work N r p, lanes r p, and the
// ranges.
TEST(SealedFormat, KdfCapsHoldAtTheirBorders) {
    const auto within = [](uint64_t log2_n, uint64_t r, uint64_t p) {
        if (log2_n < 1 || log2_n > 30 || r < 1 || p < 1) return false;
        const uint64_t n = uint64_t(1) << log2_n;
        return 128 * r * n <= kMaxKdfMemory && n * r * p <= kMaxKdfWork && r * p <= kMaxKdfLanes;
    };
    const std::vector<uint32_t> values = {0,           1,
                                          2,           3,
                                          7,           8,
                                          9,           15,
                                          16,          17,
                                          1u << 5,     (1u << 5) + 1,
                                          1u << 10,    (1u << 11) + 1,
                                          1u << 19,    (1u << 20) - 1,
                                          1u << 20,    (1u << 20) + 1,
                                          1u << 23,    (1u << 23) + 1,
                                          0x80000001u, 0xFFFFFFFFu};
    int accepted = 0;
    for (uint32_t log2_n = 0; log2_n <= 32; ++log2_n) {
        for (const uint32_t r : values) {
            for (const uint32_t p : values) {
                const bool ours = kdf_within_caps(log2_n, r, p);
                EXPECT_EQ(ours, within(log2_n, r, p)) << log2_n << ' ' << r << ' ' << p;
                accepted += ours;
            }
        }
    }
    EXPECT_GT(accepted, 100);
    EXPECT_TRUE(kdf_within_caps(kDefaultLog2N, kDefaultR, kDefaultP));
}

// A reader that knows only plain archives takes bytes 4-5 for the magic "ZQ":
// an envelope never has it there, so such a reader refuses it as invalid.
TEST_F(Sealed, AnEnvelopeIsNoPlainHeader) {
    EXPECT_FALSE(envelope_[4] == 'Z' && envelope_[5] == 'Q');
    Bytes header(envelope_.begin(), envelope_.begin() + kHeaderSize);
    EXPECT_TRUE(is_sealed_magic(header.data()));
}

// The header's bytes are the chunks' associated data: any change to the
// salt or a parameter the caps allow is a key that opens nothing.
TEST_F(Sealed, AChangedHeaderOpensNothing) {
    for (size_t at : {size_t(8), size_t(12), size_t(20), size_t(24), size_t(33), size_t(63)}) {
        const fs::path path = write_container([at](Bytes& f) {
            f[kPrefix + at] ^= at == 8 || at == 12 ? 0x01 : at == 20 ? 0x04 : 0x02;
        });
        const int result = read_with(path, "Open sesame");
        EXPECT_TRUE(result == kExitPasswordFail || result == kExitInvalidArchive)
            << at << ": " << result;
    }
}

}  // namespace
}  // namespace zq::test
