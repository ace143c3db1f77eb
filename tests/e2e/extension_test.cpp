// The record extension end to end: checksums that catch damage before a
// target is replaced, Unix modes, links made safely, empty folders, and
// archives without the extension that extract to the same tree and output.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "archive/catalogue.h"
#include "codec/crc32.h"
#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

constexpr uint16_t kCrcOnly = zq::kExtHasCrc;
constexpr uint16_t kLink = zq::kExtHasCrc | zq::kExtSymlink;

class Extension : public EndToEnd {
protected:
    // The first file's data starts right behind the 10-byte header.
    static constexpr size_t kFirstData = 10;

    std::string zqpack_test(const std::string& sfx) {
        RunResult result = run_host({zqpack_path(), "test", sfx});
        EXPECT_NE(result.status, 0) << result.out;
        return result.out;
    }

    // The archive directory "src" beside the work folder, packed with
    // `options` by zqpack; the self-extractor's path.
    std::string pack_tree(const std::vector<std::string>& options, const std::string& name) {
        std::vector<std::string> command = {zqpack_path(),      "create", "-o",
                                            root_ + "/" + name, "--stub", stub_path()};
        command.insert(command.end(), options.begin(), options.end());
        command.push_back(root_ + "/src/tree");
        const RunResult made = run_host(command);
        EXPECT_EQ(made.status, 0) << made.out;
        return root_ + "/" + name;
    }
};

// A flip in the payload of the one frame at `at` that still decodes to as
// many bytes, but to other bytes: only the checksum can tell.
void flip_undetected_by_size(Bytes& archive, size_t at) {
    zq::OwnedCodec codec;
    const zq::FrameHeader header = zq::parse_frame_header(&archive[at]);
    uint8_t* payload = &archive[at + 2];
    std::vector<uint8_t> before(zq::kBlockSize), after(zq::kBlockSize);
    uint16_t n_before = 0, n_after = 0;
    ASSERT_EQ(zq::decode_block(codec.state(), payload, before.data(), uint16_t(header.payload),
                               &n_before, header.substituted),
              0);
    for (size_t i = header.payload; i-- > 0;) {
        payload[i] ^= 0x01;
        if (zq::decode_block(codec.state(), payload, after.data(), uint16_t(header.payload),
                             &n_after, header.substituted) == 0 &&
            n_after == n_before && after != before) {
            return;
        }
        payload[i] ^= 0x01;
    }
    FAIL() << "no flip keeps the size";
}

TEST_F(Extension, DamagedDataEndsWith7AndTheTargetStaysAsItWas) {
    std::string text;
    for (int i = 0; i < 400; ++i) text += "a line of text number " + std::to_string(i % 37) + "\n";
    for (bool coded : {false, true}) {
        for (bool old_target : {false, true}) {
            SCOPED_TRACE(std::string(coded ? "coded" : "raw") +
                         (old_target ? ", old target" : ", no target"));
            fs::remove_all(work_);
            fs::create_directories(work_);
            if (old_target) write_file("data.txt", "the old one\n");
            ArchiveBuilder builder;
            builder.files.push_back(TestFile{"data.txt", 0, text, coded});
            builder.files.back().ext_word = kCrcOnly;
            Bytes archive = builder.archive();
            if (coded) {
                flip_undetected_by_size(archive, kFirstData);
            } else {
                archive[kFirstData + 100] ^= 0x20;
            }
            const std::string sfx = make_sfx(archive);
            const RunResult result = run(sfx, say({"y\n"}));
            EXPECT_EQ(result.status, 7) << result.out;
            EXPECT_NE(result.out.find("Decode failed"), std::string::npos);
            if (old_target) {
                EXPECT_EQ(read_file("data.txt"), "the old one\n");
            } else {
                EXPECT_FALSE(exists("data.txt"));
            }
            EXPECT_TRUE(no_temp_files());
            EXPECT_NE(zqpack_test(sfx).find("FAILED  data.txt: CRC-32"), std::string::npos);
        }
    }
}

TEST_F(Extension, LinksLeadingOutAreRefusedBeforeAnythingIsWritten) {
    WINE_DIFFERS("the Windows stub makes no links, so it has none to refuse");
    for (const std::string target : {"/etc/passwd", "../outside", "sub/../../x", "up/..", "a\\b"}) {
        SCOPED_TRACE(target);
        fs::remove_all(work_);
        fs::create_directories(work_);
        ArchiveBuilder builder;
        builder.files.push_back(TestFile{"first.txt", 0, "written first?\n", false});
        builder.files.push_back(TestFile{"bad", 0, target, false});
        builder.files.back().ext_word = kLink;
        const std::string sfx = make_sfx(builder.archive());
        RunResult result = run(sfx);
        EXPECT_EQ(result.status, 8);
        EXPECT_EQ(result.out, banner() + failure("Invalid archive"));
        result = run_host({zqpack_path(), "extract", sfx});
        EXPECT_EQ(result.status, 8);
        EXPECT_TRUE(listing().empty());
    }
}

// Each link is safe where its stored path puts it, but "d/x" made through
// the link "d" (to ".") would sit one folder higher, its ".." leading out. A
// link is made only in a real folder: the run ends with 3 and leaves no
// temporary link behind (one made through "d" would lead out).
TEST_F(Extension, NoLinkIsMadeThroughAnotherLink) {
    WINE_DIFFERS("the Windows stub makes no links");
    ArchiveBuilder builder;
    builder.dirs.push_back(TestDir{1, "d"});
    builder.files.push_back(TestFile{"d", 0, ".", false});
    builder.files.back().ext_word = kLink;
    builder.files.push_back(TestFile{"x", 1, "..", false});
    builder.files.back().ext_word = kLink;
    const RunResult result = run_archive(builder);
    EXPECT_EQ(result.status, 3) << result.out;
    // By name: the listing helper would follow "d" round and round.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(work_))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"d"}));
    EXPECT_EQ(fs::read_symlink(work("d")), ".");
}

TEST_F(Extension, SafeLinksAreMadeAfterEveryFile) {
    ArchiveBuilder builder;
    builder.dirs.push_back(TestDir{1, "sub"});
    builder.files.push_back(TestFile{"to_file", 1, "../a.txt", true});
    builder.files.back().ext_word = kLink;
    builder.files.push_back(TestFile{"a.txt", 0, "content\n", false});
    builder.files.back().ext_word = kCrcOnly;
    const RunResult result = run_archive(builder);
    EXPECT_EQ(result.status, 0);
    if (under_wine()) {
        EXPECT_EQ(result.out, banner() + console(" to_file : symbolic link, not extracted\r\n") +
                                  raw_lines("a.txt"));
        EXPECT_EQ(listing(), (std::vector<std::string>{"a.txt"}));
        return;
    }
    EXPECT_EQ(result.out, banner() + raw_lines("a.txt") + console("+sub/to_file\r\n"));
    EXPECT_EQ(fs::read_symlink(work("sub/to_file")), "../a.txt");
    EXPECT_EQ(read_file("sub/to_file"), "content\n");
}

TEST_F(Extension, TreeComesBackWithModesLinksAndEmptyFolders) {
    WINE_DIFFERS("modes and links are Linux's");
    const std::string tree = root_ + "/src/tree";
    fs::create_directories(tree + "/lib/empty");
    std::ofstream(tree + "/run.sh") << "#!/bin/sh\necho hello\n";
    std::ofstream(tree + "/secret") << "keep this to yourself\n";
    std::ofstream(tree + "/zero");
    std::ofstream(tree + "/lib/big.txt") << std::string(100000, 'z');
    chmod((tree + "/run.sh").c_str(), 0755);
    chmod((tree + "/secret").c_str(), 0600);
    fs::create_symlink("run.sh", tree + "/start");
    fs::create_symlink("lib", tree + "/library");
    fs::create_symlink("../secret", tree + "/lib/secret_link");
    const std::string sfx = pack_tree({}, "sfx");

    const mode_t mask = umask(0);
    umask(mask);
    auto same_tree = [&](const std::string& out) {
        EXPECT_EQ(run_host({"diff", "-r", "--no-dereference", tree, out}).status, 0);
        for (const char* file : {"run.sh", "secret", "zero", "lib/big.txt"}) {
            struct stat source {
            }, copy{};
            ASSERT_EQ(stat((tree + "/" + file).c_str(), &source), 0);
            ASSERT_EQ(stat((out + "/" + file).c_str(), &copy), 0);
            EXPECT_EQ(copy.st_mode & 07777, source.st_mode & 07777 & ~mask) << file;
        }
    };
    ASSERT_EQ(run(sfx).status, 0);
    same_tree(work("tree"));
    ASSERT_EQ(run_host({zqpack_path(), "extract", sfx, "-C", work("again")}).status, 0);
    same_tree(work("again/tree"));

    const RunResult listed = run_host({zqpack_path(), "list", "--json", sfx});
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x",
                  zq::crc32_of(reinterpret_cast<const uint8_t*>("#!/bin/sh\necho hello\n"), 21));
    for (const std::string& expected :
         {std::string("{\"path\": \"tree/lib/empty/\", \"type\": \"folder\", \"mode\": \""),
          "\"crc32\": \"" + std::string(crc) + "\", \"mode\": \"0755\"",
          std::string("\"type\": \"link\""), std::string("\"link_target\": \"../secret\"")}) {
        EXPECT_NE(listed.out.find(expected), std::string::npos) << expected << "\n" << listed.out;
    }
}

TEST_F(Extension, ArchivesWithoutTheExtensionExtractTheSame) {
    const std::string tree = root_ + "/src/tree";
    fs::create_directories(tree + "/sub");
    std::ofstream(tree + "/a.txt") << "alpha\n";
    std::ofstream(tree + "/sub/b.txt") << std::string(50000, 'b');
    const std::string with = pack_tree({}, "with");
    const std::string without = pack_tree({"--no-extension"}, "without");
    EXPECT_EQ(run_host({zqpack_path(), "list", "--json", without}).out.find("crc32"),
              std::string::npos);

    const RunResult plain = run(without);
    const std::vector<std::string> files = listing();
    const std::string content = read_file("tree/sub/b.txt");
    fs::remove_all(work("tree"));
    const RunResult checked = run(with);
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(checked.status, 0);
    EXPECT_EQ(plain.out, checked.out);
    EXPECT_EQ(listing(), files);
    EXPECT_EQ(read_file("tree/sub/b.txt"), content);
}

}  // namespace
}  // namespace e2e
