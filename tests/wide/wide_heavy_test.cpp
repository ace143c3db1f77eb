// Self-extractors past the narrow limits, end to end on the stub under test
// (ZQSFX_STUB, run through ZQSFX_RUN: the Linux one, or the wide Windows one
// under Wine): a file past 4 GiB in a self-extractor past 4 GiB, and a tree
// of more than 65535 files in more than 32768 folders. Each needs minutes and
// gigabytes of disk, so these run under the label `heavy`.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "archive_test_support.h"
#include "child.h"
#include "codec/crc32.h"
#include "harness.h"

namespace zq::test {
namespace {

constexpr uint64_t kBigSize = (uint64_t(4) << 30) + (3u << 20) + 5;  // past 4 GiB, odd

Outcome run_in(const fs::path& cwd, const std::vector<std::string>& argv) {
    RunOptions options;
    options.cwd = cwd.string();
    options.timeout_ms = 30 * 60 * 1000;
    return run_program(argv, options);
}

// A self-extractor run in `cwd` with `arguments`, through ZQSFX_RUN.
Outcome run_stub_in(const fs::path& cwd, const fs::path& sfx,
                    const std::vector<std::string>& arguments = {}) {
    std::vector<std::string> argv = e2e::run_prefix();
    argv.push_back(sfx.string());
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_in(cwd, argv);
}

// The CRC-32 of a file, read once; its size in *size.
uint32_t file_crc(const fs::path& path, uint64_t* size) {
    crc32_prepare();
    const int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    std::vector<uint8_t> buffer(1 << 20);
    uint32_t crc = kCrc32Start;
    *size = 0;
    for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) > 0; *size += uint64_t(n))
        crc = crc32_update(crc, buffer.data(), size_t(n));
    close(fd);
    return crc32_final(crc);
}

// A file of kBigSize bytes that costs no disk but its marks: holes, with a
// distinct 4 KiB mark every 256 MiB and around the 4 GiB boundary, so that
// data placed at a wrapped offset would change the checksum.
void write_big_file(const fs::path& path) {
    fs::create_directories(path.parent_path());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t(kBigSize)), 0);
    std::vector<uint64_t> marks;
    for (uint64_t at = 0; at < kBigSize; at += 256u << 20) marks.push_back(at);
    marks.push_back((uint64_t(4) << 30) - 2048);
    marks.push_back(kBigSize - 4096);
    for (uint64_t at : marks) {
        const Bytes mark = noise(4096, uint32_t(at >> 20) + 1);
        ASSERT_EQ(pwrite(fd, mark.data(), mark.size(), off_t(at)), ssize_t(mark.size()));
    }
    close(fd);
}

TEST(WideHeavy, SelfExtractorPastFourGibibytesWithAFilePastFourGibibytes) {
    ScratchDir dir("wide_big");
    const fs::path home = dir.path();
    write_big_file(home / "t" / "big.bin");
    write_bytes(home / "t" / "z.txt", text_lines(100000, 'z'));  // its data lies past 4 GiB
    pin_times(home / "t");
    uint64_t size = 0;
    const uint32_t big_crc = file_crc(home / "t" / "big.bin", &size);
    ASSERT_EQ(size, kBigSize);

    const Outcome made = run_in(
        home, {zqpack_path(), "create", "--store", "-o", "big.exe", "--stub", stub_path(), "t"});
    ASSERT_EQ(made.status, 0) << made.out;
    EXPECT_GT(fs::file_size(home / "big.exe"), kBigSize);
    fs::remove_all(home / "t" / "big.bin");  // the disk holds one copy at a time

    // The listings show the whole size.
    const Outcome listed = run_stub_in(home, home / "big.exe", {"-l"});
    EXPECT_EQ(listed.status, 0) << listed.out;
    EXPECT_NE(listed.out.find(std::to_string(kBigSize) + "  "), std::string::npos) << listed.out;
    const Outcome packed_list = run_in(home, {zqpack_path(), "list", "big.exe"});
    EXPECT_NE(packed_list.out.find(std::to_string(kBigSize)), std::string::npos);

    fs::create_directories(home / "out");
    const Outcome run = run_stub_in(home / "out", home / "big.exe");
    ASSERT_EQ(run.status, 0) << run.out;
    fs::remove(home / "big.exe");
    EXPECT_EQ(file_crc(home / "out" / "t" / "big.bin", &size), big_crc);
    EXPECT_EQ(size, kBigSize);
    EXPECT_EQ(read_bytes(home / "out" / "t" / "z.txt"), read_bytes(home / "t" / "z.txt"));
    EXPECT_EQ(listing(home / "out"), (std::vector<std::string>{"t/", "t/big.bin", "t/z.txt"}));
}

TEST(WideHeavy, TreeOfMoreFilesAndFoldersThanTheNarrowFormCounts) {
    constexpr uint32_t kFolders = 33000;     // past 32767
    constexpr uint32_t kFilesPerFolder = 2;  // 66000 files, past 65535
    ScratchDir dir("wide_tree");
    const fs::path home = dir.path();
    for (uint32_t i = 0; i < kFolders; ++i) {
        // Two levels, so that the tree has depth as well as breadth.
        const fs::path folder =
            home / "t" / ("g" + std::to_string(i / 1000)) / ("d" + std::to_string(i));
        for (uint32_t k = 0; k < kFilesPerFolder; ++k)
            write_bytes(folder / ("f" + std::to_string(k)),
                        bytes_of(folder.filename().string() + "/" + std::to_string(k)));
    }
    const Outcome made =
        run_in(home, {zqpack_path(), "create", "-o", "tree.exe", "--stub", stub_path(), "t"});
    ASSERT_EQ(made.status, 0) << made.out;
    const Bytes tail = [&] {
        const Bytes all = read_bytes(home / "tree.exe");
        return Bytes(all.end() - 4, all.end());
    }();
    EXPECT_EQ(load_u32(tail.data()), kWideMark) << "the packer chose the wide form itself";

    fs::create_directories(home / "out");
    const Outcome run = run_stub_in(home / "out", home / "tree.exe");
    ASSERT_EQ(run.status, 0) << run.out.substr(run.out.size() > 2000 ? run.out.size() - 2000 : 0);
    const std::vector<std::string> names = listing(home / "out");
    std::vector<std::string> expected = {"t/"};
    for (const std::string& name : listing(home / "t")) expected.push_back("t/" + name);
    EXPECT_EQ(names, expected);
    size_t files = 0;
    for (const std::string& name : names) {
        if (name.back() == '/') continue;
        ++files;
        EXPECT_EQ(read_bytes(home / "out" / name), read_bytes(home / name)) << name;
        if (HasFailure()) break;
    }
    EXPECT_EQ(files, size_t(kFolders) * kFilesPerFolder);
}

}  // namespace
}  // namespace zq::test
