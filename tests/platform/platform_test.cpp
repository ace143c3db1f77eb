// The Linux side of the platform layer: how Windows-style expectations map
// onto POSIX files.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_place.h"
#include "support.h"

using namespace zq;

namespace {
class Platform : public zq::test::InScratchDir {};

mode_t mode_of(const char* path) {
    struct stat info;
    EXPECT_EQ(lstat(path, &info), 0) << path;
    return info.st_mode & 0777;
}
}  // namespace

TEST_F(Platform, EverySeparatorBecomesASlash) {
    ASSERT_TRUE(dir_create("d"));
    ASSERT_TRUE(dir_create("d\\e"));
    EXPECT_TRUE(is_dir("d/e"));
    // UTF-8 has no two-byte characters in the code-page sense: after 文 (E6 96 87)
    // the 0x5C is a separator.
    ASSERT_TRUE(dir_create("d\\\u6587"));
    ASSERT_TRUE(dir_create("d\\\u6587\\g"));
    EXPECT_TRUE(is_dir("d/\u6587/g"));
    EXPECT_FALSE(is_lead_byte(0x95));
    FileHandle file = file_create_new("d\\e\\f");
    ASSERT_NE(file, kNoFile);
    EXPECT_GT(file, 2);  // never one of the standard handles
    file_close(file);
    EXPECT_TRUE(exists("d/e/f"));
}

TEST_F(Platform, Attributes) {
    EXPECT_EQ(file_get_attributes("missing"), kNoAttributes);
    mkdir("dir", 0777);
    EXPECT_EQ(file_get_attributes("dir"), kAttrDirectory);
    write_file("f", "x");
    chmod("f", 0644);
    EXPECT_EQ(file_get_attributes("f") & kAttrReadOnly, 0u);

    EXPECT_TRUE(file_set_attributes("f", kAttrReadOnly | kAttrArchive));
    EXPECT_EQ(mode_of("f"), 0444u);
    EXPECT_EQ(file_get_attributes("f"), kAttrReadOnly);
    EXPECT_TRUE(file_set_attributes("f", kAttrNormal));
    EXPECT_EQ(mode_of("f") & 0200, 0200u);

    // A link answers for what it leads to but is never changed through.
    ASSERT_EQ(symlink("dir", "to_dir"), 0);
    EXPECT_EQ(file_get_attributes("to_dir"), kAttrDirectory);
    ASSERT_EQ(symlink("nowhere", "dangling"), 0);
    EXPECT_NE(file_get_attributes("dangling"), kNoAttributes);
    ASSERT_EQ(symlink("f", "to_f"), 0);
    EXPECT_TRUE(file_set_attributes("to_f", kAttrReadOnly));
    EXPECT_EQ(mode_of("f") & 0200, 0200u);
}

TEST_F(Platform, ExclusiveCreationAndReplace) {
    write_file("old", "old");
    EXPECT_EQ(file_create_new("old"), kNoFile);
    EXPECT_EQ(read_file("old"), "old");
    ASSERT_EQ(symlink("victim", "link"), 0);
    EXPECT_EQ(file_create_new("link"), kNoFile);
    EXPECT_FALSE(exists("victim"));

    write_file("new", "new");
    chmod("old", 0444);
    EXPECT_TRUE(file_move_replace("new", "old"));
    EXPECT_EQ(read_file("old"), "new");
    EXPECT_FALSE(exists("new"));

    // A folder is never replaced, and both names stay as they were.
    mkdir("dir", 0777);
    write_file("dir/inside", "i");
    write_file("new", "new");
    EXPECT_FALSE(file_move_replace("new", "dir"));
    EXPECT_EQ(read_file("new"), "new");
    EXPECT_EQ(read_file("dir/inside"), "i");
}

// A folder's names are listed on the first look in it; what was there then
// and every name made there since must still be seen, over more than one
// buffer of the listing.
TEST_F(Platform, LooksInAListedFolderSeeEveryName) {
    ASSERT_TRUE(dir_set_current("."));  // no folder kept from another test
    ASSERT_TRUE(dir_create("d"));
    std::vector<std::string> before;
    for (int i = 0; i < 300; ++i) {
        before.push_back("d/before-" + std::to_string(i));
        write_file(before.back(), "b");
    }
    EXPECT_EQ(file_get_attributes("d/missing"), kNoAttributes);
    for (const std::string& name : before)
        EXPECT_NE(file_get_attributes(name.c_str()), kNoAttributes) << name;

    FileHandle made = file_create_new("d/made");
    ASSERT_NE(made, kNoFile);
    file_close(made);
    FileHandle temp = file_create_new("d/temp");
    ASSERT_NE(temp, kNoFile);
    file_close(temp);
    ASSERT_TRUE(file_move_replace("d/temp", "d/moved"));
    ASSERT_TRUE(dir_create("d/sub"));
    ASSERT_TRUE(link_create("made", "d/link"));
    ASSERT_TRUE(file_link_create("d/made", "d/second"));
    for (const char* name : {"d/made", "d/moved", "d/link", "d/second"})
        EXPECT_NE(file_get_attributes(name), kNoAttributes) << name;
    EXPECT_EQ(file_get_attributes("d/sub"), kAttrDirectory);
    EXPECT_EQ(file_get_attributes("d/temp"), kNoAttributes);
}

// A file system may ignore letter case or drop trailing dots, so the listing
// answers only for plain names, letters folded, and not at all for a folder
// holding a name beyond ASCII.
TEST_F(Platform, TheListingAnswersOnlyForPlainNames) {
    ASSERT_TRUE(dir_set_current("."));
    ASSERT_TRUE(dir_create("d"));
    ASSERT_TRUE(dir_create("u"));
    write_file("d/README", "r");
    write_file("u/\u00e9t\u00e9", "e");
    const auto absent = [](const char* path) {
        char os_path[4096];
        posix::Place place;
        return posix::resolve(path, os_path, &place) && posix::known_absent(place);
    };
    EXPECT_TRUE(absent("d/other"));
    for (const char* path :
         {"d/readme", "d/ReadMe", "d/READ~1", "d/other.", "d/other ", "d/\u00c9T\u00c9", "u/plain"})
        EXPECT_FALSE(absent(path)) << path;
}

TEST_F(Platform, SeekReportsPositionsThatFit) {
    write_file("f", "0123456789");
    FileHandle file = file_open_read("f");
    ASSERT_NE(file, kNoFile);
    EXPECT_EQ(file_seek(file, -4, kSeekEnd), 6);
    char tail[8] = {};
    EXPECT_EQ(file_read(file, tail, 8), 4);
    EXPECT_STREQ(tail, "6789");
    EXPECT_EQ(file_seek(file, -1, kSeekSet), -1);
    EXPECT_EQ(file_close(file), 0);
    EXPECT_EQ(file_open_read("missing"), kNoFile);
}

TEST_F(Platform, Strings) {
    char out[16];
    EXPECT_TRUE(format_numbered_name(out, sizeof out, "zq", 7));
    EXPECT_STREQ(out, "zq000007");
    EXPECT_TRUE(format_numbered_name(out, sizeof out, "", 1234567));
    EXPECT_STREQ(out, "1234567");
    EXPECT_FALSE(format_numbered_name(out, 8, "zq", 1));
    EXPECT_TRUE(format_numbered_name(out, 9, "zq", 1));

    EXPECT_EQ(str_compare_nocase("Secret", "sECRET"), 0);
    EXPECT_NE(str_compare_nocase("secret", "secre"), 0);
    EXPECT_NE(str_compare_nocase("a", "b"), 0);
    char text[16] = "ab";
    EXPECT_STREQ(str_append(text, "cd"), "abcd");
    EXPECT_EQ(str_length(text), 4u);
}

// The listing line against the C library's own conversion, across the whole
// range of a 32-bit time (1901 to 2038) and the edges of days and years.
TEST(ListingLine, SizeAndTimeAsTheCLibraryFormatsThem) {
    std::vector<int64_t> times = {INT32_MIN,
                                  -86401,
                                  -86400,
                                  -1,
                                  0,
                                  1,
                                  86399,
                                  86400,
                                  951782400 /* 2000-02-29 */,
                                  946684799 /* 1999-12-31 23:59:59 */,
                                  INT32_MAX};
    for (int64_t t = INT32_MIN; t <= INT32_MAX; t += 85931) times.push_back(t);
    const uint32_t sizes[] = {0, 7, 4294967295u};
    for (size_t i = 0; i < times.size(); ++i) {
        const uint32_t size = sizes[i % 3];
        const time_t t = time_t(times[i]);
        struct tm parts = {};
        ASSERT_NE(gmtime_r(&t, &parts), nullptr);
        char expected[64];
        snprintf(expected, sizeof expected, "%10lu  %04d-%02d-%02d %02d:%02d:%02d  ",
                 static_cast<unsigned long>(size), parts.tm_year + 1900, parts.tm_mon + 1,
                 parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
        char out[64];
        format_size_and_time(out, size, int32_t(times[i]));
        ASSERT_STREQ(out, expected) << times[i];
    }
}
