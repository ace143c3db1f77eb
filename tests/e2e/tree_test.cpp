// The whole tree comes back: folder modes and times, hard links, symbolic
// links and owners, through the self-extractor and through zqpack extract,
// which share the run.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"
#include "real_tree.h"
#include "support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using zq::test::make_real_tree;
using zq::test::Outcome;
using zq::test::run_program;
using zq::test::RunOptions;
using zq::test::ScratchDir;
using zq::test::tree_differences;

class TreeRoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        WINE_DIFFERS("Windows keeps no folder modes, hard links or owners");
        make_real_tree(dir_ / "src" / "top");
    }

    // zqpack create in src with `extra` words, the archive at `name`.
    std::string pack(const std::string& name, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {zqpack_path(),          "create", "-o",
                                         (dir_ / name).string(), "--stub", stub_path()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back("top");
        RunOptions options;
        options.cwd = (dir_ / "src").string();
        const Outcome made = run_program(argv, options);
        EXPECT_EQ(made.status, 0) << made.out;
        return (dir_ / name).string();
    }

    // Runs `argv` in a fresh folder `work` with `input`; its status.
    int run_in(const std::string& work, std::vector<std::string> argv,
               const std::string& input = "") {
        fs::create_directories(dir_ / work);
        RunOptions options;
        options.cwd = (dir_ / work).string();
        options.input = input;
        // The stub may need a runner (qemu for another architecture); zqpack
        // is this machine's own program.
        if (argv.front() != zqpack_path()) {
            const std::vector<std::string> prefix = run_prefix();
            argv.insert(argv.begin(), prefix.begin(), prefix.end());
        }
        const Outcome outcome = run_program(argv, options);
        last_out_ = outcome.out;
        return outcome.status;
    }

    ScratchDir dir_{"tree"};
    std::string last_out_;
};

TEST_F(TreeRoundTrip, StubAndZqpackExtractBringBackModesTimesAndLinks) {
    const std::string sfx = pack("top.sfx");
    ASSERT_EQ(run_in("stub", {sfx}), 0) << last_out_;
    EXPECT_EQ(tree_differences(dir_ / "src" / "top", dir_ / "stub" / "top"), "");
    ASSERT_EQ(run_in("tool", {zqpack_path(), "extract", "-q", sfx}), 0) << last_out_;
    EXPECT_EQ(tree_differences(dir_ / "src" / "top", dir_ / "tool" / "top"), "");

    // Over the tree of the first run, with All: every name is replaced, the
    // three names are one file again, and no temporary name is left behind.
    ASSERT_EQ(run_in("stub", {sfx}, "a\n"), 0) << last_out_;
    EXPECT_EQ(tree_differences(dir_ / "src" / "top", dir_ / "stub" / "top"), "");
    EXPECT_EQ(zq::test::temp_files(zq::test::listing(dir_ / "stub")), std::vector<std::string>{});
}

// The supplement in front of a wide catalogue: found through the locator's
// catalogue offset, with the same 32-bit indexes, it brings back the same tree.
TEST_F(TreeRoundTrip, WideFormBringsBackTheSameTree) {
    const std::string sfx = pack("top.sfx", {"--wide"});
    const std::vector<uint8_t> bytes = zq::test::read_bytes(sfx);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 4, bytes.end()), std::vector<uint8_t>(4, 0xFF))
        << "the trailer of a wide archive";
    ASSERT_EQ(run_in("stub", {sfx}), 0) << last_out_;
    EXPECT_EQ(tree_differences(dir_ / "src" / "top", dir_ / "stub" / "top"), "");
    ASSERT_EQ(run_in("tool", {zqpack_path(), "extract", "-q", sfx}), 0) << last_out_;
    EXPECT_EQ(tree_differences(dir_ / "src" / "top", dir_ / "tool" / "top"), "");
}

// Encrypted, the supplement is sealed with the rest and read through the
// same decrypting view: the tree comes back whole.
TEST_F(TreeRoundTrip, AnEncryptedArchiveBringsBackTheSameTree) {
    const std::string sfx =
        pack("sealed.sfx", {"--encrypt", "--password", "pw", "--scrypt-log2n", "8"});
    ASSERT_EQ(run_in("stub", {sfx}, "pw\n"), 0) << last_out_;
    EXPECT_EQ(tree_differences(dir_ / "src" / "top", dir_ / "stub" / "top"), "");
    ASSERT_EQ(run_in("tool", {zqpack_path(), "extract", "-q", "--password", "pw", sfx}), 0)
        << last_out_;
    EXPECT_EQ(tree_differences(dir_ / "src" / "top", dir_ / "tool" / "top"), "");
}

TEST_F(TreeRoundTrip, SecondNamesAreCopiesWhereTheFirstIsKept) {
    const std::string sfx = pack("top.sfx");
    // The first name of the linked file exists and is kept: its second
    // names must not become links to the user's own file.
    zq::test::write_bytes(dir_ / "keep" / "top" / "data.bin", bytes_of("mine\n"));
    ASSERT_EQ(run_in("keep", {zqpack_path(), "extract", "-q", "--no-overwrite", sfx}), 0)
        << last_out_;
    EXPECT_EQ(zq::test::read_text(dir_ / "keep" / "top" / "data.bin"), "mine\n");
    const Bytes data = zq::test::read_bytes(dir_ / "src" / "top" / "shared" / "data.bin");
    EXPECT_EQ(zq::test::read_bytes(dir_ / "keep" / "top" / "private" / "data.bin"), data);
    struct stat first {};
    struct stat second {};
    ASSERT_EQ(::stat((dir_ / "keep" / "top" / "private" / "data.bin").c_str(), &first), 0);
    ASSERT_EQ(::stat((dir_ / "keep" / "top" / "shared" / "data.bin").c_str(), &second), 0);
    EXPECT_EQ(first.st_ino, second.st_ino) << "the two names placed by the run are one file";
    EXPECT_EQ(first.st_nlink, 2u);
}

TEST_F(TreeRoundTrip, OwnersComeBackOnlyWhenPackedWithThemAndRunAsRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files away takes root";
    const fs::path top = dir_ / "src" / "top";
    ASSERT_EQ(::lchown((top / "private").c_str(), 4321, 4322), 0);
    ASSERT_EQ(::lchown((top / "readme.txt").c_str(), 4323, 4324), 0);
    ASSERT_EQ(::lchown((top / "shared" / "readme.lnk").c_str(), 4325, 4326), 0);
    const std::string with = pack("with.sfx", {"--owners"});
    const std::string without = pack("without.sfx");
    ASSERT_EQ(run_in("with", {with}), 0) << last_out_;
    ASSERT_EQ(run_in("without", {without}), 0) << last_out_;
    for (const auto& [name, uid, gid] :
         std::vector<std::tuple<std::string, uid_t, gid_t>>{{"private", 4321, 4322},
                                                            {"readme.txt", 4323, 4324},
                                                            {"shared/readme.lnk", 4325, 4326}}) {
        struct stat owned {};
        struct stat plain {};
        ASSERT_EQ(::lstat((dir_ / "with" / "top" / name).c_str(), &owned), 0) << name;
        ASSERT_EQ(::lstat((dir_ / "without" / "top" / name).c_str(), &plain), 0) << name;
        EXPECT_EQ(owned.st_uid, uid) << name;
        EXPECT_EQ(owned.st_gid, gid) << name;
        EXPECT_EQ(plain.st_uid, ::geteuid()) << name;
    }
    // Modes survive the change of owner (chown clears set-group-id on files only).
    EXPECT_EQ(tree_differences(top, dir_ / "with" / "top"), "");
}

TEST_F(TreeRoundTrip, DamagedSupplementIsRefusedBeforeAnythingIsWritten) {
    const std::string sfx = pack("top.sfx");
    Bytes bytes = zq::test::read_bytes(sfx);
    // The archive's header and catalogue offset, through the trailer.
    const size_t archive = zq::load_u32(&bytes[bytes.size() - 4]);
    const size_t catalogue = archive + zq::load_u32(&bytes[archive + 6]);
    ASSERT_NE(zq::load_u16(&bytes[archive]) & zq::kFlagTreeSupplement, 0);
    // The locator's checksum, then its coded size.
    for (const size_t at : {catalogue - 2, catalogue - 20}) {
        Bytes damaged = bytes;
        damaged[at] ^= 0x10;
        zq::test::write_bytes(dir_ / "damaged.sfx", damaged, true);
        fs::remove_all(dir_ / "damaged");
        EXPECT_EQ(run_in("damaged", {(dir_ / "damaged.sfx").string()}), zq::kExitInvalidArchive)
            << last_out_;
        EXPECT_TRUE(fs::is_empty(dir_ / "damaged")) << at;
        EXPECT_EQ(run_in("damaged", {zqpack_path(), "test", (dir_ / "damaged.sfx").string()}),
                  zq::kExitInvalidArchive);
    }
}

}  // namespace
}  // namespace e2e
