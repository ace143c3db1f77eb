// Installers that leave nothing behind (zqpack create --temp), and archives
// checked whole before anything is written (--check-first, the installers'
// default).
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>

#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

bool windows() { return ends_with(stub_path(), ".exe"); }
std::string exe(const std::string& name) { return name + (windows() ? ".exe" : ""); }

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

class LeaveNothing : public EndToEnd {
protected:
    // On Linux the private folders go under a TMPDIR of the test's own, so
    // that what is left there can be seen.
    void SetUp() override {
        EndToEnd::SetUp();
        tmp_ = root_ + "/tmp";
        fs::create_directories(tmp_);
        const char* before = std::getenv("TMPDIR");
        if (before != nullptr) saved_tmpdir_ = before;
        had_tmpdir_ = before != nullptr;
        setenv("TMPDIR", tmp_.c_str(), 1);
    }
    void TearDown() override {
        if (had_tmpdir_) {
            setenv("TMPDIR", saved_tmpdir_.c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
        EndToEnd::TearDown();
    }

    // Packs root_/tree (-C) with `options` into an installer of `run`.
    std::string pack(const std::string& run, const std::vector<std::string>& options) {
        const std::string sfx = root_ + "/" + exe("setup");
        std::vector<std::string> command = {zqpack_path(), "create",    "-o", sfx,
                                            "--stub",      stub_path(), "-C", root_ + "/tree"};
        if (!run.empty()) command.insert(command.end(), {"--run", run});
        command.insert(command.end(), options.begin(), options.end());
        const RunResult made = run_host(command);
        EXPECT_EQ(made.status, 0) << made.out;
        return sfx;
    }
    void tree_file(const std::string& path, const std::string& content) {
        zq::test::write_bytes(root_ + "/tree/" + path, bytes_of(content));
    }
    // A program that notes, in the folder the user started in, the folder it
    // runs in (and on Linux its mode), the two variables and what the folder
    // holds, then ends with its first word as status.
    std::string noting_program() {
        const std::string name = windows() ? "note.bat" : "note.sh";
        tree_file(name, windows() ? "@cd> \"%ZQSFX_USER_PWD%\\seen.txt\"\r\n"
                                    "@echo %ZQSFX_USER_PWD%>> \"%ZQSFX_USER_PWD%\\seen.txt\"\r\n"
                                    "@echo %ZQSFX_SELF%>> \"%ZQSFX_USER_PWD%\\seen.txt\"\r\n"
                                    "@dir /b /on>> \"%ZQSFX_USER_PWD%\\seen.txt\"\r\n"
                                    "@exit %1\r\n"
                                  : "#!/bin/sh\nseen=\"$ZQSFX_USER_PWD/seen.txt\"\n"
                                    "{ pwd; echo \"$ZQSFX_USER_PWD\"; echo \"$ZQSFX_SELF\"; "
                                    "ls; stat -c %a .; } > \"$seen\"\nexit \"$1\"\n");
        return name;
    }
    // A path the program wrote, as this machine reaches it: under Wine, Z:
    // is the root and C: the prefix's drive_c.
    static std::string host_path(std::string path) {
        if (!under_wine() || path.size() < 3) return path;
        const char* prefix = std::getenv("WINEPREFIX");
        std::string root = path[0] == 'Z' || path[0] == 'z'
                               ? std::string()
                               : std::string(prefix ? prefix : "") + "/drive_c";
        for (char& c : path)
            if (c == '\\') c = '/';
        return root + path.substr(2);
    }

    // Where the stub makes its private folders: this test's TMPDIR on Linux;
    // under Wine the prefix's temporary folder, as an installer run there
    // reports it.
    std::string private_parent() {
        if (!under_wine()) return tmp_;
        const std::string sfx = pack(noting_program(), {"--temp"});
        const RunResult result = run_with(sfx, {"-qy", "--", "0"});
        EXPECT_EQ(result.status, 0) << result.out;
        const std::vector<std::string> seen = lines_of(read_file("seen.txt"));
        fs::remove(work("seen.txt"));
        fs::remove(sfx);
        return seen.empty() ? tmp_ : fs::path(host_path(seen[0])).parent_path().string();
    }
    // The private folders in `parent` now (Wine keeps files of its own
    // beside them).
    static std::set<std::string> private_folders(const std::string& parent) {
        std::set<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(parent))
            if (entry.path().filename().string().rfind("zqsfx", 0) == 0)
                names.insert(entry.path().filename().string());
        return names;
    }

    std::string tmp_;
    std::string saved_tmpdir_;
    bool had_tmpdir_ = false;
};

// The program runs in a fresh private folder holding the files, is told where
// the user started and where the self-extractor is, and the folder is gone
// afterwards whatever the program's status, which the run ends with.
TEST_F(LeaveNothing, ThePrivateFolderHoldsTheRunAndGoesAfterIt) {
    tree_file("data.txt", "payload");
    const std::string sfx = pack(noting_program(), {"--temp"});
    for (const std::string status : {"4", "0"}) {
        SCOPED_TRACE(status);
        const RunResult result = run_with(sfx, {"-qy", "--", status});
        EXPECT_EQ(result.status, std::stoi(status)) << result.out;
        EXPECT_EQ(result.out, "");
        const std::vector<std::string> seen = lines_of(read_file("seen.txt"));
        ASSERT_GE(seen.size(), 5u) << read_file("seen.txt");
        const std::string folder = host_path(seen[0]);
        EXPECT_NE(fs::path(folder).filename().string().find("zqsfx"), std::string::npos) << folder;
        EXPECT_EQ(host_path(seen[1]), work_);
        EXPECT_EQ(host_path(seen[2]), sfx);
        EXPECT_EQ(std::vector<std::string>(seen.begin() + 3, seen.begin() + 5),
                  (std::vector<std::string>{"data.txt", noting_program()}));
        EXPECT_FALSE(fs::exists(folder)) << folder;
        EXPECT_TRUE(fs::is_directory(fs::path(folder).parent_path())) << folder;
        if (!windows()) {
            EXPECT_EQ(fs::path(folder).parent_path().string(), tmp_);
            EXPECT_EQ(seen.back(), "700");
        }
        EXPECT_EQ(listing(), std::vector<std::string>{"seen.txt"});
        fs::remove(work("seen.txt"));
    }
}

// -d names a folder of the user's: the files stay there and the program
// runs there, as for a plain installer; --noexec extracts and runs nothing.
TEST_F(LeaveNothing, TargetAndNoexecKeepTheFilesWhereTheUserSays) {
    tree_file("data.txt", "payload");
    const std::string sfx = pack(noting_program(), {"--temp"});
    RunResult result = run_with(sfx, {"-qyd", "kept", "--", "0"});
    EXPECT_EQ(result.status, 0) << result.out;
    const std::vector<std::string> seen = lines_of(read_file("seen.txt"));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(host_path(seen[0]), work("kept"));
    EXPECT_EQ(read_file("kept/data.txt"), "payload");
    result = run_with(sfx, {"-qy", "--noexec"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(read_file("data.txt"), "payload");
    if (!windows()) {
        EXPECT_TRUE(fs::is_empty(tmp_));  // Wine keeps files of its own there
    }
}

// A run that fails half way, or is interrupted half way, takes the folder
// and all it holds with it.
TEST_F(LeaveNothing, AFailedOrInterruptedExtractionRemovesTheFolder) {
    const std::string parent = private_parent();
    const std::set<std::string> before = private_folders(parent);
    tree_file("a.bin", zq::test::text_of(zq::test::noise(1 << 20, 1)));
    tree_file("b.bin", "BROKEN" + zq::test::text_of(zq::test::noise(1 << 20, 2)));
    tree_file("big.bin", zq::test::text_of(zq::test::noise(24 << 20, 3)));
    tree_file("run.sh", "#!/bin/sh\ntouch \"$ZQSFX_USER_PWD/ran\"\n");
    // Checked first, the damage would end the run before the folder is made.
    std::string sfx = pack("run.sh", {"--temp", "--store", "--no-check-first"});
    Bytes bytes = zq::test::read_bytes(sfx);
    const std::string text = zq::test::text_of(bytes);
    const size_t broken = text.find("BROKEN");
    ASSERT_NE(broken, std::string::npos);
    bytes[broken + 100] ^= 0x55;
    zq::test::write_bytes(sfx, bytes, true);
    RunResult result = run_with(sfx, {"-qy"});
    EXPECT_EQ(result.status, 7) << result.out;
    EXPECT_EQ(private_folders(parent), before);

    // Ctrl+C once the large file's temporary file holds its first blocks.
    fs::remove_all(root_ + "/tree/b.bin");
    sfx = pack("run.sh", {"--temp", "--store"});
    Script script;
    script.signal = SIGINT;
    script.signal_when = [&] {
        for (const std::string& name : private_folders(parent)) {
            const fs::path folder = fs::path(parent) / name;
            struct stat info;
            if (before.count(name) == 0 && stat((folder / "zq000000").c_str(), &info) == 0 &&
                info.st_size >= 65536 && fs::exists(folder / "a.bin"))
                return true;
        }
        return false;
    };
    result = run_with(sfx, {"-y"}, script);
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_TRUE(ends_with(result.out, failure("Abort !"))) << result.out;
    EXPECT_EQ(private_folders(parent), before);
    EXPECT_EQ(listing(), std::vector<std::string>{});
}

// An archive whose second file is damaged: checked first, nothing at all is
// written (an installer's default, or --check-first); otherwise the first
// file is in place when the run stops.
TEST_F(LeaveNothing, CheckedFirstADamagedArchiveWritesNothing) {
    tree_file("a.txt", "GOOD" + std::string(3000, 'g'));
    tree_file("b.txt", "BROKEN" + std::string(3000, 'b'));
    const std::string program = windows() ? "go.bat" : "go.sh";
    tree_file(program, windows() ? "@exit 0\r\n" : "#!/bin/sh\ntouch ran\n");
    const auto damaged = [this](const std::string& sfx) {
        Bytes bytes = zq::test::read_bytes(sfx);
        const size_t broken = zq::test::text_of(bytes).find("BROKEN");
        EXPECT_NE(broken, std::string::npos);
        bytes[broken + 10] ^= 0x55;
        zq::test::write_bytes(sfx, bytes, true);
        return sfx;
    };
    const std::string failed = console("FAILED  b.txt\r\n") + failure("Decode failed");
    struct Case {
        std::string run;
        std::vector<std::string> options;
        std::vector<std::string> words;
        bool checked;
    };
    for (const Case& c : std::vector<Case>{{program, {}, {"-qy"}, true},
                                           {"", {"--check-first"}, {"-qy"}, true},
                                           {"", {}, {"-qy"}, false},
                                           {program, {}, {"-qy", "--nocheck"}, false},
                                           {program, {"--no-check-first"}, {"-qy"}, false}}) {
        SCOPED_TRACE(c.run + (c.options.empty() ? "" : " " + c.options[0]) + " " + c.words.back());
        std::vector<std::string> options = c.options;
        options.push_back("--store");
        const RunResult result = run_with(damaged(pack(c.run, options)), c.words);
        EXPECT_EQ(result.status, 7) << result.out;
        if (c.checked) {
            EXPECT_EQ(result.out, failed);
            EXPECT_EQ(listing(), std::vector<std::string>{});
        } else {
            EXPECT_EQ(read_file("a.txt"), "GOOD" + std::string(3000, 'g'));
            EXPECT_FALSE(exists("b.txt") || exists("ran"));
        }
        fs::remove_all(work_);
        fs::create_directory(work_);
    }
}

}  // namespace
}  // namespace e2e
