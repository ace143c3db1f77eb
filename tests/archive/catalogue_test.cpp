// Catalogues written by the image-level writer and read back by the
// extractor's reader: tables, pools, flags and the password dialogue.
#include <gtest/gtest.h>

#include "archive_test_support.h"

namespace zq::test {
namespace {

class CatalogueTest : public ::testing::Test {
protected:
    // Writes the image as a self-extractor behind a small fake stub and reads
    // its catalogue; returns the reader's result.
    int read(const ArchiveImage& image, const char* password = nullptr) {
        const Bytes stub = bytes_of("MZ fake stub");
        write_bytes(path(), self_extractor_bytes(stub, archive_bytes(codec_.state(), image)));
        expect_json_listing(path(), password != nullptr ? password : "");
        session_ = std::make_unique<ReaderSession>(path(), int32_t(stub.size()));
        EXPECT_TRUE(session_->ok());
        count_ = 0xBEEF;
        return session_->read(&count_, password);
    }
    fs::path path() const { return dir_ / "sfx"; }
    const Catalogue& cat() { return session_->catalogue(); }
    std::string name(uint32_t ref) { return name_text(cat(), ref); }

    ScratchDir dir_;
    OwnedCodec codec_;
    std::unique_ptr<ReaderSession> session_;
    uint32_t count_ = 0;
};

FileEntry numbered_file(uint32_t i, uint32_t name_ref) {
    FileEntry f;
    f.attributes = uint16_t(i & 1 ? kAttrReadOnly : kAttrArchive);
    f.access_time = int32_t(1000000 + i);
    f.write_time = int32_t(2000000 + i);
    f.create_time = -1;
    f.original_size = i * 3;
    f.stored_size = i * 2;
    f.data_offset = 10 + i;
    f.name = name_ref;
    f.method = i % 3 == 0 ? kMethodCoded : kMethodRaw;
    return f;
}

TEST_F(CatalogueTest, AThousandRecordsStraddleTheirBlocks) {
    // 40000 bytes of records: blocks of 32768 and 7232 bytes, record 819
    // split 8/32 between them.
    ArchiveImage image;
    NamePools names;
    for (uint32_t i = 0; i < 1000; ++i)
        image.files.push_back(numbered_file(i, names.add("file" + std::to_string(i))));
    image.pools = names.pools();
    ASSERT_EQ(read(image), 0);
    ASSERT_EQ(count_, 1000);
    for (uint32_t i = 0; i < 1000; ++i) {
        const FileRecord& r = *cat().file_table[i];
        ASSERT_EQ(Bytes(r.bytes, r.bytes + 40), file_record_bytes(image.files[i])) << i;
        ASSERT_EQ(name(r.name()), "file" + std::to_string(i));
    }
    // Records live in chunks of 128.
    EXPECT_EQ(cat().file_table[129], cat().file_table[128] + 1);
    EXPECT_EQ(cat().file_table[819]->write_time(), 2000819);
}

TEST_F(CatalogueTest, RecordsSurviveFramesSmallerThanARecord) {
    ArchiveImage image;
    image.frame_plain = 7;  // every record crosses at least one frame boundary
    NamePools names;
    image.dirs = {{1, names.add("alpha"), 3, 1},
                  {2, names.add("beta"), 0, 2},
                  {3, names.add("gamma"), 0, 0},
                  {4, names.add("delta"), 0, 0}};
    for (uint32_t i = 0; i < 5; ++i) {
        FileEntry f = numbered_file(i, names.add("f" + std::to_string(i)));
        f.dir_id = uint16_t(i % 5);
        image.files.push_back(f);
    }
    image.pools = names.pools();
    ASSERT_EQ(read(image), 0);
    ASSERT_EQ(cat().dir_count, 4);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(Bytes(cat().dir_table[i].bytes, cat().dir_table[i].bytes + 10),
                  dir_record_bytes(image.dirs[i]));
    }
    EXPECT_EQ(name(cat().dir_table[2].name()), "gamma");
    EXPECT_EQ(cat().file_table[4]->dir_id(), 4);
}

TEST_F(CatalogueTest, NamesSpreadOverSeveralPools) {
    ArchiveImage image;
    NamePools names;
    std::vector<uint32_t> refs;
    for (uint32_t i = 0; i < 3000; ++i) {
        std::string n = "a-rather-long-file-name-number-" + std::to_string(i) + ".txt";
        refs.push_back(names.add(n));
        image.files.push_back(numbered_file(i, refs.back()));
    }
    EXPECT_EQ(names.add("a-rather-long-file-name-number-7.txt"), refs[7]);  // shared, not repeated
    image.pools = names.pools();
    ASSERT_GE(image.pools.size(), 3u);
    ASSERT_EQ(read(image), 0);
    EXPECT_EQ(cat().pool_count, image.pools.size());
    for (uint32_t i = 0; i < 3000; i += 97) {
        EXPECT_EQ(name(cat().file_table[i]->name()),
                  "a-rather-long-file-name-number-" + std::to_string(i) + ".txt");
    }
    EXPECT_GE(cat().file_table[2999]->name() >> 16, 2u);
}

TEST_F(CatalogueTest, HeaderFlagsAreKept) {
    ArchiveImage image;
    image.flags = 0x0156;  // full paths, 4-bit value 6
    ASSERT_EQ(read(image), 0);
    EXPECT_EQ(count_, 0);
    EXPECT_EQ(cat().full_path, 1);
    EXPECT_EQ(cat().dir_tree, 0);
    EXPECT_EQ(cat().header_nibble, 6);
    EXPECT_EQ(cat().pool_count, 0);
    EXPECT_EQ(cat().file_table, nullptr);

    image.flags = kFlagTypeBits;
    image.options = 0xFF;
    ASSERT_EQ(read(image), 0);
    EXPECT_EQ(cat().full_path, 0);
    EXPECT_EQ(cat().dir_tree, 1);
}

TEST_F(CatalogueTest, AnEmptyPoolIsAllowed) {
    ArchiveImage image;
    image.pools = {Bytes{}, bytes_of(std::string("x\0", 2))};
    image.files.push_back(numbered_file(0, make_name_ref(1, 0)));
    ASSERT_EQ(read(image), 0);
    EXPECT_EQ(cat().pool_sizes[0], 0);
    EXPECT_EQ(name(cat().file_table[0]->name()), "x");
}

class PasswordTest : public CatalogueTest {
protected:
    // Runs the dialogue with the given console lines; returns the reader's
    // result and stores what it printed.
    int dialogue(const std::vector<std::string>& lines, const std::string& password = "Secret") {
        ArchiveImage image;
        image.flags |= kFlagPassword;
        image.password = bytes_of(password);
        NamePools names;
        image.files.push_back(numbered_file(0, names.add("inside.txt")));
        image.pools = names.pools();
        std::string typed;
        for (const std::string& line : lines) typed += line;
        StdinFrom input(typed);
        std::fflush(stdout);
        StdoutCapture output;
        const int result = read(image);
        printed_ = output.text();
        return result;
    }
    std::string printed_;
};

TEST_F(PasswordTest, RightPasswordInOtherCase) {
    EXPECT_EQ(dialogue({"sECRET\r\n"}), 0);
    EXPECT_EQ(printed_, piped_linux_console("Password: \r"));
    EXPECT_EQ(count_, 1);
}

TEST_F(PasswordTest, WrongThenRight) {
    EXPECT_EQ(dialogue({"nope\n", "also wrong\n", "Secret\n"}), 0);
    EXPECT_EQ(printed_,
              piped_linux_console(
                  "Password: \r\nPassword fail\r\nPassword: \r\nPassword fail\r\nPassword: \r"));
}

TEST_F(PasswordTest, NoAnswerAbortsInsteadOfAskingForever) {
    EXPECT_EQ(dialogue({"wrong\n"}), 1);
    EXPECT_EQ(printed_, piped_linux_console("Password: \r\nPassword fail\r\nPassword: "));
    EXPECT_EQ(count_, 0xBEEF);  // not stored on failure
}

TEST_F(PasswordTest, StoredNulEndsThePassword) {
    EXPECT_EQ(dialogue({"abc\n"}, std::string("abc\0def", 7)), 0);
}

TEST_F(PasswordTest, GivenPasswordIsCheckedWithoutAsking) {
    ArchiveImage image;
    image.flags |= kFlagPassword;
    image.password = bytes_of("Secret");
    EXPECT_EQ(read(image, "secret"), 0);
    EXPECT_EQ(read(image, "secret2"), 4);
}

}  // namespace
}  // namespace zq::test
