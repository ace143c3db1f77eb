// The self-extractor's options, on whichever stub the suite runs.
#include "harness.h"

#include <filesystem>

#include "archive/catalogue.h"

namespace e2e {
namespace {

TestFile file_of(const std::string& name, const std::string& content, uint16_t dir_id = 0,
                 bool coded = true) {
    TestFile file;
    file.name = name;
    file.content = content;
    file.dir_id = dir_id;
    file.coded = coded;
    file.ext_word = zq::kExtHasCrc;
    return file;
}

ArchiveBuilder two_files() {
    ArchiveBuilder archive;
    archive.dirs = {{1, "docs"}};
    archive.files = {file_of("readme.txt", std::string(3000, 'r')),
                     file_of("data.bin", "0123456789", 1, false)};
    return archive;
}

class Options : public EndToEnd {
protected:
    static bool windows_stub() { return ends_with(stub_path(), ".exe"); }
};

TEST_F(Options, ListAndTestWriteNothing) {
    ArchiveBuilder archive = two_files();
    const std::string sfx = make_sfx(archive.archive());
    RunResult result = run_with(sfx, {"-l"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, console(banner() + "      3000  2010-01-01 00:00:00  readme.txt\r\n" +
                                  "        10  2010-01-01 00:00:00  docs\\data.bin\r\n"));
    result = run_with(sfx, {"--test", "-q"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(listing(), std::vector<std::string>{});

    // A file whose CRC does not match fails alone; the others are still checked.
    archive.files.insert(archive.files.begin(), file_of("bad.txt", "good bytes"));
    zq::ArchiveImage image = archive.image();
    image.files[0].crc32 ^= 1;
    result = run_with(make_sfx(archive_of(image)), {"-t"});
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(
        result.out,
        console(banner() + "FAILED  bad.txt\r\nok      readme.txt\r\nok      docs\\data.bin\r\n" +
                failure("Decode failed")));
    EXPECT_EQ(listing(), std::vector<std::string>{});
}

TEST_F(Options, TargetFolderIsMadeWithItsParents) {
    const RunResult result =
        run_with(make_sfx(two_files().archive()), {"-q", "--target", "made/inside"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(listing(),
              (std::vector<std::string>{"made/", "made/inside/", "made/inside/docs/",
                                        "made/inside/docs/data.bin", "made/inside/readme.txt"}));
    EXPECT_EQ(read_file("made/inside/docs/data.bin"), "0123456789");
}

TEST_F(Options, OverwritePolicies) {
    const std::string sfx = make_sfx(two_files().archive());
    write_file("readme.txt", "old");
    RunResult result = run_with(sfx, {"-n", "-q"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, console("readme.txt exists: kept\r\n"));
    EXPECT_EQ(read_file("readme.txt"), "old");
    EXPECT_EQ(read_file("docs/data.bin"), "0123456789");

    result = run_with(sfx, {"-y", "-q"});  // no question, every file replaced
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(read_file("readme.txt"), std::string(3000, 'r'));
}

TEST_F(Options, HelpVersionAndRefusedLinesTouchNothing) {
    const std::string sfx = make_sfx(two_files().archive());
    RunResult result = run_with(sfx, {"--help"});
    EXPECT_EQ(result.status, 0);
    // The usage line names the program as it was started, then one option
    // per line.
    const std::string usage_line = console(
        "Usage: " + std::filesystem::path(sfx).filename().string() + " [OPTIONS] [-- ARGS]\r\n");
    EXPECT_EQ(result.out.rfind(usage_line + console("  -d, --target DIR"), 0), 0u) << result.out;
    EXPECT_EQ(run_with(sfx, {"-h"}).out, result.out);
    const std::string usage = result.out;

    result = run_with(sfx, {"--version"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, banner().substr(0, banner().find('~')));

    for (const auto& [words, line] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--frob"}, "Unknown option: --frob"},
             {{"-qz"}, "Unknown option: -z"},
             {{"x"}, "Unknown option: x"},
             {{"--list=x"}, "Unknown option: --list=x"},
             {{"-y", "-n"}, "Conflicting option: -n"},
             {{"-lt"}, "Conflicting option: -t"},
             {{"-q", "-d"}, "Missing value for -d"},
             {{"--target="}, "Missing value for --target="}}) {
        result = run_with(sfx, words);
        EXPECT_EQ(result.status, 10) << words[0];
        EXPECT_EQ(result.out, console(line + "\r\n") + usage) << words[0];
    }
    // "/?" asks for help where that is the system's way.
    result = run_with(sfx, {"/?"});
    EXPECT_EQ(result.status, windows_stub() ? 0 : 10);
    EXPECT_EQ(result.out, windows_stub() ? usage : console("Unknown option: /?\r\n") + usage);
    EXPECT_EQ(listing(), std::vector<std::string>{});
}

// Letters grouped, a glued value and --target=DIR, as getopt-style tools
// take them.
TEST_F(Options, GroupedLettersAndGluedValues) {
    const std::string sfx = make_sfx(two_files().archive());
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"-qydone"}, {"-yqd", "two"}, {"--target=three", "-qy"}}) {
        const RunResult result = run_with(sfx, words);
        EXPECT_EQ(result.status, 0) << words[0] << result.out;
        EXPECT_EQ(result.out, "") << words[0];
    }
    for (const std::string folder : {"one", "two", "three"})
        EXPECT_EQ(read_file(folder + "/docs/data.bin"), "0123456789") << folder;
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

class Installer : public EndToEnd {
protected:
    // A self-extractor of tree/ whose install.sh writes its words to ran.txt
    // and ends with 3.
    std::string make_installer() {
        zq::test::write_bytes(root_ + "/tree/install.sh",
                              bytes_of("#!/bin/sh\nprintf '%s\\n' \"$@\" > ran.txt\nexit 3\n"),
                              false);
        zq::test::write_bytes(root_ + "/tree/data.txt", bytes_of("payload"));
        const std::string sfx = root_ + "/installer";
        const RunResult made =
            run_host({zqpack_path(), "create", "-o", sfx, "--stub", stub_path(), "-C", root_,
                      "--run", "tree/install.sh", "--run-args", "--prefix \"x y\"", "tree"});
        EXPECT_EQ(made.status, 0) << made.out;
        return sfx;
    }
};

TEST_F(Installer, RunsTheMarkedFileOnlyAfterACompleteRun) {
    WINE_DIFFERS("the marked file here is a shell script");
    const std::string sfx = make_installer();
    const RunResult listed = run_host({zqpack_path(), "list", sfx});
    EXPECT_NE(listed.out.find("tree/install.sh  [runs after extraction: --prefix \"x y\"]"),
              std::string::npos)
        << listed.out;

    RunResult result = run_with(sfx, {"-q", "--noexec"});
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(exists("ran.txt"));
    EXPECT_EQ(read_file("tree/data.txt"), "payload");

    // Refused at the first question: an aborted run runs nothing.
    result = run_with(sfx, {});
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(exists("ran.txt"));

    result = run_with(sfx, {"-y", "-q", "--", "--user", "two words"});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(read_file("ran.txt"), "--prefix\nx y\n--user\ntwo words\n");
}

TEST_F(Installer, TheMarkedProgramGetsBothWordListsAndGivesItsStatus) {
    // The marked program is a stub, so that Windows starts a real program of
    // its own: --version ends it with 0, an option it does not know with the
    // usage status. On Linux it is this machine's own stub, which the
    // extractor can start also when it runs under an emulator itself.
    const bool exe = ends_with(stub_path(), ".exe");
    const std::string inner = std::string("tree/inner") + (exe ? ".exe" : "");
    zq::test::write_bytes(root_ + "/" + inner,
                          zq::test::read_bytes(exe ? stub_path() : zq::test::host_stub_path()),
                          false);
    const std::string sfx = root_ + "/installer" + (exe ? ".exe" : "");
    const RunResult made =
        run_host({zqpack_path(), "create", "-o", sfx, "--stub", stub_path(), "-C", root_, "--run",
                  inner, "--run-args", "--version", "tree"});
    ASSERT_EQ(made.status, 0) << made.out;

    RunResult result = run_with(sfx, {"-y", "-q"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("Self-Extractor V01L09"), std::string::npos) << result.out;
    result = run_with(sfx, {"-y", "-q", "--", "--no-such-option"});
    EXPECT_EQ(result.status, zq::kExitUsage) << result.out;
    EXPECT_NE(result.out.find("--no-such-option"), std::string::npos) << result.out;
}

TEST_F(Installer, MarkSurvivesNamesStoredInACodePage) {
    // Enough of a PE image for zqpack to pack for Windows; it is never run.
    std::string pe(0x48, '\0');
    pe[0] = 'M', pe[1] = 'Z', pe[0x3C] = 0x40, pe[0x40] = 'P', pe[0x41] = 'E';
    zq::test::write_bytes(root_ + "/pe.exe", bytes_of(pe), false);
    zq::test::write_bytes(root_ + "/tree/inst\u00e4ll.bat", bytes_of("@echo off\r\n"));
    const std::string sfx = root_ + "/installer.exe";
    const RunResult made =
        run_host({zqpack_path(), "create", "-o", sfx, "--stub", root_ + "/pe.exe", "-C", root_,
                  "--run", "tree/inst\u00e4ll.bat", "--run-args", "/d \"\u00e9 x\"", "tree"});
    ASSERT_EQ(made.status, 0) << made.out;
    // Stored in code page 1252, both come back as UTF-8 in the listing.
    const RunResult listed = run_host({zqpack_path(), "list", sfx});
    EXPECT_EQ(listed.status, 0) << listed.out;
    EXPECT_NE(listed.out.find("tree/inst\u00e4ll.bat  [runs after extraction: /d \"\u00e9 x\"]"),
              std::string::npos)
        << listed.out;
}

}  // namespace
}  // namespace e2e
