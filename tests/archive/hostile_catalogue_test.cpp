// Broken and hostile catalogues: each is refused with its code, inside the
// reader, without reading outside a buffer (the sanitizer build watches).
#include <gtest/gtest.h>

#include <functional>

#include "archive_test_support.h"

namespace zq::test {
namespace {

constexpr int kIo = 3;
constexpr int kMemory = 5;
constexpr int kInvalid = 8;

class HostileTest : public ::testing::Test {
protected:
    int read_bytes_as_archive(const Bytes& archive) {
        write_bytes(dir_ / "archive", archive);
        // With a trailer, as zqpack lists it.
        write_bytes(dir_ / "listed", self_extractor_bytes({}, archive));
        expect_json_listing(dir_ / "listed");
        ReaderSession session(dir_ / "archive");
        EXPECT_TRUE(session.ok());
        uint32_t count = 0xBEEF;
        int result = session.read(&count);
        if (result != 0) {
            EXPECT_EQ(count, 0xBEEF);
        }
        return result;
    }
    int read_image(const ArchiveImage& image) {
        return read_bytes_as_archive(archive_bytes(codec_.state(), image));
    }
    Bytes frames(const Bytes& plain) { return code_frames(codec_.state(), plain); }

    ScratchDir dir_;
    OwnedCodec codec_;
};

// top\sub\leaf.txt and note.txt.
ArchiveImage sound_image() {
    ArchiveImage image;
    image.pools = {bytes_of(std::string("top\0sub\0leaf.txt\0note.txt\0", 26))};
    image.dirs = {{1, make_name_ref(0, 0), 0, 1}, {2, make_name_ref(0, 4), 0, 0}};
    FileEntry leaf;
    leaf.dir_id = 2;
    leaf.name = make_name_ref(0, 8);
    FileEntry note;
    note.name = make_name_ref(0, 17);
    image.files = {leaf, note};
    return image;
}

struct ImageCase {
    const char* what;
    std::function<void(ArchiveImage&)> change;
    int expected;
};

TEST_F(HostileTest, BrokenReferencesAndTreesAreInvalid) {
    const ArchiveImage sound = sound_image();
    ASSERT_EQ(read_image(sound), 0);
    const std::vector<ImageCase> cases = {
        {"bad type bits", [](ArchiveImage& i) { i.flags = 0x0126; }, kInvalid},
        {"pool index outside", [](ArchiveImage& i) { i.files[1].name = make_name_ref(1, 0); },
         kInvalid},
        {"offset outside pool", [](ArchiveImage& i) { i.files[1].name = make_name_ref(0, 26); },
         kInvalid},
        {"dir name outside", [](ArchiveImage& i) { i.dirs[1].name = make_name_ref(0, 60000); },
         kInvalid},
        {"name without NUL", [](ArchiveImage& i) { i.pools[0].pop_back(); }, kInvalid},
        {"no pools at all", [](ArchiveImage& i) { i.pools.clear(); }, kInvalid},
        {"next outside", [](ArchiveImage& i) { i.dirs[1].next = 2; }, kInvalid},
        {"child outside", [](ArchiveImage& i) { i.dirs[0].child = 9; }, kInvalid},
        {"own child", [](ArchiveImage& i) { i.dirs[1].child = 1; }, kInvalid},
        {"sibling loop", [](ArchiveImage& i) { i.dirs[1].next = 1; }, kInvalid},
        {"sibling loop of two",
         [](ArchiveImage& i) {
             i.dirs[1].next = 2;
             i.dirs.push_back({3, make_name_ref(0, 0), 1, 0});
         },
         kInvalid},
        {"shared subtree",
         [](ArchiveImage& i) {
             i.dirs[0].next = 2;
             i.dirs.push_back({3, make_name_ref(0, 0), 0, 1});
         },
         kInvalid},
        {"dir_id matching nothing", [](ArchiveImage& i) { i.files[0].dir_id = 7; }, kInvalid},
        {"dir_id of an unreachable directory",
         [](ArchiveImage& i) {
             i.dirs[0].child = 0;
             i.files[0].dir_id = 2;
         },
         kInvalid},
        {"unreachable directory nobody uses",
         [](ArchiveImage& i) {
             i.dirs[0].child = 0;
             i.files[0].dir_id = 1;
         },
         0},
        {"duplicate id: first in walk order wins",
         [](ArchiveImage& i) {
             i.dirs[1].id = 1;
             i.files[0].dir_id = 1;
         },
         0},
        {"dir_id without any directories",
         [](ArchiveImage& i) {
             i.dirs.clear();
             i.files[0].dir_id = 5;
         },
         0},
    };
    for (const ImageCase& c : cases) {
        SCOPED_TRACE(c.what);
        ArchiveImage image = sound;
        c.change(image);
        EXPECT_EQ(read_image(image), c.expected);
    }
}

TEST_F(HostileTest, OnlySinglePathComponentsAreNames) {
    const std::vector<std::pair<std::string, int>> names = {
        {"", kInvalid},
        {".", kInvalid},
        {"..", kInvalid},
        {"a/b", kInvalid},
        {"a\\b", kInvalid},
        {"c:", kInvalid},
        {"C:x", kInvalid},
        {"tab\there", kInvalid},
        {"line\nbreak", kInvalid},
        {"\x1b[2J", kInvalid},
        {"\x1f", kInvalid},
        {"x\x7f\x01", kInvalid},
        {"../escape", kInvalid},
        {"..\\..\\escape", kInvalid},
        {"\x83/x", kInvalid},  // a '/' is a separator to the kernel even as a second byte
        {"\x81/", kInvalid},
        // Linux names are UTF-8: 0x5C is a separator after any byte.
        {"\x83\\x", kInvalid},
        {"\xe0\\", kInvalid},
        {"...", 0},
        {".hidden", 0},
        {"\x81", 0},
        {"\xe6\x96\x87", 0},
        {"a\\\x83", kInvalid},
    };
    for (bool as_dir : {false, true}) {
        for (const auto& [name, expected] : names) {
            SCOPED_TRACE((as_dir ? "directory " : "file ") + name);
            ArchiveImage image = sound_image();
            Bytes pool = bytes_of(name);
            pool.push_back(0);
            image.pools.push_back(pool);
            if (as_dir) {
                image.dirs[1].name = make_name_ref(1, 0);
            } else {
                image.files[0].name = make_name_ref(1, 0);
            }
            EXPECT_EQ(read_image(image), expected);
        }
    }
}

TEST_F(HostileTest, PathsMustFitTheirBuffers) {
    auto image_with = [](size_t dir_name, size_t sub_name, size_t file_name, uint16_t dir_id) {
        ArchiveImage image;
        Bytes pool;
        for (size_t length : {dir_name, sub_name, file_name}) {
            pool.insert(pool.end(), length, 'n');
            pool.push_back(0);
        }
        image.pools = {pool};
        image.dirs = {{1, make_name_ref(0, 0), 0, 1},
                      {2, make_name_ref(0, uint16_t(dir_name + 1)), 0, 0}};
        FileEntry file;
        file.dir_id = dir_id;
        file.name = make_name_ref(0, uint16_t(dir_name + sub_name + 2));
        image.files = {file};
        return image;
    };
    // Full path: "d...\s...\f..." where each directory adds its name and '\'.
    EXPECT_EQ(read_image(image_with(300, 100, 109, 2)), 0);         // 301 + 101 + 109 = 511
    EXPECT_EQ(read_image(image_with(300, 100, 110, 2)), kInvalid);  // 512
    EXPECT_EQ(read_image(image_with(10, 10, 511, 0)), 0);
    EXPECT_EQ(read_image(image_with(10, 10, 512, 0)), kInvalid);
    // A directory path the tree walk would write is too long, even though no
    // file lives there.
    EXPECT_EQ(read_image(image_with(300, 209, 5, 1)), 0);  // 301 + 210 = 511
    EXPECT_EQ(read_image(image_with(300, 210, 5, 1)), kInvalid);
}

TEST_F(HostileTest, DeepChainsAreRefusedByLength) {
    // 300 nested one-letter directories: 600 bytes of path.
    ArchiveImage image;
    image.pools = {bytes_of(std::string("d\0f\0", 4))};
    for (uint16_t i = 0; i < 300; ++i)
        image.dirs.push_back({uint32_t(i + 1), 0, 0, uint16_t(i == 299 ? 0 : i + 1)});
    FileEntry file;
    file.name = make_name_ref(0, 2);
    image.files = {file};
    EXPECT_EQ(read_image(image), kInvalid);
    image.dirs.resize(255);
    image.dirs.back().child = 0;
    image.files[0].dir_id = 255;
    EXPECT_EQ(read_image(image), 0);  // 510 + "f"
}

// Hand-built catalogues for what the image writer never produces.
class SectionTest : public HostileTest {
protected:
    Bytes archive(uint16_t flags, const Bytes& catalogue) {
        Bytes out = header_bytes(flags, 0, kHeaderSize);
        out.insert(out.end(), catalogue.begin(), catalogue.end());
        return out;
    }
    Bytes one_pool() {
        Bytes out;
        put_u16(out, 1);
        Bytes f = frames(bytes_of(std::string("a\0", 2)));
        put_u16(out, 2);
        put_u16(out, uint16_t(f.size()));
        out.insert(out.end(), f.begin(), f.end());
        return out;
    }
    static void append(Bytes& out, const Bytes& more) {
        out.insert(out.end(), more.begin(), more.end());
    }
    Bytes file_table(uint32_t count, const Bytes& plain) {
        Bytes out;
        Bytes f = frames(plain);
        put_u32(out, count);
        put_u32(out, uint32_t(f.size()));
        append(out, f);
        return out;
    }
    Bytes one_file() {
        FileEntry file;
        return file_record_bytes(file);
    }
};

TEST_F(SectionTest, OversizedPoolsAndPasswordBlocks) {
    Bytes c;
    put_u16(c, 1);
    put_u16(c, 0x8000);  // decoded size 32768: an allocation the format cannot make
    put_u16(c, 0);
    EXPECT_EQ(read_bytes_as_archive(archive(kFlagTypeBits | kFlagFullPath, c)), kMemory);

    c.clear();
    put_u16(c, 1);
    put_u16(c, 10);
    put_u16(c, 0x8000);  // coded size 32768
    append(c, Bytes(0x8000, 0));
    EXPECT_EQ(read_bytes_as_archive(archive(kFlagTypeBits | kFlagFullPath, c)), kInvalid);

    // A pool whose frames decode to more than its size.
    c.clear();
    put_u16(c, 1);
    Bytes f = frames(bytes_of("abc"));
    put_u16(c, 2);
    put_u16(c, uint16_t(f.size()));
    append(c, f);
    EXPECT_EQ(read_bytes_as_archive(archive(kFlagTypeBits | kFlagFullPath, c)), kIo);

    const Bytes password_frame = frames(bytes_of("pw"));
    auto with_password = [&](uint16_t length, const Bytes& block) {
        Bytes out = one_pool();
        put_u16(out, length);
        append(out, block);
        put_u16(out, 0);
        append(out, file_table(0, {}));
        return archive(kFlagTypeBits | kFlagFullPath | kFlagPassword, out);
    };
    Bytes big_block(0x8000, 0);
    EXPECT_EQ(read_bytes_as_archive(with_password(0x8000, big_block)), kInvalid);
    EXPECT_EQ(read_bytes_as_archive(with_password(2, Bytes{0x80, 0x00})), kInvalid);
    // The frame's header claims more payload than the block holds.
    Bytes liar = {0x80, 0x20, 'p', 'w'};
    EXPECT_EQ(read_bytes_as_archive(with_password(4, liar)), kInvalid);
    // The archive ends inside the password block.
    const Bytes whole = with_password(uint16_t(password_frame.size()), password_frame);
    const size_t block_end = kHeaderSize + one_pool().size() + 2 + password_frame.size();
    EXPECT_EQ(read_bytes_as_archive(Bytes(whole.begin(), whole.begin() + block_end - 1)), kIo);
}

TEST_F(SectionTest, RecordTablesWithSurplusOrBrokenFrames) {
    auto with_dirs = [&](uint16_t count, const Bytes& table) {
        Bytes out = one_pool();
        put_u16(out, count);
        put_u16(out, uint16_t(table.size()));
        append(out, table);
        append(out, file_table(1, one_file()));
        return archive(kFlagTypeBits | kFlagFullPath, out);
    };
    Bytes dir = dir_record_bytes({1, 0, 0, 0});
    EXPECT_EQ(read_bytes_as_archive(with_dirs(1, frames(dir))), 0);
    Bytes two_dirs = dir;
    append(two_dirs, dir);
    EXPECT_EQ(read_bytes_as_archive(with_dirs(1, frames(two_dirs))), kInvalid);
    Bytes dir_and_a_byte = dir;
    dir_and_a_byte.push_back(0);
    EXPECT_EQ(read_bytes_as_archive(with_dirs(1, frames(dir_and_a_byte))), kInvalid);
    const Bytes undecodable = {0x00, 0x02, 0xFF, 0xFF};
    EXPECT_EQ(read_bytes_as_archive(with_dirs(1, undecodable)), kInvalid);

    auto with_files = [&](uint32_t count, const Bytes& plain) {
        Bytes out = one_pool();
        put_u16(out, 0);
        append(out, file_table(count, plain));
        return archive(kFlagTypeBits | kFlagFullPath, out);
    };
    Bytes two_files = one_file();
    append(two_files, one_file());
    EXPECT_EQ(read_bytes_as_archive(with_files(2, two_files)), 0);
    EXPECT_EQ(read_bytes_as_archive(with_files(1, two_files)), kInvalid);
    // Only the low 16 bits of the count are used.
    EXPECT_EQ(read_bytes_as_archive(with_files(0x10002, two_files)), 0);
    Bytes out = one_pool();
    put_u16(out, 0);
    put_u32(out, 1);
    put_u32(out, 4);
    append(out, undecodable);
    EXPECT_EQ(read_bytes_as_archive(archive(kFlagTypeBits | kFlagFullPath, out)), kInvalid);
}

// An archive cut anywhere: 3 while the header, the pools, the directory
// table or the sizes are incomplete, 8 inside the file table's frames.
TEST_F(HostileTest, CutAnywhere) {
    ArchiveImage image = sound_image();
    image.frame_plain = 16;  // several frames per table
    image.data = bytes_of("file data here");
    const Bytes whole = archive_bytes(codec_.state(), image);
    Bytes files_plain;
    for (const FileEntry& f : image.files) {
        Bytes r = file_record_bytes(f);
        files_plain.insert(files_plain.end(), r.begin(), r.end());
    }
    const size_t file_frames =
        code_frames(codec_.state(), files_plain.data(), files_plain.size(), 16).size();
    const size_t frames_start = whole.size() - file_frames;
    ASSERT_EQ(read_bytes_as_archive(whole), 0);
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        ASSERT_EQ(read_bytes_as_archive(Bytes(whole.begin(), whole.begin() + cut)),
                  cut < frames_start ? kIo : kInvalid);
    }
}

}  // namespace
}  // namespace zq::test

namespace zq::test {
namespace {

// Pools are kept at the size they decode to, and all of them together at
// most kMaxNameBytes: a header's sizes alone cannot make the reader allocate.
TEST_F(SectionTest, PoolMemoryFollowsWhatWasDecoded) {
    auto pools = [&](uint32_t count, const Bytes& plain, uint16_t declared) {
        const Bytes f = frames(plain);
        Bytes c;
        put_u16(c, uint16_t(count));
        for (uint32_t i = 0; i < count; ++i) {
            put_u16(c, declared);
            put_u16(c, uint16_t(f.size()));
            append(c, f);
        }
        put_u16(c, 0);           // no folders
        append(c, Bytes(8, 0));  // no files, no coded bytes
        return archive(kFlagTypeBits | kFlagFullPath, c);
    };
    // Declared full, decoded to three bytes.
    write_bytes(dir_ / "short", pools(2, bytes_of(std::string("ab\0", 3)), 0x7FFF));
    ReaderSession session(dir_ / "short");
    uint32_t count = 0;
    ASSERT_EQ(session.read(&count), 0);
    EXPECT_LE(session.catalogue().pool_sizes[1], 4u);

    // Full pools up to the cap and one beyond it.
    Bytes full(0x7FFF, 'n');
    full.back() = 0;
    const uint32_t fit = kMaxNameBytes / 0x8000;
    EXPECT_EQ(read_bytes_as_archive(pools(fit, full, 0x7FFF)), 0);
    EXPECT_EQ(read_bytes_as_archive(pools(fit + 1, full, 0x7FFF)), kMemory);
}

}  // namespace
}  // namespace zq::test
