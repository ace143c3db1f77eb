// Hostile archives made with the writer's image level, run through the real
// self-extractor in an empty folder: each must end with its code and message
// and leave the folder empty (no target, no temporary file, no directory),
// even when a sound file comes first in the catalogue.
#include <gtest/gtest.h>

#include "rel_support.h"

namespace rel {
namespace {

constexpr int kIoCode = 3;
constexpr int kMemoryCode = 5;
constexpr int kDecodeCode = 7;
constexpr int kInvalidCode = 8;

const char* message_of(int code) {
    switch (code) {
        case kIoCode: return "File I/O error";
        case kMemoryCode: return "Out of memory";
        case kDecodeCode: return "Decode failed";
        case kInvalidCode: return "Invalid archive";
        default: return "?";
    }
}

// A catalogue built by hand: names are placed in pool 0 by `name`, which
// returns their NameRef; files get their data appended.
struct Hostile {
    zq::ArchiveImage image;
    zq::OwnedCodec codec;
    Bytes pool;

    uint32_t name(const std::string& text) {
        const uint32_t ref = zq::make_name_ref(0, uint16_t(pool.size()));
        pool.insert(pool.end(), text.begin(), text.end());
        pool.push_back(0);
        return ref;
    }
    zq::FileEntry& file(uint32_t name_ref, const std::string& content, bool coded = true,
                        uint16_t dir_id = 0) {
        zq::FileEntry entry;
        entry.name = name_ref;
        entry.dir_id = dir_id;
        return zq::add_file_data(image, codec.state(), entry, bytes_of(content), coded);
    }
    // A sound file first: the refusal must still come before it is written.
    Hostile() { file(name("first.txt"), "written only by a sound archive\n"); }
    Bytes archive() {
        if (image.pools.empty()) image.pools = {pool};
        return zq::archive_bytes(codec.state(), image);
    }
};

class HostileArchive : public ::testing::Test {
protected:
    // Runs the archive as a self-extractor; returns its exit status after
    // checking the message and that nothing was left behind.
    Outcome run_hostile(const Bytes& archive, const std::string& what, int timeout_ms = 30000) {
        scratch_.clear_work();
        const std::string sfx = scratch_.root() + "/hostile.sfx";
        write_sfx(sfx, archive);
        RunOptions options;
        options.cwd = scratch_.work();
        options.timeout_ms = timeout_ms;
        Outcome outcome = run_program({sfx}, options);
        EXPECT_TRUE(outcome.exited()) << what << ": signal " << outcome.signal;
        EXPECT_EQ(scan(scratch_.work()).names, std::vector<std::string>{}) << what;
        EXPECT_EQ(scratch_.strays({"hostile.sfx"}), std::vector<std::string>{}) << what;
        return outcome;
    }
    void expect_refused(const Bytes& archive, int code, const std::string& what,
                        int timeout_ms = 30000) {
        const Outcome outcome = run_hostile(archive, what, timeout_ms);
        EXPECT_EQ(outcome.status, code) << what << "\n" << outcome.out;
        EXPECT_EQ(last_line(outcome.out), message_of(code)) << what;
    }

    Scratch scratch_;
};

// The reader's own tests go through every kind of invalid catalogue; here
// one of them runs through the real self-extractor: a folder whose name
// climbs out of the run folder, with the whole tree to be made first and a
// sound file before it in the catalogue.
TEST_F(HostileArchive, AnInvalidCatalogueIsRefusedBeforeAnythingIsWritten) {
    Hostile h;
    h.image.dirs = {{1, h.name("..\\..\\escape"), 0, 0}};
    h.file(h.name("inside.txt"), "payload", true, 1);
    h.image.options = zq::kOptionDirTree;
    expect_refused(h.archive(), kInvalidCode, "a folder named ..\\..\\escape");
}

TEST_F(HostileArchive, OversizedSectionsAreRefused) {
    // A pool of 32768 bytes: its size reads as negative, an allocation the
    // format cannot ask for.
    Hostile h;
    h.file(h.name("f"), "x");
    h.pool.resize(32768, 'p');
    h.pool.back() = 0;
    expect_refused(h.archive(), kMemoryCode, "pool of 32768 bytes");
}

// The reader leaves data extents to the run: a file whose data is not there
// fails when it is read, and its temporary file goes. (Here that file comes
// first, so nothing at all is written.)
TEST_F(HostileArchive, OffsetsAndSizesOutsideTheFile) {
    {
        Hostile h;
        Bytes archive = h.archive();
        // -100 lands inside the stub, where no catalogue is; the smallest
        // 32-bit number lands before the start of the file.
        const std::pair<uint32_t, int> offsets[] = {{uint32_t(-100), kInvalidCode},
                                                    {0x80000000u, kIoCode}};
        for (const auto& [offset, code] : offsets) {
            for (int i = 0; i < 4; ++i) archive[6 + i] = uint8_t(offset >> (8 * i));
            expect_refused(archive, code,
                           "negative catalogue_offset " + std::to_string(int32_t(offset)));
        }
    }
    for (bool coded : {true, false}) {
        Hostile h;
        h.image.files.clear();
        h.file(h.name("far.txt"), "data that is not where the record says", coded).data_offset =
            1u << 30;
        expect_refused(h.archive(), kIoCode,
                       std::string("data_offset past the end, ") + (coded ? "coded" : "raw"));
    }
    {
        // The stream runs on through the catalogue and past the end of the
        // file: a frame cannot be read or decoded.
        Hostile h;
        h.image.files.clear();
        zq::FileEntry& file = h.file(h.name("long.txt"), std::string(3000, 'L') + "tail");
        file.stored_size = 10u << 20;
        expect_refused(h.archive(), kIoCode, "stored_size larger than the archive");
    }
}

// 65535 files of 4 GiB - 1 bytes each: the reader takes the table (2.5 MiB of
// records), and the first file's data, which is not there, ends the run.
TEST_F(HostileArchive, MaximalFileTableOfHugeFiles) {
    for (bool coded : {false, true}) {
        Hostile h;
        h.image.files.clear();
        h.image.data.clear();
        zq::FileEntry entry;
        entry.name = h.name("huge.bin");
        entry.original_size = 0xFFFFFFFFu;
        entry.stored_size = 0xFFFFFFFFu;
        entry.data_offset = zq::kHeaderSize;
        entry.method = coded ? zq::kMethodCoded : zq::kMethodRaw;
        h.image.data = Bytes(64, 0x55);
        h.image.files.assign(65535, entry);
        // Sizes are unsigned: a raw copy and a block-coded stream both meet
        // the end of the file.
        expect_refused(h.archive(), kIoCode,
                       std::string("65535 files of 4 GiB - 1, ") + (coded ? "coded" : "raw"));
    }
}

}  // namespace
}  // namespace rel

namespace rel {
namespace {

// A block-coded file whose frames expand to 4 GiB more than its recorded
// size: the count of bytes written wraps around 32 bits, and must not pass
// for the recorded size. It writes 4 GiB, so it runs only when asked for
// (ZQ_REL_HEAVY=1).
TEST_F(HostileArchive, OutputThatWrapsTheSizeCounterIsNotAccepted) {
    if (std::getenv("ZQ_REL_HEAVY") == nullptr)
        GTEST_SKIP() << "writes 4 GiB; set ZQ_REL_HEAVY=1 to run";
    zq::OwnedCodec codec;
    const Bytes block(zq::kBlockSize, 'w');
    const Bytes frame = zq::code_frames(codec.state(), block);
    const Bytes tail = zq::code_frames(codec.state(), Bytes(100, 't'));
    Hostile h;
    h.image.files.clear();
    h.image.data.clear();
    for (uint32_t i = 0; i < (1u << 17); ++i)
        h.image.data.insert(h.image.data.end(), frame.begin(), frame.end());
    h.image.data.insert(h.image.data.end(), tail.begin(), tail.end());
    zq::FileEntry entry;
    entry.name = h.name("wrapped.bin");
    entry.original_size = 100;
    entry.stored_size = uint32_t(h.image.data.size());
    entry.data_offset = zq::kHeaderSize;
    entry.method = zq::kMethodCoded;
    h.image.files = {entry};
    expect_refused(h.archive(), kDecodeCode, "4 GiB + 100 bytes recorded as 100", 900000);
}

}  // namespace
}  // namespace rel
