// zqpack as a user runs it: create, list, test and extract on a real tree.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "archive_test_support.h"
#include "pack/select.h"
#include "pe_image.h"

namespace zq::test {
namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

class PackCli : public ::testing::Test {
protected:
    // A small source-like tree of its own: nested folders, text that codes
    // well, noise that stays raw, an empty folder and an empty file.
    void SetUp() override {
        tree_ = dir_ / "tree";
        const char* const sources[] = {"archive/catalogue.cpp", "archive/catalogue.h",
                                       "codec/splay.cpp",       "driver/run.cpp",
                                       "pack/main.cpp",         "README.md"};
        uint32_t seed = 0;
        for (const char* name : sources) {
            ++seed;
            write_bytes(tree_ / name, mixed_data(3000 * seed, seed));
        }
        write_bytes(tree_ / "codec" / "tables.bin", noise(50000, 7));
        write_bytes(tree_ / "empty file", {});
        fs::create_directories(tree_ / "an empty folder");
        pin_times(tree_);
    }

    Result zqpack(const std::string& arguments, const std::string& input = "/dev/null") {
        const fs::path out = dir_ / "stdout";
        const fs::path err = dir_ / "stderr";
        // A deadline, so that a run that hangs fails instead.
        std::string command = "cd '" + dir_.path().string() +
                              "' && timeout 120 '" ZQPACK_PATH "' " + arguments + " <" + input +
                              " >'" + out.string() + "' 2>'" + err.string() + "'";
        int raw = std::system(command.c_str());
        Result result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_text(out), read_text(err)};
        if (result.status == 0) check_created_listing(arguments);
        return result;
    }

    // Whatever a create wrote (its -o word) lists as strict JSON.
    void check_created_listing(const std::string& arguments) {
        std::istringstream words(arguments);
        std::string word;
        if (!(words >> word) || word != "create") return;
        std::string password;
        std::string output;
        for (std::string previous; words >> word; previous = word) {
            if (previous == "--password") password = word;
            if (previous == "-o") output = word;
        }
        if (!output.empty()) expect_json_listing(dir_ / output, password);
    }

    // Runs zqpack in the scratch folder with standard output and error on
    // one pseudo-terminal, raw (no line-ending translation), and returns all
    // it wrote there.
    Result zqpack_on_terminal(std::vector<std::string> words) {
        const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(terminal, 0);
        EXPECT_EQ(::grantpt(terminal) | ::unlockpt(terminal), 0);
        const int screen = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY);
        EXPECT_GE(screen, 0);
        termios mode{};
        ::tcgetattr(screen, &mode);
        ::cfmakeraw(&mode);
        ::tcsetattr(screen, TCSANOW, &mode);
        words.insert(words.begin(), ZQPACK_PATH);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            const int nothing = ::open("/dev/null", O_RDONLY);
            if (::chdir(dir_.path().c_str()) != 0 || ::dup2(nothing, 0) < 0 ||
                ::dup2(screen, 1) < 0 || ::dup2(screen, 2) < 0) {
                ::_exit(126);
            }
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(screen);
        // Until the child's side is closed (EIO): all it wrote is read by then.
        std::string shown;
        char buffer[4096];
        for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) != 0;) {
            if (n > 0)
                shown.append(buffer, size_t(n));
            else if (errno != EINTR)
                break;
        }
        ::close(terminal);
        int raw = 0;
        ::waitpid(child, &raw, 0);
        return Result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, shown, ""};
    }

    size_t count_files() const {
        size_t n = 0;
        for (const auto& entry : fs::recursive_directory_iterator(tree_))
            n += entry.is_regular_file();
        return n;
    }

    size_t count_folders() const {
        size_t n = 1;  // the tree itself
        for (const auto& entry : fs::recursive_directory_iterator(tree_)) n += entry.is_directory();
        return n;
    }

    ScratchDir dir_;
    fs::path tree_;
};

size_t count_lines(const std::string& text) {
    return size_t(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(PackCli, CreateListTestAndExtractARealTree) {
    // The bytes do not depend on -j (PackerTest.OutputIsTheSameForEveryThreadCount).
    Result create = zqpack("create --stub none -j 4 -o tree.zq tree");
    ASSERT_EQ(create.status, 0) << create.err;
    EXPECT_TRUE(create.err.empty()) << create.err;  // no progress bar when stderr is not a terminal
    const fs::path archive = dir_ / "tree.zq";
    EXPECT_NE(fs::status(archive).permissions() & fs::perms::owner_exec, fs::perms::none);

    Result list = zqpack("list tree.zq");
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(count_lines(list.out),
              count_files() + count_folders() + 2);  // heading, folders, files, total
    EXPECT_NE(list.out.find(" tree/archive/catalogue.cpp\n"), std::string::npos);
    EXPECT_NE(list.out.find(" tree/empty file\n"), std::string::npos);
    EXPECT_NE(list.out.find("2014-05-13 16:53:20"), std::string::npos);

    Result json = zqpack("list --json tree.zq");
    ASSERT_EQ(json.status, 0);
    EXPECT_NE(json.out.find("\"total\": {\"files\": " + std::to_string(count_files())),
              std::string::npos);

    Result test = zqpack("test -j 2 tree.zq");
    EXPECT_EQ(test.status, 0) << test.out;
    EXPECT_NE(test.out.find(std::to_string(count_files()) + " ok, 0 failed"), std::string::npos)
        << test.out;

    Result extract = zqpack("extract tree.zq -C out");
    ASSERT_EQ(extract.status, 0) << extract.out << extract.err;
    for (const auto& entry : fs::recursive_directory_iterator(tree_)) {
        if (!entry.is_regular_file()) continue;
        const fs::path copy = dir_ / "out" / "tree" / fs::relative(entry.path(), tree_);
        EXPECT_EQ(read_bytes(copy), read_bytes(entry.path())) << copy;
    }
}

// On a terminal, create redraws one progress line and ends it with a line
// break before the summary; its figures at the end are the whole.
TEST_F(PackCli, ProgressLineOnATerminalEndsBeforeTheSummary) {
    const Result run = zqpack_on_terminal({"create", "--stub", "none", "-o", "tree.zq", "tree"});
    ASSERT_EQ(run.status, 0) << run.out;
    const size_t line_end = run.out.find('\n');
    ASSERT_NE(line_end, std::string::npos) << run.out;
    const std::string progress = run.out.substr(0, line_end);
    ASSERT_EQ(progress.substr(0, 1), "\r") << progress;
    const std::string last = progress.substr(progress.rfind('\r') + 1);
    // 8 files of 113000 bytes.
    EXPECT_EQ(last.rfind("8/8 files, 110.4 KiB of 110.4 KiB", 0), 0u) << last;
    EXPECT_EQ(run.out.substr(line_end + 1)
                  .rfind("tree.zq: a bare archive\ntree.zq: 8 files, 6 folders", 0),
              0u)
        << run.out;
    EXPECT_EQ(run.out.find('\r', line_end), std::string::npos) << run.out;
}

TEST_F(PackCli, TestFindsDamagedData) {
    write_bytes(tree_ / "big.txt", [] {
        Bytes text;
        for (int i = 0; i < 20000; ++i) {
            std::string line = "record " + std::to_string(i) + "\n";
            text.insert(text.end(), line.begin(), line.end());
        }
        return text;
    }());
    ASSERT_EQ(zqpack("create --stub none --flat -o tree.zq tree/big.txt").status, 0);
    Bytes archive = read_bytes(dir_ / "tree.zq");
    archive[200] ^= 0x55;  // inside the one coded file's frames
    write_bytes(dir_ / "damaged.zq", archive);
    Result test = zqpack("test damaged.zq");
    EXPECT_NE(test.status, 0);
    EXPECT_NE(test.out.find("FAILED  big.txt"), std::string::npos) << test.out;
    EXPECT_NE(test.out.find("0 ok, 1 failed"), std::string::npos) << test.out;
}

TEST_F(PackCli, ErrorsAreOneLineAndLeaveNoOutput) {
    for (const std::string& arguments :
         {std::string("create --stub missing-stub -o out.sfx tree"),
          std::string("create --stub none -o out.sfx nothing-here"),
          std::string("list not-an-archive"), std::string("create -o out.sfx"),
          std::string("create --stub none --password '' -o out.sfx tree")}) {
        SCOPED_TRACE(arguments);
        write_bytes(dir_ / "not-an-archive", bytes_of("hello"));
        Result run = zqpack(arguments);
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(count_lines(run.err), 1u) << run.err;
        EXPECT_EQ(run.err.rfind("zqpack: ", 0), 0u) << run.err;
        EXPECT_FALSE(fs::exists(dir_ / "out.sfx"));
        EXPECT_FALSE(fs::exists(dir_ / "out.sfx.zqpart"));
    }
}

// A Windows stub that reads the narrow form only makes no self-extractor of an
// archive that is asked for the wide form or needs it, and the one line says
// why, before any data is read (the file of 4 GiB is a hole); one that reads
// the wide form does.
TEST_F(PackCli, NoWindowsSelfExtractorOfAWideArchive) {
    write_bytes(dir_ / "stub.exe", minimal_pe());
    write_bytes(dir_ / "big" / "huge.bin", {});
    fs::resize_file(dir_ / "big" / "huge.bin", uint64_t(4) << 30);
    for (const auto& [arguments, reason] :
         {std::pair<std::string, std::string>{"create --stub stub.exe --wide -o out.exe tree",
                                              "--wide cannot make a Windows self-extractor"},
          {"create --stub stub.exe -o out.exe big", "a file of 4 GiB or more: "}}) {
        SCOPED_TRACE(arguments);
        const Result run = zqpack(arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(count_lines(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("does not read"), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(dir_ / "out.exe"));
        EXPECT_FALSE(fs::exists(dir_ / "out.exe.zqpart"));
    }
    fs::remove_all(dir_ / "big");
    // A Windows stub that carries the wide reader's mark goes in front.
    Bytes wide_stub = minimal_pe();
    wide_stub.insert(wide_stub.end(), std::begin(zq::kWideReaderMark),
                     std::end(zq::kWideReaderMark));
    write_bytes(dir_ / "wide.exe", wide_stub);
    ASSERT_EQ(zqpack("create --stub wide.exe --wide -o out.exe tree").status, 0);
    const Bytes made = read_bytes(dir_ / "out.exe");
    ASSERT_GT(made.size(), wide_stub.size());
    EXPECT_TRUE(std::equal(wide_stub.begin(), wide_stub.end(), made.begin()));
    EXPECT_EQ(zq::load_u32(made.data() + made.size() - 4), zq::kWideMark);
    // Behind one that reads the wide form only, a tree that fits the narrow
    // form is written wide without being asked.
    wide_stub.insert(wide_stub.end(), std::begin(zq::kWideOnlyReaderMark),
                     std::end(zq::kWideOnlyReaderMark));
    write_bytes(dir_ / "wide.exe", wide_stub);
    ASSERT_EQ(zqpack("create --stub wide.exe -o only.exe tree").status, 0);
    const Bytes only = read_bytes(dir_ / "only.exe");
    ASSERT_GT(only.size(), wide_stub.size());
    EXPECT_EQ(zq::load_u32(only.data() + only.size() - 4), zq::kWideMark);
}

// Outputs that would overwrite an input, the stub or a packed folder's
// content are refused, and every input stays byte for byte as it was.
TEST_F(PackCli, NeverDestroysAnInput) {
    fs::copy_file(zq::test::stub_path(), dir_ / "zqsfx");
    write_bytes(dir_ / "X", bytes_of("keep me"));
    fs::create_symlink("X", dir_ / "alias");
    const auto snapshot = [&] {
        std::vector<Bytes> all = {read_bytes(dir_ / "X"), read_bytes(dir_ / "zqsfx")};
        for (const auto& entry : fs::recursive_directory_iterator(tree_)) {
            if (entry.is_regular_file()) all.push_back(read_bytes(entry.path()));
        }
        return all;
    };
    const auto before = snapshot();
    const size_t entries =
        std::distance(fs::recursive_directory_iterator(tree_), fs::recursive_directory_iterator());
    for (const char* arguments :
         {"create --stub none -o X X", "create --stub none -o alias X",
          "create --stub none -o tree/driver/run.cpp tree",
          "create --stub none -o tree/new.zq tree", "create --stub zqsfx -o zqsfx X"}) {
        SCOPED_TRACE(arguments);
        const Result run = zqpack(arguments);
        EXPECT_NE(run.status, 0);
        EXPECT_TRUE(run.err.find("is the input") != std::string::npos ||
                    run.err.find("not a regular file") != std::string::npos ||
                    run.err.find("inside the packed folder") != std::string::npos ||
                    run.err.find("is the stub") != std::string::npos)
            << run.err;
    }
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(size_t(std::distance(fs::recursive_directory_iterator(tree_),
                                   fs::recursive_directory_iterator())),
              entries);
}

// Only an executable becomes the front of a self-extractor, and the output
// says which platform it is for.
TEST_F(PackCli, AStubMustBeAProgram) {
    write_bytes(dir_ / "script", bytes_of("#!/bin/sh\necho hello\n"));
    write_bytes(dir_ / "mz-only", Bytes(200, 'M'));
    for (const char* stub : {"script", "mz-only"}) {
        const Result run = zqpack(std::string("create --stub ") + stub + " -o out.sfx tree");
        EXPECT_NE(run.status, 0);
        EXPECT_NE(run.err.find("is not an ELF or PE executable"), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(dir_ / "out.sfx"));
    }
    const Result made = zqpack("create --stub '" + zq::test::stub_path() + "' -o out.sfx tree");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find("out.sfx: a Linux (ELF) self-extractor"), std::string::npos)
        << made.out;
}

// Each failure names the path and the system's reason.
TEST_F(PackCli, ErrorsSayWhy) {
    fs::create_directories(dir_ / "locked");
    fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    write_bytes(dir_ / "secret", bytes_of("x"));
    fs::permissions(dir_ / "secret", fs::perms::none);
    const bool root_passes = ::access((dir_ / "secret").c_str(), R_OK) == 0;
    struct Case {
        std::string arguments, expected;
    };
    std::vector<Case> cases = {
        {"list tree", "zqpack: tree is a folder, not an archive\n"},
        {"list missing", "zqpack: cannot open missing: No such file or directory\n"},
        {"create --stub none -o nowhere/out.zq tree",
         "zqpack: cannot create nowhere/out.zq.zqpart: No such file or directory\n"}};
    if (!root_passes) {
        cases.push_back({"create --stub none -o locked/out.zq tree",
                         "zqpack: cannot create locked/out.zq.zqpart: Permission denied\n"});
        cases.push_back({"create --stub none -o out.zq secret", "Permission denied"});
    }
    for (const Case& c : cases) {
        const Result run = zqpack(c.arguments);
        EXPECT_NE(run.status, 0);
        EXPECT_NE(run.err.find(c.expected), std::string::npos) << c.arguments << ": " << run.err;
    }
    fs::permissions(dir_ / "locked", fs::perms::owner_all);
}

TEST_F(PackCli, PasswordFromAFileOrTheConsole) {
    write_bytes(dir_ / "pw", bytes_of("Open Sesame\n"));
    ASSERT_EQ(zqpack("create --stub none --password-file pw -o locked.zq tree").status, 0);
    EXPECT_EQ(zqpack("list --password 'open sesame' locked.zq").status, 0);
    Result wrong = zqpack("list --password sesame locked.zq");
    EXPECT_NE(wrong.status, 0);
    EXPECT_NE(wrong.err.find("wrong password"), std::string::npos);
    Result asked = zqpack("test locked.zq", "pw");
    EXPECT_EQ(asked.status, 0) << asked.out << asked.err;
    EXPECT_EQ(asked.out.rfind(piped_linux_console("Password: \r"), 0), 0u);
}

}  // namespace
}  // namespace zq::test

namespace zq::test {
namespace {

TEST(PackSelection, GlobsMatchNamesAndPaths) {
    using zq::pack::glob_match;
    EXPECT_TRUE(glob_match("*.txt", "a/b.txt"));
    EXPECT_TRUE(glob_match("a?c*", "abc"));
    EXPECT_TRUE(glob_match("*a*b*", "xxaxxbxx"));
    EXPECT_FALSE(glob_match("*.txt", "b.txt.gz"));
    EXPECT_FALSE(glob_match("a?c", "ac"));
    EXPECT_TRUE(glob_match("*[0-9][!0-9]", "log12x"));
    EXPECT_FALSE(glob_match("*[0-9][!0-9]", "log1x2"));
    EXPECT_TRUE(glob_match("[]a]", "]"));
    EXPECT_TRUE(glob_match("a[b", "a[b"));  // no closing ']': a plain '['
    EXPECT_TRUE(glob_match("*a", "*ba"));   // a star in the text is no star
    // A character is a UTF-8 sequence; bytes that are not UTF-8 go one by one.
    EXPECT_TRUE(glob_match("?.txt", "\xC3\xA4.txt"));  // U+00E4
    EXPECT_FALSE(glob_match("??.txt", "\xC3\xA4.txt"));
    EXPECT_TRUE(glob_match("[\xC3\xA4\xC3\xB6]x", "\xC3\xB6x"));
    EXPECT_FALSE(glob_match("[\xC3\xA4]x", "\xC3\xB6x"));
    EXPECT_TRUE(glob_match("[\xCE\xB1-\xCF\x89]", "\xCE\xBB"));  // lambda within alpha-omega
    EXPECT_FALSE(glob_match("[\xCE\xB1-\xCF\x89]", "A"));
    EXPECT_TRUE(glob_match("*?", "\xF0\x9F\x98\x80"));  // one four-byte character
    EXPECT_TRUE(glob_match("??", "\xC3\x28"));          // a broken sequence: two bytes
    EXPECT_TRUE(glob_match("a\xFF?", "a\xFF\xE2\x82\xAC"));
    zq::pack::Selection selection({"*.log", "sub/keep.txt", "absent"});
    EXPECT_TRUE(selection.matches("deep/sub/x.log"));  // by bare name
    EXPECT_TRUE(selection.matches("sub/keep.txt"));
    EXPECT_FALSE(selection.matches("other/keep.txt"));  // a pattern with '/' needs the path
    EXPECT_EQ(selection.unmatched(), std::vector<std::string>{"absent"});
}

// --exclude takes a name anywhere, a folder with what it holds, a path's tail
// and a path from the top, as tar users expect.
TEST_F(PackCli, ExcludeLeavesOutWhatMatches) {
    const Result create = zqpack(
        "create --stub none -o ex.zq --exclude '*.bin' --exclude driver "
        "--exclude 'archive/catalogue.[ch]' --exclude 'tree/pack/m?in.*' tree");
    ASSERT_EQ(create.status, 0) << create.err;
    EXPECT_NE(create.out.find("ex.zq: 4 files, 5 folders"), std::string::npos) << create.out;
    const Result list = zqpack("list ex.zq");
    for (const char* kept :
         {" tree/archive/catalogue.cpp\n", " tree/codec/splay.cpp\n", " tree/README.md\n",
          " tree/empty file\n", " tree/pack/\n", " tree/an empty folder/\n"}) {
        EXPECT_NE(list.out.find(kept), std::string::npos) << kept << list.out;
    }
    for (const char* gone : {"tables.bin", "driver", "catalogue.h", "main.cpp"}) {
        EXPECT_EQ(list.out.find(gone), std::string::npos) << gone << list.out;
    }
    // An input of its own is left out as well.
    EXPECT_EQ(zqpack("create --stub none -o top.zq --exclude tables.bin --flat "
                     "tree/codec/tables.bin tree/README.md")
                  .status,
              0);
    EXPECT_EQ(count_lines(zqpack("list top.zq").out), 3u);  // heading, README.md, total
}

// Selection, -n, -q, --password and -C on a small tree of their own.
class PackCliOptions : public PackCli {
protected:
    void SetUp() override {
        write_bytes(dir_ / "small" / "a.txt", bytes_of("alpha"));
        write_bytes(dir_ / "small" / "sub" / "b.log", bytes_of("beta"));
        write_bytes(dir_ / "small" / "sub" / "c.txt", bytes_of("gamma"));
    }
};

TEST_F(PackCliOptions, CreateFromInsideAFolderAndSelectWhatToList) {
    Result create = zqpack("create --stub none -C small -o s.zq");
    ASSERT_EQ(create.status, 0) << create.err;
    const std::string bytes = std::to_string(fs::file_size(dir_ / "s.zq"));
    EXPECT_NE(create.out.find("(stub 0 + archive " + bytes + ")"), std::string::npos) << create.out;
    Result list = zqpack("list s.zq '*.txt'");
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find(" a.txt\n"), std::string::npos) << list.out;  // no "small/" in front
    EXPECT_NE(list.out.find(" sub/c.txt\n"), std::string::npos);
    EXPECT_EQ(list.out.find("b.log"), std::string::npos);
    EXPECT_EQ(zqpack("test s.zq sub/b.log").status, 0);
    Result none = zqpack("list s.zq nothing");
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no file matches nothing"), std::string::npos) << none.err;
}

TEST_F(PackCliOptions, ExtractSelectedKeepsExistingAndChecksThePassword) {
    ASSERT_EQ(zqpack("create --stub none --password Gate -C small -o s.zq").status, 0);
    EXPECT_EQ(zqpack("extract s.zq -C out --password wrong").status, 4);
    EXPECT_FALSE(fs::exists(dir_ / "out" / "a.txt"));

    write_bytes(dir_ / "out" / "sub" / "c.txt", bytes_of("mine"));
    Result run = zqpack("extract s.zq -C out -n -q --password gate '*.txt'");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(read_bytes(dir_ / "out" / "a.txt"), bytes_of("alpha"));
    EXPECT_EQ(read_bytes(dir_ / "out" / "sub" / "c.txt"), bytes_of("mine"));  // kept, and said so
    EXPECT_FALSE(fs::exists(dir_ / "out" / "sub" / "b.log"));                 // not selected
    EXPECT_EQ(run.out.find("Self-Extractor"), std::string::npos) << run.out;  // quiet
    EXPECT_NE(run.out.find("c.txt exists: kept"), std::string::npos) << run.out;
}

TEST_F(PackCliOptions, AnUnknownSubcommandIsNamed) {
    Result run = zqpack("frobnicate x");
    EXPECT_EQ(run.status, zq::kExitUsage);
    EXPECT_NE(run.err.find("unknown subcommand frobnicate"), std::string::npos) << run.err;
}

// list, test and extract read the password file as create does.
TEST_F(PackCliOptions, EverySubcommandTakesAPasswordFile) {
    write_bytes(dir_ / "pw", bytes_of("Gate\r\n"));
    write_bytes(dir_ / "bad", bytes_of("nope\n"));
    ASSERT_EQ(zqpack("create --stub none --password-file pw -C small -o s.zq").status, 0);
    EXPECT_EQ(zqpack("list --password-file pw s.zq").status, 0);
    EXPECT_EQ(zqpack("test --password-file pw s.zq").status, 0);
    EXPECT_EQ(zqpack("extract --password-file pw -C out -q s.zq").status, 0);
    EXPECT_EQ(read_bytes(dir_ / "out" / "sub" / "b.log"), bytes_of("beta"));
    EXPECT_EQ(zqpack("extract --password-file bad -C wrong s.zq").status, 4);
    EXPECT_FALSE(fs::exists(dir_ / "wrong" / "a.txt"));
    EXPECT_EQ(zqpack("list --password-file bad s.zq").status, zq::kExitPasswordFail);
    EXPECT_EQ(zqpack("list --password-file pw --password gate s.zq").status, zq::kExitUsage);
    Result missing = zqpack("test --password-file absent s.zq");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("absent"), std::string::npos) << missing.err;
}

// As with tar, -C DIR with "." packs DIR's contents; "./x" and "x/" are x.
TEST_F(PackCliOptions, DotInsideTheFolderIsItsContents) {
    write_bytes(dir_ / "small" / "install.sh", bytes_of("#!/bin/sh\n"));
    for (const char* dot : {".", "./"}) {
        Result made =
            zqpack(std::string("create --stub none -o d.zq --run install.sh -C small ") + dot);
        ASSERT_EQ(made.status, 0) << dot << ": " << made.err;
        Result list = zqpack("list d.zq");
        EXPECT_NE(list.out.find(" a.txt\n"), std::string::npos) << list.out;
        EXPECT_NE(list.out.find(" sub/b.log\n"), std::string::npos) << list.out;
        EXPECT_EQ(list.out.find("small"), std::string::npos) << list.out;
    }
    // Times pinned before each pack: the first pack's reads may move them.
    pin_times(dir_ / "small");
    ASSERT_EQ(zqpack("create --stub none -o x.zq -C small ./sub a.txt").status, 0);
    pin_times(dir_ / "small");
    ASSERT_EQ(zqpack("create --stub none -o y.zq -C small sub/ a.txt").status, 0);
    EXPECT_EQ(read_bytes(dir_ / "x.zq"), read_bytes(dir_ / "y.zq"));
    Result list = zqpack("list x.zq");
    EXPECT_NE(list.out.find(" sub/c.txt\n"), std::string::npos) << list.out;
    EXPECT_EQ(count_lines(list.out), 6u) << list.out;  // heading, sub/, 3 files, total
}

// Every name a Windows stub cannot take is named in the one run that fails.
TEST_F(PackCliOptions, EveryWindowsNameProblemInOneRun) {
    std::string pe(0x48, '\0');
    pe[0] = 'M', pe[1] = 'Z', pe[0x3C] = 0x40, pe[0x40] = 'P', pe[0x41] = 'E';
    write_bytes(dir_ / "pe.exe", bytes_of(pe));
    const char* const names[] = {
        "Case.txt", "case.txt", "sub/Deep", "sub/deep", "con", "sub/\u30c9\u30ad.txt", "sub/q?"};
    for (const char* name : names) write_bytes(dir_ / "bad" / name, bytes_of(name));
    Result made = zqpack("create --stub pe.exe -o w.exe bad");
    EXPECT_EQ(made.status, 1);
    EXPECT_NE(made.err.find("5 names cannot be stored for Windows:\n"), std::string::npos)
        << made.err;
    for (const char* expected : {"Case.txt and case.txt", "Deep and deep", "con for Windows",
                                 "\u30c9\u30ad.txt for Windows: code page 1252", "q? for Windows"})
        EXPECT_NE(made.err.find(expected), std::string::npos) << expected << ": " << made.err;
    EXPECT_FALSE(fs::exists(dir_ / "w.exe"));
}

// Whatever the tree is called on the command line, a link that leaves it
// is stored as the file it leads to, and a skipped folder link is said so
// once.
TEST_F(PackCliOptions, LinksOutOfTheTreeAreFollowedHoweverItIsNamed) {
    write_bytes(dir_ / "L" / "y", bytes_of("outside"));
    write_bytes(dir_ / "L" / "top" / "sub" / "f", bytes_of("inside"));
    fs::create_directories(dir_ / "L" / "ydir");
    fs::create_symlink("../y", dir_ / "L" / "top" / "out");
    fs::create_symlink("../ydir", dir_ / "L" / "top" / "away");
    fs::create_symlink("../sub/f", dir_ / "L" / "top" / "sub" / "near");
    for (const std::string named : {"L/top", "-C L/top"}) {
        SCOPED_TRACE(named);
        Result made = zqpack("create --stub none -o a.zq " + named);
        ASSERT_EQ(made.status, 0) << made.err;
        EXPECT_NE(made.err.find("L/top/out is a symbolic link and it leads to ../y, out of the "
                                "packed tree: the file it leads to is stored instead\n"),
                  std::string::npos)
            << made.err;
        EXPECT_NE(made.err.find("L/top/away is a symbolic link to a folder and was skipped: it "
                                "leads to ../ydir, out of the packed tree; links to folders are "
                                "not followed\n"),
                  std::string::npos)
            << made.err;
        EXPECT_EQ(count_lines(made.err), 2u) << made.err;
        ASSERT_EQ(zqpack("extract -q -C x a.zq").status, 0);
        const fs::path top = named == "L/top" ? dir_ / "x" / "top" : dir_ / "x";
        EXPECT_EQ(read_bytes(top / "out"), bytes_of("outside"));
        EXPECT_FALSE(fs::is_symlink(top / "out"));
        EXPECT_EQ(fs::read_symlink(top / "sub" / "near"), "../sub/f");
        EXPECT_FALSE(fs::exists(fs::symlink_status(top / "away")));
        fs::remove_all(dir_ / "x");
    }
}

// Stubs by name, found beside zqpack; create --help lists them.
TEST_F(PackCliOptions, StubsByName) {
    pin_times(dir_ / "small");
    ASSERT_EQ(zqpack("create -o default.sfx -C small").status, 0);
    for (const char* name : {"linux", "zqsfx"}) {
        pin_times(dir_ / "small");  // the pack before may have moved them
        ASSERT_EQ(zqpack(std::string("create -o named.sfx -C small --stub ") + name).status, 0);
        EXPECT_EQ(read_bytes(dir_ / "named.sfx"), read_bytes(dir_ / "default.sfx")) << name;
    }
    Result help = zqpack("create --help");
    const std::string beside = (fs::path(ZQPACK_PATH).parent_path() / "zqsfx").string();
    EXPECT_NE(help.out.find("\n  linux (the default)  " + beside + "\n"), std::string::npos)
        << help.out;
    Result unknown = zqpack("create -o u.sfx -C small --stub solaris");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("no stub at solaris (give a stub's path, one of the names"),
              std::string::npos)
        << unknown.err;
}

}  // namespace
}  // namespace zq::test

namespace zq::test {
namespace {

// zqpack in hostile surroundings: outputs and inputs that are no files,
// password files without end, names that collide, selections that take
// nothing, installers the extractor could not run as asked.
class PackHostile : public PackCliOptions {};

TEST_F(PackHostile, OnlyARegularFileIsEverReplacedAndThatIsKnownFirst) {
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0644), 0);
    fs::create_symlink("small/a.txt", dir_ / "alias");
    fs::create_directories(dir_ / "folder");
    std::vector<std::pair<std::string, std::string>> outputs = {
        {"fifo", "a FIFO"}, {"alias", "a symbolic link"}, {"folder", "a folder"}};
    // As root, a device node of our own (the null device's numbers).
    if (::mknod((dir_ / "nul").c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0)
        outputs.push_back({"nul", "a device"});
    for (const auto& [output, what] : outputs) {
        SCOPED_TRACE(output);
        // The input does not exist: the output is judged before it is read.
        const Result run = zqpack("create --stub none -o " + output + " missing-input");
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "zqpack: the output " + output + " is " + what +
                               ", not a regular file: refused (only a file is ever replaced)\n");
    }
    EXPECT_EQ(fs::symlink_status(dir_ / "fifo").type(), fs::file_type::fifo);
    EXPECT_EQ(fs::symlink_status(dir_ / "alias").type(), fs::file_type::symlink);
    EXPECT_TRUE(fs::is_directory(dir_ / "folder"));
    if (fs::exists(dir_ / "nul")) {
        EXPECT_EQ(fs::symlink_status(dir_ / "nul").type(), fs::file_type::character);
    }

    // What is not a regular file is no archive either, and is not opened:
    // it cannot be read as one (3).
    for (const char* command : {"list", "test", "extract"}) {
        const Result run = zqpack(std::string(command) + " fifo");
        EXPECT_EQ(run.status, 3) << command;
        EXPECT_EQ(run.err, "zqpack: fifo is not a regular file, not an archive\n") << command;
    }
}

TEST_F(PackHostile, APasswordFileGivesItsFirstLineOnly) {
    write_bytes(dir_ / "two-lines", bytes_of("first\r\nsecond\n"));
    ASSERT_EQ(zqpack("create --stub none --password-file two-lines -C small -o s.zq").status, 0);
    EXPECT_EQ(zqpack("list --password first s.zq").status, 0);
    write_bytes(dir_ / "longest", bytes_of(std::string(255, 'p') + "\r\n"));
    EXPECT_EQ(zqpack("create --stub none --password-file longest -C small -o l.zq").status, 0);
    write_bytes(dir_ / "too-long", bytes_of(std::string(256, 'p')));
    for (const char* file : {"too-long", "/dev/zero"}) {
        const Result run =
            zqpack(std::string("create --stub none --password-file ") + file + " -C small -o z.zq");
        EXPECT_EQ(run.status, 1) << file;
        EXPECT_NE(run.err.find("longer than the longest password (255 bytes)"), std::string::npos)
            << run.err;
    }
}

TEST_F(PackHostile, NamesThatWouldLandOnOneFileAreRefused) {
    write_bytes(dir_ / "small" / "sub" / "a.txt", bytes_of("another alpha"));
    Result run = zqpack("create --stub none --flat -o f.zq small");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "zqpack: cannot store both small/a.txt and small/sub/a.txt with --flat: they would "
              "land on one file\n");
    // For Windows, names that differ only in letter case are one file.
    std::string pe(0x48, '\0');
    pe[0] = 'M', pe[1] = 'Z', pe[0x3C] = 0x40, pe[0x40] = 'P', pe[0x41] = 'E';
    write_bytes(dir_ / "pe.exe", bytes_of(pe));
    fs::remove(dir_ / "small" / "sub" / "a.txt");
    write_bytes(dir_ / "small" / "sub" / "A.TXT", bytes_of("another alpha"));
    EXPECT_EQ(zqpack("create --stub none --flat -o f.zq small").status, 0);
    run = zqpack("create --stub pe.exe --flat -o f.exe small");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "zqpack: cannot store both small/a.txt and small/sub/A.TXT with --flat: they would "
              "land on one file (Windows names ignore letter case)\n");
}

TEST_F(PackHostile, ExtractRefusesASelectionThatTakesNothing) {
    ASSERT_EQ(zqpack("create --stub none -C small -o s.zq").status, 0);
    const Result run = zqpack("extract s.zq -C out -q a.txt nomatch");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "zqpack: no file matches nomatch\n");
    EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(PackHostile, InstallersTheExtractorCannotRunAreRefused) {
    const std::string create = "create --stub none -C small -o i.zq ";
    std::string words;
    for (int i = 0; i < 1001; ++i) words += " w";
    fs::create_symlink("c.txt", dir_ / "small" / "sub" / "link.txt");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--run ''", "--run needs the stored path of a packed file"},
        {"--run sub/link.txt",
         "--run: sub/link.txt is a symbolic link; name the packed file itself"},
        {"--run a.txt --run-args '" + words + "'",
         "--run-args: more than 1000 words; the self-extractor passes at most 1000"},
        {"--run a.txt --run-args '" + std::string(12289, 'x') + "'",
         "--run-args: 12289 bytes; at most 12288"}};
    for (const auto& [options, expected] : cases) {
        const Result run = zqpack(create + options);
        EXPECT_EQ(run.status, 1) << options.substr(0, 40);
        EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(dir_ / "i.zq"));
    }
    EXPECT_EQ(zqpack(create + "--run a.txt --run-args '" + words.substr(2) + "'").status, 0);
}

}  // namespace
}  // namespace zq::test

namespace zq::test {
namespace {

// An installer's choices are bits 0-1 of header byte 2: a plain archive
// carries neither (its bytes stay as they were), an installer the test
// before writing unless it is left out, --temp its own bit. --temp needs
// --run, and the two test options exclude each other.
TEST_F(PackHostile, InstallerChoicesAreHeaderBits) {
    const auto choices = [this](const std::string& options) {
        const Result run = zqpack("create --stub none -C small -o c.zq " + options);
        EXPECT_EQ(run.status, 0) << options << run.err;
        const Bytes archive = read_bytes(dir_ / "c.zq");
        return archive.size() > 2 ? archive[2] & 3 : -1;
    };
    EXPECT_EQ(choices(""), 0);
    EXPECT_EQ(choices("--check-first"), 1);
    EXPECT_EQ(choices("--run a.txt"), 1);
    EXPECT_EQ(choices("--run a.txt --no-check-first"), 0);
    EXPECT_EQ(choices("--run a.txt --temp"), 3);
    for (const char* bad : {"--temp", "--check-first --no-check-first"}) {
        EXPECT_EQ(zqpack(std::string("create --stub none -C small -o d.zq ") + bad).status, 10)
            << bad;
    }
    EXPECT_FALSE(fs::exists(dir_ / "d.zq"));
}

}  // namespace
}  // namespace zq::test
