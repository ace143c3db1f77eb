// Every reader of an archive reads a file's data the same way: the
// self-extractor extracting and testing (-t), zqpack extract and zqpack test.
// On archives whose records disagree with their data, or whose data is
// damaged, the two extractors end with the same status, the two testers too,
// and all four agree on whether the archive is sound.
#include <gtest/gtest.h>

#include <functional>

#include "rel_support.h"

namespace rel {
namespace {

using zq::test::ArchiveBuilder;
using zq::test::TestFile;

constexpr uint16_t kCrc = zq::kExtHasCrc;
constexpr int kAnyFailure = -1;

// a.txt (two frames, with a CRC-32), b.txt (coded, right behind it) and
// r.bin (raw, with a CRC-32, the last data before the catalogue); then the
// link d/l to `link_target` when it is given.
zq::ArchiveImage sample_image(const char* link_target = nullptr) {
    ArchiveBuilder builder;
    builder.files.push_back(
        TestFile{"a.txt", 0, zq::test::text_of(zq::test::text_lines(40000, 'a'))});
    builder.files.back().ext_word = kCrc;
    builder.files.push_back(TestFile{"b.txt", 0, "the file behind a.txt\n"});
    builder.files.push_back(
        TestFile{"r.bin", 0, zq::test::text_of(zq::test::noise(3000, 7)), false});
    builder.files.back().ext_word = kCrc;
    if (link_target != nullptr) {
        builder.dirs.push_back(zq::test::TestDir{1, "d"});
        builder.files.push_back(TestFile{"l", 1, link_target});
        builder.files.back().ext_word = kCrc | zq::kExtSymlink;
    }
    return builder.image();
}

struct Case {
    const char* what;
    std::function<void(zq::ArchiveImage&)> damage;
    int extracted;  // the extractors' status; kAnyFailure: one of the table's failures
    const char* link_target = nullptr;
};

uint8_t& data_byte(zq::ArchiveImage& image, size_t file, uint32_t at) {
    return image.data[image.files[file].data_offset - zq::kHeaderSize + at];
}

const std::vector<Case>& cases() {
    using Image = zq::ArchiveImage;
    static const std::vector<Case> all = {
        {"sound", [](Image&) {}, 0},
        // The frames that begin within stored_size are the data: the last
        // one is read whole, and a.txt comes out as packed.
        {"stored_size one short", [](Image& i) { i.files[0].stored_size -= 1; }, 0},
        // b.txt's first frame then counts as a.txt's: more bytes than recorded.
        {"stored_size one long", [](Image& i) { i.files[0].stored_size += 1; }, 7},
        {"original_size one short", [](Image& i) { i.files[0].original_size -= 1; }, 7},
        {"original_size one long", [](Image& i) { i.files[0].original_size += 1; }, 7},
        // Undecodable (3) or decoded wrong (7): which depends on the bits.
        {"a frame's byte flipped", [](Image& i) { data_byte(i, 0, 100) ^= 0x20; }, kAnyFailure},
        {"a raw byte flipped", [](Image& i) { data_byte(i, 2, 100) ^= 0x20; }, 7},
        // The data runs past the end of the file, as in a file cut short.
        {"coded data past the end", [](Image& i) { i.files[0].data_offset = 0x40000000; }, 3},
        {"raw data past the end", [](Image& i) { i.files[2].original_size += 1 << 20; }, 3},
        // Second names of a hard-linked file read its data: no reader may
        // refuse two records of one data range.
        {"two records read one data range",
         [](Image& i) {
             const zq::FileEntry first = i.files[0];
             zq::FileEntry& second = i.files[1];
             second.original_size = first.original_size;
             second.stored_size = first.stored_size;
             second.data_offset = first.data_offset;
             second.method = first.method;
             second.crc32 = first.crc32;
         },
         0},
        // Links: the testers check a target as the extractor does, which
        // refuses the whole archive before it writes anything.
        {"a sound link", [](Image&) {}, 0, "../b.txt"},
        {"a link out of the run folder", [](Image&) {}, 8, "../../b.txt"},
        {"an empty link", [](Image&) {}, 8, ""},
    };
    return all;
}

Outcome run_in(const std::vector<std::string>& argv, const std::string& cwd) {
    RunOptions options;
    options.cwd = cwd;
    options.timeout_ms = 20000;
    return run_program(argv, options);
}

TEST(ReadersAgree, OnDamagedAndInconsistentArchives) {
    if (stub_path() != zq::test::host_stub_path()) GTEST_SKIP() << "runs this system's own stub";
    for (const Case& c : cases()) {
        zq::test::ScratchDir dir("agree");
        zq::ArchiveImage image = sample_image(c.link_target);
        c.damage(image);
        const std::string sfx = dir.string() + "/damaged.sfx";
        write_sfx(sfx, zq::test::archive_of(image));
        zq::test::write_bytes(dir / "stub/.keep", {});
        zq::test::write_bytes(dir / "pack/.keep", {});

        const Outcome stub = run_in({sfx}, dir.string() + "/stub");
        const Outcome pack = run_in({zqpack_path(), "extract", sfx}, dir.string() + "/pack");
        const Outcome stub_test = run_in({sfx, "-t"}, dir.string());
        const Outcome pack_test = run_in({zqpack_path(), "test", sfx}, dir.string());
        for (const Outcome* run : {&stub, &pack, &stub_test, &pack_test})
            ASSERT_TRUE(run->exited()) << c.what << "\n" << run->out;

        if (c.extracted == kAnyFailure) {
            EXPECT_TRUE(stub.status == 3 || stub.status == 7) << c.what << "\n" << stub.out;
        } else {
            EXPECT_EQ(stub.status, c.extracted) << c.what << "\n" << stub.out;
        }
        EXPECT_EQ(pack.status, stub.status) << c.what << "\n" << pack.out;
        const int tested = stub.status == 0 ? 0 : zq::kExitDecodeFailed;
        EXPECT_EQ(stub_test.status, tested) << c.what << "\n" << stub_test.out;
        EXPECT_EQ(pack_test.status, tested) << c.what << "\n" << pack_test.out;
        if (stub.status == 0) {
            // Sound means the files came out as packed, through both.
            for (const char* where : {"/stub/a.txt", "/pack/a.txt"}) {
                EXPECT_EQ(zq::test::read_bytes(dir.string() + where),
                          zq::test::text_lines(40000, 'a'))
                    << c.what << where;
            }
        }
    }
}

// A wrong --password is the same failure (4) whether zqpack tests or
// extracts.
TEST(ReadersAgree, AWrongPasswordIsFourInTestAsInExtract) {
    zq::test::ScratchDir dir("agree");
    ArchiveBuilder builder;
    builder.password = "gate";
    builder.files.push_back(TestFile{"a.txt", 0, "behind the gate\n"});
    const std::string sfx = dir.string() + "/locked.sfx";
    write_sfx(sfx, builder.archive(), "gate");
    for (const char* command : {"test", "extract", "list"}) {
        const Outcome run =
            run_in({zqpack_path(), command, "--password", "wrong", sfx}, dir.string());
        EXPECT_EQ(run.status, zq::kExitPasswordFail) << command << "\n" << run.out;
        EXPECT_EQ(run_in({zqpack_path(), command, "--password", "gate", sfx}, dir.string()).status,
                  0)
            << command;
    }
}

// A command line that makes no sense is the same usage status everywhere.
TEST(ReadersAgree, AMistakenCommandLineIsTheUsageStatus) {
    zq::test::ScratchDir dir("agree");
    const std::string sfx = dir.string() + "/sound.sfx";
    write_sfx(sfx, zq::test::archive_of(sample_image()));
    if (stub_path() != zq::test::host_stub_path()) GTEST_SKIP() << "runs this system's own stub";
    EXPECT_EQ(run_in({sfx, "--no-such-option"}, dir.string()).status, zq::kExitUsage);
    EXPECT_EQ(run_in({zqpack_path(), "test"}, dir.string()).status, zq::kExitUsage);
    EXPECT_EQ(run_in({zqpack_path(), "test", "--no-such-option", sfx}, dir.string()).status,
              zq::kExitUsage);
}

}  // namespace
}  // namespace rel
