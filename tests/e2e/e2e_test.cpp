// Real self-extractors, run in a scratch folder: console bytes, files, times,
// attributes and exit status.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "harness.h"
#include "platform/platform.h"

namespace e2e {
namespace {

// Text that compresses but is not trivial: words picked by a small generator.
std::string sample_text(size_t size, uint32_t seed = 1) {
    static const char* const words[] = {"archive ", "block ",  "splay ",   "tree ",
                                        "stub\n",   "zq ",     "console ", "byte ",
                                        "frame ",   "offset ", "42 ",      "path\n"};
    std::string text;
    uint32_t state = seed;
    while (text.size() < size) {
        state = state * 1103515245u + 12345u;
        text += words[(state >> 16) % 12];
    }
    text.resize(size);
    return text;
}

std::string binary_bytes(size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 7;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = char(state >> 24);
    }
    return bytes;
}

TestFile coded(const std::string& name, const std::string& content, uint16_t dir_id = 0) {
    TestFile file;
    file.name = name;
    file.content = content;
    file.dir_id = dir_id;
    return file;
}

TestFile raw(const std::string& name, const std::string& content, uint16_t dir_id = 0) {
    TestFile file = coded(name, content, dir_id);
    file.coded = false;
    return file;
}

class Extract : public EndToEnd {};

TEST_F(Extract, PlainRun) {
    ArchiveBuilder archive;
    archive.dirs = {{1, "docs"}};
    archive.files = {coded("readme.txt", sample_text(1200)), raw("data.bin", binary_bytes(5000), 1),
                     coded("big.txt", sample_text(100000, 3)), coded("empty.txt", "")};
    archive.files[0].access_time = 1300000000;
    archive.files[1].write_time = 946684800;
    const RunResult result = run_archive(archive);

    // Times first: reading a file may move its access time.
    EXPECT_EQ(mtime("readme.txt"), 1262304000);
    EXPECT_EQ(atime("readme.txt"), 1300000000);
    EXPECT_EQ(mtime("docs/data.bin"), 946684800);
    EXPECT_EQ(atime("docs/data.bin"), 946684800);  // -1: the write time
    EXPECT_EQ(mtime("empty.txt"), 1262304000);
    EXPECT_EQ(result.out, banner() + coded_lines("readme.txt") +
                              raw_lines(logged("data.bin", "docs/data.bin")) +
                              coded_lines("big.txt") + empty_coded_lines("empty.txt"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(listing(), (std::vector<std::string>{"big.txt", "docs/", "docs/data.bin", "empty.txt",
                                                   "readme.txt"}));
    EXPECT_EQ(read_file("readme.txt"), sample_text(1200));
    EXPECT_EQ(read_file("docs/data.bin"), binary_bytes(5000));
    EXPECT_EQ(read_file("big.txt"), sample_text(100000, 3));
    EXPECT_EQ(read_file("empty.txt"), "");
    EXPECT_FALSE(is_read_only("readme.txt"));
}

TEST_F(Extract, EmptyArchiveShowsOnlyTheBanner) {
    const RunResult result = run_archive(ArchiveBuilder{});
    EXPECT_EQ(result.out, banner());
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(listing().empty());
}

TEST_F(Extract, FullPathsMakeTheTreeOnlyWhenAsked) {
    ArchiveBuilder archive;
    // a > b, and c (empty) beside a.
    archive.dirs = {{1, "a", 2, 1}, {2, "b"}, {3, "c"}};
    archive.files = {coded("f.txt", "in b", 2), coded("g.txt", "in a", 1)};
    RunResult result = run_archive(archive);
    EXPECT_EQ(result.out, banner() + coded_lines(logged("f.txt", "a/b/f.txt")) +
                              coded_lines(logged("g.txt", "a/g.txt")));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(listing(), (std::vector<std::string>{"a/", "a/b/", "a/b/f.txt", "a/g.txt"}));

    std::filesystem::remove_all(work_);
    std::filesystem::create_directory(work_);
    archive.dir_tree = true;
    result = run_archive(archive);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(listing(), (std::vector<std::string>{"a/", "a/b/", "a/b/f.txt", "a/g.txt", "c/"}));
    EXPECT_EQ(read_file("a/b/f.txt"), "in b");
}

TEST_F(Extract, FlatLayoutAsksWhenTwoFilesShareAName) {
    ArchiveBuilder archive;
    archive.full_path = false;
    archive.dir_tree = true;  // ignored without full paths
    archive.dirs = {{1, "x", 1}, {2, "y"}};
    archive.files = {coded("same.txt", "first", 1), coded("same.txt", "second", 2)};
    const RunResult result = run_archive(archive, say({"y\n"}));
    EXPECT_EQ(result.out,
              banner() + coded_lines("same.txt") + question("same.txt") + coded_lines("same.txt"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(listing(), (std::vector<std::string>{"same.txt"}));
    EXPECT_EQ(read_file("same.txt"), "second");
}

TEST_F(Extract, OverwriteAnswers) {
    ArchiveBuilder archive;
    archive.files = {coded("one", "new one"), coded("two", "new two"), coded("three", "new three")};
    const std::string sfx = make_sfx(archive.archive());
    auto reset = [&] {
        write_file("one", "old one");
        write_file("two", "old two");
        write_file("three", "old three");
    };

    // Yes, no, and a YES in capitals.
    reset();
    RunResult result = run(sfx, say({"yes\n", "No\n", "YES\n"}));
    EXPECT_EQ(result.out, banner() + question("one") + coded_lines("one") + question("two") +
                              question("three") + coded_lines("three"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file("one"), "new one");
    EXPECT_EQ(read_file("two"), "old two");
    EXPECT_EQ(read_file("three"), "new three");

    // All: asked once, every later file replaced without a question.
    reset();
    result = run(sfx, say({"a\n"}));
    EXPECT_EQ(result.out, banner() + question("one") + coded_lines("one") + coded_lines("two") +
                              coded_lines("three"));
    EXPECT_EQ(read_file("two"), "new two");

    // Anything else asks again; an empty line too.
    reset();
    result = run(sfx, say({"x\n", "\n", "y\n", "n\n", "n\n"}));
    EXPECT_EQ(result.out, banner() + question("one") + question("one") + question("one") +
                              coded_lines("one") + question("two") + question("three"));
    EXPECT_EQ(result.status, 0);

    // No answer at all: the run ends as an abort instead of asking forever.
    reset();
    result = run(sfx, say({"n\n"}));
    EXPECT_EQ(result.out, banner() + question("one") +
                              console("two\r\n is exist, overwrite(Yes/No/All)? ") +
                              failure("Abort !"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read_file("two"), "old two");
    EXPECT_TRUE(no_temp_files());
}

TEST_F(Extract, DirectoryWhereAFileGoes) {
    std::filesystem::create_directories(work("thing/inner"));
    ArchiveBuilder archive;
    archive.files = {coded("thing", "data")};
    const RunResult result = run_archive(archive, say({"y\n"}));
    EXPECT_EQ(result.out, banner() + question("thing") + coded_lines("thing") + failure("Abort !"));
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(is_dir("thing/inner"));
    EXPECT_TRUE(no_temp_files());
}

TEST_F(Extract, TakenTemporaryNamesAreLeftAlone) {
    write_file("zq000000", "mine");
    write_file("zq000001", "mine as well");
    write_file("d/zq000000", "mine too");
    ArchiveBuilder archive;
    archive.dirs = {{1, "d"}};
    archive.files = {coded("f.txt", "top"), raw("g.txt", "inside", 1)};
    const RunResult result = run_archive(archive);
    EXPECT_EQ(result.out, banner() + coded_lines("f.txt") + raw_lines(logged("g.txt", "d/g.txt")));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file("zq000000"), "mine");
    EXPECT_EQ(read_file("zq000001"), "mine as well");
    EXPECT_EQ(read_file("d/zq000000"), "mine too");
    EXPECT_EQ(listing(), (std::vector<std::string>{"d/", "d/g.txt", "d/zq000000", "f.txt",
                                                   "zq000000", "zq000001"}));
    EXPECT_EQ(read_file("f.txt"), "top");
}

TEST_F(Extract, APlantedLinkIsNeverFollowed) {
    WINE_DIFFERS(
        "GetFileAttributesA follows a dangling link and finds nothing, so the name looks free "
        "and the exclusive creation fails: 6 \"mktemp() fail\"");
    ASSERT_EQ(symlink("victim", work("zq000000").c_str()), 0);
    ASSERT_EQ(symlink("victim2", work("target.txt").c_str()), 0);
    ArchiveBuilder archive;
    archive.files = {coded("f.txt", "top"), coded("target.txt", "replaces the link")};
    const RunResult result = run_archive(archive, say({"y\n"}));
    EXPECT_EQ(result.out,
              banner() + coded_lines("f.txt") + question("target.txt") + coded_lines("target.txt"));
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(exists("victim"));
    EXPECT_FALSE(exists("victim2"));
    EXPECT_EQ(read_file("f.txt"), "top");
    // The link itself is what gets replaced, never what it points at.
    EXPECT_EQ(read_file("target.txt"), "replaces the link");
    EXPECT_FALSE(std::filesystem::is_symlink(work("target.txt")));
    EXPECT_TRUE(std::filesystem::is_symlink(work("zq000000")));
}

TEST_F(Extract, ReadOnlyTargetIsReplacedAndTheRecordDecides) {
    write_file("ro.txt", "old");
    chmod(work("ro.txt").c_str(), 0444);
    write_file("rw.txt", "old");
    chmod(work("rw.txt").c_str(), 0444);
    ArchiveBuilder archive;
    archive.files = {coded("ro.txt", "new ro"), coded("rw.txt", "new rw")};
    archive.files[0].attributes = uint16_t(zq::kAttrReadOnly | zq::kAttrArchive);
    const RunResult result = run_archive(archive, say({"a\n"}));
    EXPECT_EQ(result.out,
              banner() + question("ro.txt") + coded_lines("ro.txt") + coded_lines("rw.txt"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file("ro.txt"), "new ro");
    EXPECT_TRUE(is_read_only("ro.txt"));
    EXPECT_EQ(read_file("rw.txt"), "new rw");
    EXPECT_FALSE(is_read_only("rw.txt"));
}

TEST_F(Extract, Password) {
    ArchiveBuilder archive;
    archive.password = "Open Sesame";
    archive.files = {coded("secret.txt", "treasure")};
    const std::string sfx = make_sfx(archive.archive());
    const std::string after = banner() + console("Password: \r") + coded_lines("secret.txt");

    RunResult result = run(sfx, say({"Open Sesame\n"}));
    EXPECT_EQ(result.out, after);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file("secret.txt"), "treasure");

    // A wrong one is answered and asked again; letter case does not count;
    // the line ending is all that is cut, CR LF or LF.
    std::filesystem::remove(work("secret.txt"));
    result = run(sfx, say({"open sesam\r\n", "OPEN SESAME\r\n"}));
    EXPECT_EQ(result.out, banner() + console("Password: \r\nPassword fail\r\nPassword: \r") +
                              coded_lines("secret.txt"));
    EXPECT_EQ(result.status, 0);

    std::filesystem::remove(work("secret.txt"));
    result = run(sfx, say({"Open Sesame \n", "Open Sesame\n"}));
    EXPECT_EQ(result.out, banner() + console("Password: \r\nPassword fail\r\nPassword: \r") +
                              coded_lines("secret.txt"));

    // No more input: an abort, and nothing extracted.
    std::filesystem::remove(work("secret.txt"));
    result = run(sfx, say({"wrong\n"}));
    EXPECT_EQ(result.out,
              banner() + console("Password: \r\nPassword fail\r\nPassword: ") + failure("Abort !"));
    EXPECT_EQ(result.status, 1) << "killed by " << result.killed_by;
    EXPECT_TRUE(listing().empty());
}

TEST_F(Extract, SizeMismatchIsADecodeFailure) {
    ArchiveBuilder archive;
    archive.files = {coded("ok.txt", "fine"), coded("short.txt", sample_text(1000))};
    archive.files[1].recorded_size = 2000;  // a step of 40 bytes: 25 marks for 1000
    RunResult result = run_archive(archive);
    EXPECT_EQ(result.out, banner() + coded_lines("ok.txt") + coded_lines("short.txt", 25) +
                              failure("Decode failed"));
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(listing(), (std::vector<std::string>{"ok.txt"}));

    std::filesystem::remove(work("ok.txt"));
    archive.files[1].recorded_size = 500;  // more came than recorded
    result = run_archive(archive);
    EXPECT_EQ(result.out, banner() + coded_lines("ok.txt") + coded_lines("short.txt") +
                              failure("Decode failed"));
    EXPECT_EQ(result.status, 7);
    EXPECT_TRUE(no_temp_files());
}

TEST_F(Extract, TruncatedSelfExtractor) {
    ArchiveBuilder archive;
    archive.files = {coded("a.txt", sample_text(3000))};
    const std::string sfx = make_sfx(archive.archive());
    std::filesystem::resize_file(sfx, std::filesystem::file_size(sfx) - 7);
    const RunResult result = run(sfx);
    // The trailer is gone: whatever the last four bytes say leads nowhere.
    ASSERT_TRUE(result.status == 3 || result.status == 8) << result.status;
    EXPECT_EQ(result.out,
              banner() + failure(result.status == 3 ? "File I/O error" : "Invalid archive"));
    EXPECT_TRUE(listing().empty());
}

TEST_F(Extract, DataMissingBehindTheCatalogue) {
    ArchiveBuilder builder;
    builder.files = {raw("gone.bin", "0123456789"), coded("gone.txt", sample_text(3000))};
    zq::ArchiveImage image = builder.image();
    image.files[0].data_offset = 0x7FFF0000;  // far beyond the end of the file
    RunResult result = run(make_sfx(archive_of(image)));
    EXPECT_EQ(result.out,
              banner() +
                  console(" gone.bin\r\n" + std::string(18, ' ') + "Copying original data..." +
                          std::string(27, ' ') + "\r" + std::string(15, ' ') + ": ") +
                  failure("File I/O error"));
    EXPECT_EQ(result.status, 3);
    EXPECT_TRUE(listing().empty());

    image = builder.image();
    image.files[1].data_offset = image.files[0].data_offset;  // not frames at all
    result = run(make_sfx(archive_of(image)));
    EXPECT_EQ(result.status, 3);
    EXPECT_TRUE(ends_with(result.out, failure("File I/O error"))) << result.out;
    EXPECT_EQ(listing(), (std::vector<std::string>{"gone.bin"}));
}

TEST_F(Extract, FullDiskEndsTheRunAndRemovesTheTemporaryFile) {
    WINE_DIFFERS("a file size limit on the Wine process also stops Wine's own files");
    ArchiveBuilder archive;
    archive.files = {coded("fits.txt", "small"), coded("coded.txt", sample_text(300000))};
    Script script;
    script.file_size_limit = 100000;
    RunResult result = run_archive(archive, script);
    // A short write of decoded data: 2 "No disk space", after the marks of
    // three blocks (98304 of 300000 bytes, one mark per 6122).
    EXPECT_EQ(result.out, banner() + coded_lines("fits.txt") + cut_coded_lines("coded.txt", 16) +
                              failure("No disk space"));
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(listing(), (std::vector<std::string>{"fits.txt"}));

    // A short write of a raw copy is an input/output error (3).
    std::filesystem::remove(work("fits.txt"));
    archive.files = {raw("raw.bin", binary_bytes(150000))};
    result = run_archive(archive, script);
    EXPECT_EQ(result.status, 3);
    EXPECT_TRUE(ends_with(result.out, failure("File I/O error"))) << result.out;
    EXPECT_TRUE(listing().empty());
}

TEST_F(Extract, UnsafeNamesAndBrokenReferencesWriteNothing) {
    const std::vector<std::string> bad_names = {
        "..", ".", "a/b", "a\\b", "c:x", std::string("tab\there"), ""};
    for (const std::string& name : bad_names) {
        ArchiveBuilder archive;
        archive.files = {coded("first.txt", "would be written"), coded(name, "x")};
        const RunResult result = run_archive(archive);
        EXPECT_EQ(result.out, banner() + failure("Invalid archive")) << name;
        EXPECT_EQ(result.status, 8) << name;
        EXPECT_TRUE(listing().empty()) << name;
    }
    ArchiveBuilder archive;
    archive.dirs = {{1, "d"}};
    archive.files = {coded("first.txt", "x"), coded("f.txt", "x", 1)};
    zq::ArchiveImage image = archive.image();
    image.files[1].dir_id = 5;  // no such folder
    RunResult result = run(make_sfx(archive_of(image)));
    EXPECT_EQ(result.status, 8);
    image = archive.image();
    image.files[1].name = 0x00050000;  // a pool that is not there
    result = run(make_sfx(archive_of(image)));
    EXPECT_EQ(result.status, 8);
    image = archive.image();
    image.dirs[0].child = 0;
    image.dirs[0].next = 7;  // outside the table
    result = run(make_sfx(archive_of(image)));
    EXPECT_EQ(result.out, banner() + failure("Invalid archive"));
    EXPECT_EQ(result.status, 8);
    EXPECT_TRUE(listing().empty());
}

TEST_F(Extract, Utf8NamesKeepTheirSeparators) {
    WINE_DIFFERS("names pass through the ANSI code page: the Wine tests pack them for one");
    // Both names end in a byte of 0x81-0x9F, a lead byte under code page 932.
    ArchiveBuilder archive;
    archive.dirs = {{1, "\u4e2d\u6587"}};
    archive.files = {coded("\u30c9\u30ad\u30e5\u30e1\u30f3\u30c8.txt", "kanji", 1)};
    const RunResult result = run_archive(archive);
    EXPECT_EQ(result.out,
              banner() + coded_lines("\u4e2d\u6587/\u30c9\u30ad\u30e5\u30e1\u30f3\u30c8.txt"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file("\u4e2d\u6587/\u30c9\u30ad\u30e5\u30e1\u30f3\u30c8.txt"), "kanji");
}

class Interrupt : public EndToEnd {};

TEST_F(Interrupt, EveryControlEventAbortsAndLeavesNoTemporaryFile) {
    ArchiveBuilder archive;
    archive.files = {coded("small.txt", "finished"), coded("large.txt", sample_text(24 << 20, 5))};
    const std::string sfx = make_sfx(archive.archive());
    for (int signal_number : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
        SCOPED_TRACE(signal_number);
        if (signal_number != SIGINT &&
            wine_differs(
                "Wine turns SIGINT into Ctrl+C, but SIGQUIT, SIGHUP and SIGTERM end the Wine "
                "process without a console control event")) {
            continue;
        }
        // Sent once the large file's temporary file holds its first blocks.
        Script script;
        script.signal = signal_number;
        script.signal_after = console("+large.txt\r\n");
        script.signal_file = "zq000000";
        script.signal_file_size = 65536;
        const RunResult result = run(sfx, script);
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(ends_with(result.out, failure("Abort !"))) << result.out;
        EXPECT_EQ(result.out.find("done.", result.out.find("large.txt")), std::string::npos);
        EXPECT_EQ(listing(), (std::vector<std::string>{"small.txt"}));
        EXPECT_EQ(read_file("small.txt"), "finished");
        std::filesystem::remove(work("small.txt"));
        std::filesystem::remove(work("large.txt"));
    }
}

TEST_F(Interrupt, AtThePasswordPrompt) {
    ArchiveBuilder archive;
    archive.password = "pw";
    archive.files = {coded("f.txt", "x")};
    Script script = say({"wrong\n"});
    script.signal = SIGINT;
    script.signal_after = console("Password fail\r\nPassword: ");
    const RunResult result = run_archive(archive, script);
    EXPECT_EQ(result.out,
              banner() + console("Password: \r\nPassword fail\r\nPassword: ") + failure("Abort !"));
    EXPECT_EQ(result.status, 1) << "killed by " << result.killed_by;
    EXPECT_TRUE(listing().empty());
}

}  // namespace
}  // namespace e2e
