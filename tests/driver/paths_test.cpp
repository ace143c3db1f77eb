// Path strings, temporary names and the file helpers, on the real file system.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "driver/paths.h"
#include "support.h"

using namespace zq;

namespace {

class Paths : public zq::test::InScratchDir {};

std::string temp_name(const std::string& prefix, uint32_t first = 0, uint32_t* chosen = nullptr) {
    char buffer[kPathBufferSize] = {};
    std::strcpy(buffer, prefix.c_str());
    const char* result = make_temp_name(buffer, first, chosen);
    if (result == nullptr) return "<null>";
    EXPECT_EQ(result, buffer);
    return buffer;
}

mode_t mode_of(const std::string& path) {
    struct stat info;
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode;
}

}  // namespace

TEST_F(Paths, TempNameSkipsEveryTakenName) {
    EXPECT_EQ(temp_name("zq"), "zq000000");
    for (int i = 0; i <= 5; ++i) write_file("zq00000" + std::to_string(i), "x");
    EXPECT_EQ(temp_name("zq"), "zq000006");

    // A directory, an unreadable file and a dangling link are all taken names.
    mkdir("zq000006", 0777);
    write_file("zq000007", "secret");
    chmod("zq000007", 0);
    ASSERT_EQ(symlink("nowhere", "zq000008"), 0);
    uint32_t chosen = 0;
    EXPECT_EQ(temp_name("zq", 0, &chosen), "zq000009");
    EXPECT_EQ(chosen, 9u);
    EXPECT_EQ(temp_name("zq", 12), "zq000012");

    // A prefix with a folder part tests the names in that folder.
    mkdir("d", 0777);
    write_file("d/zq000000", "x");
    EXPECT_EQ(temp_name("d\\zq"), "d\\zq000001");
}

TEST_F(Paths, TempNameGivesUpAfter999OrWhenTooLong) {
    for (int i = 0; i <= 998; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "zq%06d", i);
        write_file(name, "");
    }
    EXPECT_EQ(temp_name("zq"), "<null>");
    write_file("zq000999", "");  // never tried: 999 names is all there is
    EXPECT_EQ(temp_name("zq", 998), "<null>");

    EXPECT_EQ(temp_name(std::string(505, 'p')).size(), 511u);
    EXPECT_EQ(temp_name(std::string(506, 'p')), "<null>");
}

TEST_F(Paths, AppendPath) {
    char path[kPathBufferSize] = "";
    EXPECT_EQ(append_path(path, "a", sizeof path), path);
    EXPECT_STREQ(path, "a");
    std::strcpy(path, "d");
    EXPECT_STREQ(append_path(path, "a", sizeof path), "d\\a");
    std::strcpy(path, "d\\");
    EXPECT_STREQ(append_path(path, "a", sizeof path), "d\\a");
    // UTF-8 ending in a byte of 0x81-0x9F (文 is E6 96 87) takes no
    // separator for its own.
    std::strcpy(path, "\u4e2d\u6587");
    EXPECT_STREQ(append_path(path, "zq", sizeof path), "\u4e2d\u6587\\zq");

    // 510 bytes: the separator still fits (510 + 2 = 512), no name does.
    std::string long_path(510, 'x');
    std::strcpy(path, long_path.c_str());
    EXPECT_EQ(append_path(path, "a", sizeof path), nullptr);
    EXPECT_EQ(std::strlen(path), 511u);
    EXPECT_EQ(path[510], '\\');
    long_path.assign(511, 'x');
    std::strcpy(path, long_path.c_str());
    EXPECT_EQ(append_path(path, "a", sizeof path), nullptr);
    EXPECT_EQ(std::strlen(path), 511u);
}

TEST_F(Paths, LastSeparatorAndFolderPart) {
    const char* plain = "a\\b\\f.txt";
    EXPECT_EQ(find_last_separator(plain), plain + 3);
    const char* none = "f.txt";
    EXPECT_EQ(find_last_separator(none), none);
    const char* kanji = "a\\\u6587\\x";  // the separator after 文 (E6 96 87) counts
    EXPECT_EQ(find_last_separator(kanji), kanji + 5);
    const char* lead_last = "a\\b\x95";
    EXPECT_EQ(find_last_separator(lead_last), lead_last + 1);

    char dir[kPathBufferSize];
    EXPECT_STREQ(copy_dir_part(dir, plain), "a\\b");
    EXPECT_STREQ(copy_dir_part(dir, none), "");
    EXPECT_STREQ(copy_dir_part(dir, "\\f.txt"), "");
    EXPECT_STREQ(copy_dir_part(dir, kanji), "a\\\u6587");
}

TEST_F(Paths, CreateFileWithParents) {
    const std::string start = cwd();
    const FileHandle file = create_file_with_parents("a\\b\\f.txt");
    ASSERT_GT(file, 0);
    EXPECT_EQ(file_write(file, "xyz", 3), 3);
    EXPECT_EQ(file_close(file), 0);
    EXPECT_TRUE(is_dir("a/b"));
    EXPECT_EQ(read_file("a/b/f.txt"), "xyz");
    EXPECT_EQ(cwd(), start);

    // Existing folders are used as they are.
    const FileHandle second = create_file_with_parents("a\\g.txt");
    ASSERT_GT(second, 0);
    file_close(second);
    EXPECT_TRUE(exists("a/g.txt"));

    // A UTF-8 folder name ending in a byte of 0x81-0x9F keeps its separator.
    const FileHandle kanji = create_file_with_parents("\u4e2d\u6587\\k.txt");
    ASSERT_GT(kanji, 0);
    file_close(kanji);
    EXPECT_TRUE(exists("\u4e2d\u6587/k.txt"));
}

TEST_F(Paths, CreateFileWithParentsRefusesWhatIsThere) {
    const std::string start = cwd();
    write_file("a", "in the way");
    EXPECT_EQ(create_file_with_parents("a\\b\\f.txt"), 0);
    EXPECT_EQ(cwd(), start);
    EXPECT_EQ(read_file("a"), "in the way");
    // A folder the file system cannot make (a name too long for it) is no
    // folder on the way either.
    EXPECT_EQ(create_file_with_parents((std::string(300, 'd') + "\\f.txt").c_str()), 0);

    // Never truncates an existing file, never follows a planted link.
    write_file("keep", "precious");
    EXPECT_EQ(create_file_with_parents("keep"), -1);
    EXPECT_EQ(read_file("keep"), "precious");
    ASSERT_EQ(symlink("victim", "planted"), 0);
    EXPECT_EQ(create_file_with_parents("planted"), -1);
    EXPECT_FALSE(exists("victim"));
}

TEST_F(Paths, DeleteFile) {
    EXPECT_EQ(delete_file("nothing"), 0);
    write_file("ro", "x");
    chmod("ro", 0444);
    EXPECT_EQ(delete_file("ro"), 0);
    EXPECT_FALSE(exists("ro"));
    mkdir("dir", 0777);
    EXPECT_EQ(delete_file("dir"), 1);
    EXPECT_TRUE(is_dir("dir"));
    // A link goes, and what it leads to keeps its mode.
    write_file("target", "x");
    chmod("target", 0444);
    ASSERT_EQ(symlink("target", "link"), 0);
    EXPECT_EQ(delete_file("link"), 0);
    EXPECT_FALSE(exists("link"));
    EXPECT_EQ(mode_of("target") & 0777, 0444u);
}

TEST_F(Paths, FileTimes) {
    EXPECT_EQ(unix_to_filetime(0), 116444736000000000ull);
    EXPECT_EQ(unix_to_filetime(-1), 116444736000000000ull - 10000000ull);

    write_file("f", "x");
    EXPECT_EQ(set_file_times("f", -1, 1000000000, -1), 0);
    struct stat info;
    ASSERT_EQ(stat("f", &info), 0);
    EXPECT_EQ(info.st_mtime, 1000000000);
    EXPECT_EQ(info.st_atime, 1000000000);

    EXPECT_EQ(set_file_times("f", 1500000000, 1200000000, 5), 0);
    ASSERT_EQ(stat("f", &info), 0);
    EXPECT_EQ(info.st_mtime, 1200000000);
    EXPECT_EQ(info.st_atime, 1500000000);

    // -1 as the write time is a real time, one second before 1970.
    EXPECT_EQ(set_file_times("f", -1, -1, -1), 0);
    ASSERT_EQ(stat("f", &info), 0);
    EXPECT_EQ(info.st_mtime, -1);
    EXPECT_EQ(info.st_mtim.tv_nsec, 0);

    EXPECT_EQ(set_file_times("missing", -1, 0, -1), 3);
}
