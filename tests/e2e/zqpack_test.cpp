// Self-extractors made by `zqpack create` from a real folder, and the same
// archive unpacked by `zqpack extract`: what comes out is what went in.
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "harness.h"

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
        for (int i = 0; text.size() < 150000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + " of the tree\n";
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
        struct utimbuf times{1111111111, 1234567890};
        utime(full.c_str(), &times);
    }

    std::string pack(const std::vector<std::string>& options) {
        const std::string out = root_ + "/packed" + (stub_path().size() > 4 &&
                                stub_path().compare(stub_path().size() - 4, 4, ".exe") == 0 ? ".exe" : "");
        std::vector<std::string> command = {zqpack_path(), "create", "-o", out, "--stub", stub_path()};
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
            std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            files[name] = std::to_string(info.st_mtime) + ((info.st_mode & 0222) ? " rw " : " ro ") + content;
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

TEST_F(Packed, PasswordAndFlatLayout) {
    const std::string sfx = pack({"--password", "s3cret", "--flat"});
    const RunResult result = run(sfx, say({"nope\n", "S3CRET\n"}));
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("Password: \r\nPassword fail\r\nPassword: \r"), std::string::npos);
    EXPECT_EQ(listing(), (std::vector<std::string>{"empty.txt", "large.txt", "noise.bin", "readonly.txt",
                                                   "small.txt"}));
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
