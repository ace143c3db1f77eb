// The line on standard error that says what failed and where: the path and
// the reason, before the status message, which stays as it was on standard
// output. One failing case for each status that names a path.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "archive/catalogue.h"
#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

TestFile text(const std::string& name, size_t size, uint16_t dir_id = 0) {
    TestFile file;
    file.name = name;
    file.dir_id = dir_id;
    for (uint32_t i = 0; file.content.size() < size; ++i)
        file.content += "row " + std::to_string(i) + "\n";
    file.content.resize(size);
    return file;
}

class ErrorLine : public EndToEnd {
protected:
    void SetUp() override {
        EndToEnd::SetUp();
        WINE_DIFFERS("the Windows stub writes no error lines");
    }
    // What the runs wrote on standard error since the last call.
    std::string errors() {
        const std::string path = root_ + "/stderr.txt";
        std::ifstream in(path, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        in.close();
        fs::remove(path);
        return all.str();
    }
    // Runs `archive` (with `words`) and checks the status, the unchanged
    // status message at the end of standard output, and the error line.
    void expect_failure(const ArchiveBuilder& archive, const std::vector<std::string>& words,
                        const Script& script, int status, const std::string& message,
                        const std::string& line) {
        errors();
        const RunResult result = run_with(make_sfx(archive.archive()), words, script);
        EXPECT_EQ(result.status, status) << result.out;
        EXPECT_TRUE(ends_with(result.out, failure(message))) << result.out;
        EXPECT_EQ(errors(), line + "\n");
    }
};

TEST_F(ErrorLine, EachFailingStatusNamesThePathAndTheReason) {
    ArchiveBuilder archive;
    archive.dirs = {{1, "sub", 0, 0}};
    archive.files = {text("f.txt", 3000), text("g.txt", 100, 1)};

    // 3: the target folder given is a file.
    write_file("plain", "x");
    expect_failure(archive, {"-d", "plain"}, {}, 3, "File I/O error", "plain: not a folder");
    // 6: a file stands where the folder of g.txt must be made.
    write_file("sub", "x");
    expect_failure(archive, {"-q"}, {}, 6, "mktemp() fail",
                   "sub/zq000000: a folder on the way cannot be made");
    fs::remove_all(work_);
    fs::create_directories(work("f.txt"));
    // 1: a folder is where the file goes, and the user says to replace it.
    expect_failure(archive, {"-y", "-q"}, {}, 1, "Abort !", "f.txt: a folder is in the way");
    fs::remove_all(work_);
    fs::create_directories(work_);

    // 2: the disk fills up under the block-coded file.
    ArchiveBuilder big;
    big.files = {text("big.txt", 200000)};
    Script full;
    full.file_size_limit = 50000;
    expect_failure(big, {"-q"}, full, 2, "No disk space", "big.txt: the disk is full");
    EXPECT_TRUE(listing().empty());

    // 7: frames that expand past the recorded size.
    big.files[0].recorded_size = 1;
    expect_failure(big, {"-q"}, {}, 7, "Decode failed",
                   "big.txt: more data than its recorded size");
    EXPECT_TRUE(listing().empty());
}

TEST_F(ErrorLine, RefusedLinksAndArchivesAreNamed) {
    // 8: a link record that leads out of the run folder.
    ArchiveBuilder links;
    links.files = {TestFile{"first.txt", 0, "x\n", false}, TestFile{"bad", 0, "../out", false}};
    links.files.back().ext_word = zq::kExtHasCrc | zq::kExtSymlink;
    expect_failure(links, {}, {}, 8, "Invalid archive", "bad: the link leads out of the folder");

    // zqpack extract says the same, and names an archive it cannot read.
    const std::string sfx = make_sfx(links.archive());
    RunResult result = run_host({zqpack_path(), "extract", sfx, "-C", work_});
    EXPECT_EQ(result.status, 8);
    EXPECT_EQ(errors(), "bad: the link leads out of the folder\n");
    write_file("not_an_archive", std::string(64, 'x'));
    result = run_host({zqpack_path(), "extract", work("not_an_archive"), "-C", work_});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(errors(), work("not_an_archive") + ": no archive at its end\n");
    EXPECT_TRUE(listing() == std::vector<std::string>{"not_an_archive"});
}

}  // namespace
}  // namespace e2e
