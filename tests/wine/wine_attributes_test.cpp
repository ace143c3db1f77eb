// The Windows stub's file attributes and times, as Wine stores them on the
// Linux side: read-only as the mode's write bits, hidden and system in the
// extended attribute user.DOSATTRIB (a hexadecimal number), which the Linux
// stub has no counterpart for. Built on the end-to-end harness.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "harness.h"

namespace e2e {
namespace {

// The DOS attributes Wine keeps beside the mode bits; 0 when none are kept.
unsigned long dos_attributes(const std::string& path) {
    char value[32] = {};
    const ssize_t n = getxattr(path.c_str(), "user.DOSATTRIB", value, sizeof value - 1);
    return n <= 0 ? 0 : std::strtoul(value, nullptr, 16);
}

TestFile file_with(const std::string& name, uint16_t attributes) {
    TestFile file;
    file.name = name;
    file.content = "content of " + name;
    file.attributes = attributes;
    return file;
}

class WineAttributes : public EndToEnd {
protected:
    void SetUp() override {
        if (!under_wine()) GTEST_SKIP() << "reads Wine's own record of DOS attributes";
        EndToEnd::SetUp();
        write_file("probe", "");
        if (setxattr(work("probe").c_str(), "user.zq_probe", "1", 1, 0) != 0) {
            GTEST_SKIP() << "this file system keeps no user extended attributes, where Wine "
                            "stores hidden and system";
        }
        unlink(work("probe").c_str());
    }
};

TEST_F(WineAttributes, HiddenSystemAndReadOnlyAsRecorded) {
    ArchiveBuilder archive;
    archive.files = {file_with("plain.txt", 0x20), file_with("hidden.txt", 0x22),
                     file_with("locked.txt", 0x21), file_with("both.txt", 0x23),
                     file_with("system.txt", 0x24)};
    const RunResult result = run_archive(archive);
    ASSERT_EQ(result.status, 0) << result.out;

    EXPECT_FALSE(is_read_only("plain.txt"));
    EXPECT_EQ(dos_attributes(work("plain.txt")) & 0x06, 0u);
    EXPECT_FALSE(is_read_only("hidden.txt"));
    EXPECT_EQ(dos_attributes(work("hidden.txt")) & 0x06, 0x02u);
    EXPECT_TRUE(is_read_only("locked.txt"));
    EXPECT_EQ(dos_attributes(work("locked.txt")) & 0x06, 0u);
    EXPECT_TRUE(is_read_only("both.txt"));
    EXPECT_EQ(dos_attributes(work("both.txt")) & 0x06, 0x02u);
    EXPECT_EQ(dos_attributes(work("system.txt")) & 0x06, 0x04u);
    EXPECT_EQ(read_file("both.txt"), "content of both.txt");
}

TEST_F(WineAttributes, ReplacedTargetKeepsNothingOfTheOld) {
    // An old target that is hidden and read-only: the answer 'y' replaces it,
    // and the new file has only what its record says.
    write_file("old.txt", "old");
    ASSERT_EQ(setxattr(work("old.txt").c_str(), "user.DOSATTRIB", "0x3", 3, 0), 0);
    ASSERT_EQ(chmod(work("old.txt").c_str(), 0444), 0);
    ArchiveBuilder archive;
    archive.files = {file_with("old.txt", 0x20)};
    const RunResult result = run_archive(archive, say({"y\r\n"}));
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(read_file("old.txt"), "content of old.txt");
    EXPECT_FALSE(is_read_only("old.txt"));
    EXPECT_EQ(dos_attributes(work("old.txt")) & 0x06, 0u);
}

TEST_F(WineAttributes, AccessAndWriteTimesApart) {
    TestFile file = file_with("timed.txt", 0x20);
    file.access_time = 1234567890;  // 2009-02-13 23:31:30 UTC
    file.write_time = 1000000000;   // 2001-09-09 01:46:40 UTC
    file.create_time = 946684800;   // not kept on Linux
    ArchiveBuilder archive;
    archive.files = {file};
    ASSERT_EQ(run_archive(archive).status, 0);
    EXPECT_EQ(mtime("timed.txt"), 1000000000);
    EXPECT_EQ(atime("timed.txt"), 1234567890);
}

}  // namespace
}  // namespace e2e
