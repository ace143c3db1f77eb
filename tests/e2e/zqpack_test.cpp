// Self-extractors made by `zqpack create` from a real folder, and the same
// archive unpacked by `zqpack extract`: what comes out is what went in.
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "format/archive_format.h"
#include "harness.h"
#include "support.h"
#include "writer/packer.h"
#include "writer/writer.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

class Packed : public EndToEnd {
protected:
    // A folder "tree" beside the work folder: nested folders, an empty one,
    // empty, small, multi-block, binary and read-only files, known times.
    void SetUp() override {
        EndToEnd::SetUp();
        source_ = root_ + "/src";
        put("tree/empty.txt", "");
        put("tree/small.txt", "just a line\n");
        std::string text;
        for (int i = 0; text.size() < 150000; ++i)
            text += "line " + std::to_string(i * 7919 % 1000) + " of the tree\n";
        put("tree/sub/deeper/large.txt", text);
        std::string binary(70000, '\0');
        uint32_t state = 11;
        for (char& byte : binary) byte = char((state = state * 1664525u + 1013904223u) >> 24);
        put("tree/sub/noise.bin", binary);
        put("tree/sub/readonly.txt", "do not touch\n");
        chmod((source_ + "/tree/sub/readonly.txt").c_str(), 0444);
        fs::create_directories(source_ + "/tree/hollow");
    }

    void put(const std::string& path, const std::string& content) {
        const std::string full = source_ + "/" + path;
        fs::create_directories(fs::path(full).parent_path());
        std::ofstream(full, std::ios::binary) << content;
        struct utimbuf times {
            1111111111, 1234567890
        };
        utime(full.c_str(), &times);
    }

    std::string pack(const std::vector<std::string>& options,
                     const std::string& stub = stub_path()) {
        const std::string out =
            root_ + "/packed" +
            (stub.size() > 4 && stub.compare(stub.size() - 4, 4, ".exe") == 0 ? ".exe" : "");
        std::vector<std::string> command = {zqpack_path(), "create", "-o", out, "--stub", stub};
        command.insert(command.end(), options.begin(), options.end());
        command.push_back(source_ + "/tree");
        const RunResult made = run_host(command);
        EXPECT_EQ(made.status, 0) << made.out;
        return out;
    }

    // Every regular file under `base` with its content, mtime and write bits.
    static std::map<std::string, std::string> snapshot(const std::string& base) {
        std::map<std::string, std::string> files;
        for (auto& entry : fs::recursive_directory_iterator(base)) {
            const std::string name = fs::relative(entry.path(), base).string();
            if (entry.is_directory()) {
                files[name + "/"] = "";
                continue;
            }
            struct stat info;
            stat(entry.path().c_str(), &info);
            std::ifstream in(entry.path(), std::ios::binary);
            std::string content((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
            files[name] =
                std::to_string(info.st_mtime) + ((info.st_mode & 0222) ? " rw " : " ro ") + content;
        }
        return files;
    }

    std::string source_;
};

TEST_F(Packed, SelfExtractorGivesBackTheTree) {
    const std::string sfx = pack({"--dir-tree"});
    const RunResult result = run(sfx);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out.compare(0, banner().size(), banner()), 0);
    EXPECT_EQ(snapshot(work_), snapshot(source_));
    EXPECT_TRUE(no_temp_files());
}

// The empty folder "hollow" asks for the folder tree by itself.
TEST_F(Packed, AnEmptyFolderSetsTheTreeFlagByItself) {
    const RunResult result = run(pack({}));
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(snapshot(work_), snapshot(source_));
}

// The wide form through the stub that reads it (the Linux one, or the wide
// Windows one): the tree and the console text (the run, its listing and its
// test) are those of the narrow self-extractor.
TEST_F(Packed, WideSelfExtractorRunsAsTheNarrowOne) {
    std::vector<RunResult> runs[2];
    for (const bool wide : {false, true}) {
        fs::remove_all(work_);
        fs::create_directory(work_);
        const std::string sfx = wide ? pack({"--wide"}, wide_stub_path()) : pack({});
        runs[wide].push_back(run(sfx));
        EXPECT_EQ(snapshot(work_), snapshot(source_)) << (wide ? "wide" : "narrow");
        runs[wide].push_back(run_with(sfx, {"-l"}));
        runs[wide].push_back(run_with(sfx, {"-t"}));
    }
    ASSERT_EQ(runs[1].size(), runs[0].size());
    for (size_t i = 0; i < runs[0].size(); ++i) {
        EXPECT_EQ(runs[1][i].status, 0) << runs[1][i].out;
        EXPECT_EQ(runs[1][i].status, runs[0][i].status);
        EXPECT_EQ(runs[1][i].out, runs[0][i].out);
    }
}

// The plain Windows stub reads the narrow form only. zqpack makes no
// self-extractor of a wide archive with it; one put together by hand reads as
// a trailer that points outside the file: 3 "File I/O error", nothing written.
TEST_F(Packed, WindowsStubRefusesAWideArchive) {
    if (!under_wine() || zq::stub_reads_wide(zq::test::read_bytes(stub_path())))
        GTEST_SKIP() << "the stub under test reads the wide form";
    const std::string bare = root_ + "/wide.zq";
    ASSERT_EQ(run_host({zqpack_path(), "create", "--stub", "none", "--wide", "-o", bare,
                        source_ + "/tree"})
                  .status,
              0);
    const std::vector<uint8_t> wide = zq::test::read_bytes(bare);
    ASSERT_GT(wide.size(), zq::kLocatorSize + zq::kTrailerSize);
    const std::string sfx = root_ + "/wide.exe";
    zq::test::write_bytes(sfx, zq::test::self_extractor_of(zq::test::read_bytes(stub_path()), wide),
                          true);
    const RunResult result = run(sfx);
    EXPECT_EQ(result.status, 3) << result.out;
    EXPECT_NE(result.out.find("File I/O error"), std::string::npos) << result.out;
    EXPECT_TRUE(fs::is_empty(work_));
    const RunResult refused = run_host({zqpack_path(), "create", "--stub", stub_path(), "--wide",
                                        "-o", root_ + "/made.exe", source_ + "/tree"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_FALSE(fs::exists(root_ + "/made.exe"));
}

// The wide Windows stub reads the wide form only. zqpack writes that form
// behind it whatever the tree; a narrow archive put behind it by hand has no
// locator in front of its trailer: 3 "File I/O error", nothing written.
TEST_F(Packed, WideOnlyStubTakesTheWideFormAlone) {
    if (!zq::test::stub_reads_wide_only()) GTEST_SKIP() << "the stub under test reads both forms";
    const std::vector<uint8_t> made = zq::test::read_bytes(pack({}));
    ASSERT_GT(made.size(), zq::kTrailerSize);
    EXPECT_EQ(zq::load_u32(made.data() + made.size() - zq::kTrailerSize), zq::kWideMark);

    const std::string bare = root_ + "/narrow.zq";
    ASSERT_EQ(
        run_host({zqpack_path(), "create", "--stub", "none", "-o", bare, source_ + "/tree"}).status,
        0);
    const std::vector<uint8_t> narrow = zq::test::read_bytes(bare);
    const std::vector<uint8_t> archive(narrow.begin(), narrow.end() - zq::kTrailerSize);
    const std::string sfx = root_ + "/narrow.exe";
    zq::test::write_bytes(sfx, zq::self_extractor_bytes(zq::test::read_bytes(stub_path()), archive),
                          true);
    const RunResult result = run(sfx);
    EXPECT_EQ(result.status, 3) << result.out;
    EXPECT_NE(result.out.find("File I/O error"), std::string::npos) << result.out;
    EXPECT_TRUE(fs::is_empty(work_));
}

TEST_F(Packed, PasswordAndFlatLayout) {
    const std::string sfx = pack({"--password", "s3cret", "--flat"});
    const RunResult result = run(sfx, say({"nope\n", "S3CRET\n"}));
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find(console("Password: \r\nPassword fail\r\nPassword: \r")),
              std::string::npos);
    EXPECT_EQ(listing(), (std::vector<std::string>{"empty.txt", "large.txt", "noise.bin",
                                                   "readonly.txt", "small.txt"}));
    EXPECT_TRUE(is_read_only("readonly.txt"));
}

TEST_F(Packed, ZqpackExtractRunsTheSameExtraction) {
    const std::string sfx = pack({"--dir-tree"});
    RunResult result = run_host({zqpack_path(), "extract", sfx, "-C", work_});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(snapshot(work_), snapshot(source_));
    // Again over the extracted files: -y answers every question with All.
    result = run_host({zqpack_path(), "extract", sfx, "-C", work_, "-y"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out.find("overwrite"), std::string::npos);
    EXPECT_EQ(snapshot(work_), snapshot(source_));
}

TEST_F(Packed, ZqpackExtractDoesNotFollowALinkedFolder) {
    const std::string sfx = pack({});
    fs::create_directories(root_ + "/elsewhere");
    ASSERT_EQ(symlink("../elsewhere", work("tree").c_str()), 0);
    const RunResult result = run_host({zqpack_path(), "extract", sfx, "-C", work_});
    EXPECT_EQ(result.status, 3) << result.out;
    EXPECT_TRUE(fs::is_empty(root_ + "/elsewhere"));
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// Names for the stub under test: UTF-8 for the Linux one, the code page of
// ZQ_NAMES_CODEPAGE (default 1252, as Wine's C.UTF-8 locale) for Windows.
class Names : public Packed {
protected:
    bool windows() const {
        return stub_path().size() > 4 && stub_path().substr(stub_path().size() - 4) == ".exe";
    }
    std::string code_page() const {
        const char* page = std::getenv("ZQ_NAMES_CODEPAGE");
        return page != nullptr ? page : "1252";
    }
    std::vector<std::string> page_options() const {
        return windows() ? std::vector<std::string>{"--codepage", code_page()}
                         : std::vector<std::string>{};
    }

    // zqpack create with `stub` and `options` on `tree`: its status and both outputs.
    RunResult create(const std::string& stub, std::vector<std::string> options,
                     const std::string& tree) {
        std::string command =
            zqpack_path() + " create -o '" + root_ + "/names.out' --stub '" + stub + "'";
        for (const std::string& option : options) command += " '" + option + "'";
        return run_host({"sh", "-c", command + " '" + source_ + "/" + tree + "' 2>&1"});
    }

    // The listing as a strict reader takes it: UTF-8, standard JSON only.
    void expect_strict_json(const std::string& archive) {
        const std::string check =
            "import json,sys\n"
            "text = sys.stdin.buffer.read().decode('utf-8', 'strict')\n"
            "def no(x): raise ValueError(x)\n"
            "json.loads(text, parse_constant=no)\n";
        const RunResult parsed =
            run_host({"sh", "-c",
                      zqpack_path() + " list --json '" + archive + "' | python3 -c \"$0\"", check});
        EXPECT_EQ(parsed.status, 0) << parsed.out;
    }
};

TEST_F(Names, ComeBackAsTheyWent) {
    fs::remove_all(source_ + "/tree");
    const bool western = !windows() || code_page() == "1252";
    const bool japanese = !windows() || code_page() == "932";
    if (western) {
        for (const char* path :
             {"tree/Entr\u00e9e/a.txt", "tree/caf\u00e9.txt", "tree/\u00dcber.txt"})
            put(path, path);
    }
    if (japanese) {
        // 中文 and ドキュメント end in a byte of 0x81-0x9F in UTF-8; ソ is 0x83 0x5C in 932.
        for (const char* path : {"tree/\u65e5\u672c\u8a9e/a.txt", "tree/\u4e2d\u6587/a.txt",
                                 "tree/\u30c9\u30ad\u30e5\u30e1\u30f3\u30c8/a.txt",
                                 "tree/\u30bd.txt", "tree/\u30bd/b.txt"}) {
            put(path, path);
        }
    }
    const std::string sfx = pack(page_options());
    const RunResult result = run(sfx);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(snapshot(work_), snapshot(source_));
    fs::remove_all(work_ + "/tree");
    EXPECT_EQ(run_host({zqpack_path(), "extract", sfx, "-C", work_}).status, 0);
    EXPECT_EQ(snapshot(work_), snapshot(source_));
    expect_strict_json(sfx);
}

TEST_F(Names, WindowsRefusesWhatItCannotHoldAtPackTime) {
    // Enough of a PE image for zqpack to pack for Windows; it is never run.
    std::string pe(0x48, '\0');
    pe[0] = 'M', pe[1] = 'Z', pe[0x3C] = 0x40, pe[0x40] = 'P', pe[0x41] = 'E';
    put("pe.exe", pe);
    const std::vector<std::pair<std::vector<std::string>, std::string>> trees = {
        {{"CON"}, "device name"},
        {{"aux.txt"}, "device name"},
        {{"a?b"}, "refuses"},
        {{"x."}, "dot or a space"},
        {{"Case.txt", "case.txt"}, "letter case"},
        {{"\u30c9\u30ad.txt"}, "code page 1252"},
    };
    for (size_t i = 0; i < trees.size(); ++i) {
        const std::string tree = "bad" + std::to_string(i);
        for (const std::string& name : trees[i].first) put(tree + "/" + name, name);
        SCOPED_TRACE(tree);
        const RunResult windows_made = create(source_ + "/pe.exe", {}, tree);
        EXPECT_NE(windows_made.status, 0);
        EXPECT_NE(windows_made.out.find(trees[i].second), std::string::npos) << windows_made.out;
        EXPECT_NE(windows_made.out.find(trees[i].first.back()), std::string::npos)
            << windows_made.out;
        EXPECT_EQ(create(zq::test::host_stub_path(), {}, tree).status, 0);
    }
}

TEST_F(Names, PasswordLettersFoldBeyondAscii) {
    if (windows() && code_page() != "1252") GTEST_SKIP() << "the password is a Western one";
    const std::string sfx = pack([&] {
        auto options = page_options();
        options.insert(options.end(), {"--password", "p\u00e4ss"});
        return options;
    }());
    // A Windows console hands the stub its code page's bytes.
    const RunResult result = run(sfx, say({windows() ? "P\xc4SS\n" : "P\u00c4SS\n"}));
    EXPECT_EQ(result.status, 0) << result.out;
}

}  // namespace
}  // namespace e2e
