// The installer and the target folder in hostile surroundings: namesakes,
// kept files, programs that cannot start or end oddly, Ctrl+C while the
// program runs, too many words, links in the folder the user names.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

class HostileInstaller : public EndToEnd {
protected:
    bool windows() const { return ends_with(stub_path(), ".exe"); }
    std::string exe(const std::string& name) const { return name + (windows() ? ".exe" : ""); }

    // An installer of what root_/tree holds, marked to run `run` (its path
    // inside tree) with `words`.
    std::string make_installer(const std::string& run, const std::string& words = "") {
        const std::string sfx = root_ + "/" + exe("setup");
        std::vector<std::string> command = {zqpack_path(), "create",    "-o", sfx,
                                            "--stub",      stub_path(), "-C", root_ + "/tree",
                                            "--run",       run};
        if (!words.empty()) command.insert(command.end(), {"--run-args", words});
        const RunResult made = run_host(command);
        EXPECT_EQ(made.status, 0) << made.out;
        return sfx;
    }
    void tree_file(const std::string& path, const std::string& content) {
        zq::test::write_bytes(root_ + "/tree/" + path, bytes_of(content));
    }
};

// The extracted program is a self-extractor holding inner.txt; a stub with
// nothing behind it waits beside setup under the same name. Run with -l,
// the right one lists inner.txt and ends with 0; the namesake fails.
TEST_F(HostileInstaller, StartsTheExtractedProgramNeverANamesake) {
    const std::string program = windows() ? stub_path() : zq::test::host_stub_path();
    zq::test::write_bytes(root_ + "/inner/inner.txt", bytes_of("inside"));
    fs::create_directories(root_ + "/tree");
    const RunResult inner = run_host({zqpack_path(), "create", "-o", root_ + "/tree/" + exe("prog"),
                                      "--stub", program, "-C", root_ + "/inner", "inner.txt"});
    ASSERT_EQ(inner.status, 0) << inner.out;
    zq::test::write_bytes(root_ + "/" + exe("prog"), zq::test::read_bytes(program), true);
    const RunResult result = run_with(make_installer(exe("prog"), "-l"), {"-y", "-q"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("  inner.txt"), std::string::npos) << result.out;
}

// A run file already there and kept (-n, or an "n" answer) is not this
// archive's program: it is neither made executable nor run.
TEST_F(HostileInstaller, RunsOnlyWhatThisRunPlaced) {
    const std::string run = windows() ? "sub/go.bat" : "sub/inst.sh";
    tree_file(run, windows() ? "@echo ran> ran.txt\r\n" : "#!/bin/sh\necho ran > ran.txt\n");
    const std::string sfx = make_installer(run);
    write_file(run, "kept");
    const std::string shown = windows() ? "sub\\go.bat" : "sub\\inst.sh";
    const std::string not_run = console(shown + " : kept, not run\r\n");

    RunResult result = run_with(sfx, {"-n", "-q"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, console(shown + " exists: kept\r\n") + not_run);
    result = run_with(sfx, {"-q"}, say({"n\n"}));
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(ends_with(result.out, not_run)) << result.out;

    EXPECT_FALSE(exists("ran.txt"));
    EXPECT_EQ(read_file(run), "kept");
    struct stat info {};
    ASSERT_EQ(stat(work(run).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0111, 0u);
    if (windows()) return;  // cmd under Wine is not part of this suite
    result = run_with(sfx, {"-y", "-q"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(read_file("ran.txt"), "ran\n");
}

// An interpreter that is not there, a script without "#!", a file that is no
// program: 3 and the path, on both systems.
TEST_F(HostileInstaller, AProgramThatCannotStartEndsWith3) {
    const std::vector<std::pair<std::string, std::string>> cases =
        windows() ? std::vector<std::pair<std::string, std::string>>{{"bad.exe", "no program"}}
                  : std::vector<std::pair<std::string, std::string>>{
                        {"bad.sh", "#!/nonexistent/x\n"}, {"plain.sh", "echo hi > hi.txt\n"}};
    for (const auto& [name, content] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(root_ + "/tree");
        tree_file(name, content);
        const RunResult result = run_with(make_installer(name), {"-y", "-q"});
        EXPECT_EQ(result.status, 3);
        EXPECT_EQ(result.out, console(name + " : cannot run\r\n") + failure("File I/O error"));
        EXPECT_FALSE(exists("hi.txt"));
    }
}

// Codes that look like failures of the start are the program's own.
TEST_F(HostileInstaller, EveryStatusIsPassedThrough) {
    const std::vector<std::pair<std::string, int>> cases =
        windows()
            ? std::vector<std::pair<std::string, int>>{{"@exit -1\r\n", 255}, {"@exit 3\r\n", 3}}
            : std::vector<std::pair<std::string, int>>{{"#!/bin/sh\nexit 255\n", 255},
                                                       {"#!/bin/sh\nkill -TERM $$\n", 143}};
    const std::string name = windows() ? "end.bat" : "end.sh";
    for (const auto& [content, status] : cases) {
        SCOPED_TRACE(content);
        tree_file(name, content);
        const RunResult result = run_with(make_installer(name), {"-y", "-q"});
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(result.out, "");
    }
}

// As a terminal does, Ctrl+\ and Ctrl+C reach the extractor and the program
// alike. The extractor waits on; the program, which traps SIGINT, cleans up
// and ends with 5 (with SIGINT ignored it could not trap it and ends with 9).
TEST_F(HostileInstaller, CtrlCWhileTheProgramRunsIsTheProgramsAffair) {
    WINE_DIFFERS("the marked file here is a shell script; wine_ctrl_c runs a Windows one");
    tree_file("trap.sh",
              "#!/bin/sh\ntrap 'echo cleaned >> seen.txt; exit 5' INT\n"
              "kill -QUIT $PPID\nkill -INT $PPID\nkill -INT $$\nexit 9\n");
    const RunResult result = run_with(make_installer("trap.sh"), {"-y", "-q"});
    EXPECT_EQ(result.status, 5) << result.out;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(read_file("seen.txt"), "cleaned\n");
}

// Two stored words and the user's: 1000 pass, 1001 end with 10 before
// anything is extracted, whichever system splits the command line.
TEST_F(HostileInstaller, NoWordIsDropped) {
    const std::string name = windows() ? "count.bat" : "count.sh";
    tree_file(name, windows() ? "@exit 0\r\n" : "#!/bin/sh\necho $# > count.txt\n");
    const std::string sfx = make_installer(name, "a b");
    std::vector<std::string> words = {"-y", "-q", "--"};
    words.insert(words.end(), 999, "w");
    RunResult result = run_with(sfx, words);
    EXPECT_EQ(result.status, 10);
    EXPECT_EQ(result.out,
              console("Too many words for the program: at most 1000 (32767 characters on "
                      "Windows)\r\n"));
    EXPECT_EQ(listing(), std::vector<std::string>{});
    if (windows()) return;
    words.pop_back();
    result = run_with(sfx, words);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(read_file("count.txt"), "1000\n");
}

class TargetFolder : public EndToEnd {
protected:
    std::string sfx() {
        ArchiveBuilder archive;
        TestFile file;
        file.name = "f.txt";
        file.content = "text";
        archive.files = {file};
        return make_sfx(archive.archive());
    }
};

// The rule against links is for what lies inside the run folder, not for
// the folder the user named: -d lnk and -d lnk/new lead where lnk leads.
TEST_F(TargetFolder, FollowsTheLinksTheUserGave) {
    const std::string program = sfx();
    fs::create_directories(work("real"));
    ASSERT_EQ(symlink("real", work("lnk").c_str()), 0);
    for (const std::string target : {"lnk", "lnk/new"}) {
        const RunResult result = run_with(program, {"-q", "-d", target});
        EXPECT_EQ(result.status, 0) << target << result.out;
    }
    EXPECT_EQ(read_file("real/f.txt"), "text");
    EXPECT_EQ(read_file("real/new/f.txt"), "text");

    // Given twice, neither wins: refused as two modes are.
    const RunResult twice = run_with(program, {"-d", "one", "-d", "two"});
    EXPECT_EQ(twice.status, 10);
    EXPECT_EQ(twice.out.rfind(console("Conflicting option: -d\r\n"), 0), 0u) << twice.out;
    EXPECT_FALSE(exists("one") || exists("two"));
}

TEST_F(TargetFolder, ABackslashOnLinuxIsPartOfTheName) {
    WINE_DIFFERS("a backslash separates folders on Windows");
    const RunResult result = run_with(sfx(), {"-q", "-d", "a\\b"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(listing(), (std::vector<std::string>{"a\\b/", "a\\b/f.txt"}));
}

}  // namespace
}  // namespace e2e
