// Hostile surroundings and hostile records: links planted in the run folder,
// files that expand past their recorded size, answers given all at once.
#include <unistd.h>

#include <filesystem>

#include "archive/catalogue.h"
#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

TestFile text_file(const std::string& name, size_t size, uint16_t dir_id = 0) {
    TestFile file;
    file.name = name;
    file.dir_id = dir_id;
    for (uint32_t i = 0; file.content.size() < size; ++i)
        file.content += "line " + std::to_string(i % 977) + "\n";
    file.content.resize(size);
    return file;
}

class Surroundings : public EndToEnd {
protected:
    // Every name under the folder beside the work folder that a link leads to.
    std::vector<std::string> elsewhere() const {
        std::vector<std::string> names;
        for (auto& entry : fs::recursive_directory_iterator(root_ + "/elsewhere")) {
            names.push_back(fs::relative(entry.path(), root_ + "/elsewhere").string());
        }
        return names;
    }
};

// `d` in the run folder leads elsewhere; the archive holds d\f.txt, or
// d\sub\f.txt, with and without the tree made first.
TEST_F(Surroundings, NothingIsWrittenThroughALinkOnTheWay) {
    fs::create_directories(root_ + "/elsewhere/sub");
    ASSERT_EQ(symlink("../elsewhere", work("d").c_str()), 0);
    for (bool tree : {false, true}) {
        for (uint16_t dir_id : {1, 2}) {
            SCOPED_TRACE(std::string(tree ? "tree" : "no tree") + ", folder " +
                         std::to_string(dir_id));
            ArchiveBuilder archive;
            archive.dir_tree = tree;
            archive.dirs = {{1, "d", 0, 1}, {2, "sub"}};
            archive.files = {text_file("f.txt", 5000, dir_id)};
            const RunResult result = run_archive(archive);
            EXPECT_EQ(result.status, 3) << result.out;
            EXPECT_TRUE(result.out.size() >= failure("File I/O error").size() &&
                        result.out.compare(result.out.size() - failure("File I/O error").size(),
                                           std::string::npos, failure("File I/O error")) == 0)
                << result.out;
            EXPECT_EQ(elsewhere(), std::vector<std::string>{"sub"});
        }
    }
}

// The self-extractor's own path may be as long as the system allows, longer
// than the 512-byte buffers of the paths it extracts to.
TEST_F(Surroundings, RunsFromAPathLongerThanItsPathBuffers) {
    WINE_DIFFERS("Windows programs keep to their own path limits");
    std::string deep;
    for (char c : std::string("abcde")) deep += std::string(120, c) + "/";
    fs::create_directories(root_ + "/" + deep);
    ArchiveBuilder archive;
    archive.files = {text_file("f.txt", 3000)};
    const std::string sfx = make_sfx(archive.archive(), deep + "sfx");
    ASSERT_GT(sfx.size(), 512u);
    const RunResult result = run(sfx);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(read_file("f.txt"), archive.files[0].content);
}

// A file recorded as 1 byte whose frames hold 300000: with writes limited to
// the record plus one block, any byte more would end the run as a full disk.
TEST_F(Surroundings, AFileStopsAtItsRecordedSize) {
    ArchiveBuilder archive;
    archive.files = {text_file("small.txt", 300000)};
    archive.files[0].recorded_size = 1;
    Script script;
    script.file_size_limit = 1 + 32768;
    const RunResult result = run_archive(archive, script);
    EXPECT_EQ(result.out, banner() + coded_lines("small.txt") + failure("Decode failed"));
    EXPECT_EQ(result.status, 7);
    EXPECT_TRUE(listing().empty());
}

// A link record whose folder is a planted link: the temporary link is not
// made through it (it was, in the folder the planted link leads to, and
// stayed there), and the run ends as for a file.
TEST_F(Surroundings, NoLinkIsMadeThroughALinkOnTheWay) {
    WINE_DIFFERS("the Windows stub makes no links");
    fs::create_directories(root_ + "/elsewhere");
    ASSERT_EQ(symlink("../elsewhere", work("d").c_str()), 0);
    ArchiveBuilder archive;
    archive.dirs = {{1, "d"}};
    archive.files = {TestFile{"l", 1, "x.txt", false}};
    archive.files[0].ext_word = zq::kExtHasCrc | zq::kExtSymlink;
    const RunResult result = run_archive(archive);
    EXPECT_EQ(result.status, 3) << result.out;
    EXPECT_TRUE(ends_with(result.out, failure("File I/O error"))) << result.out;
    EXPECT_TRUE(elsewhere().empty());
}

// A folder swapped for a link while the run waits at a question: the run
// goes on in the folder it verified (now under another name), and nothing
// reaches the link's target.
TEST_F(Surroundings, AFolderSwappedForALinkDuringTheRunIsNotFollowed) {
    WINE_DIFFERS("the Windows stub checks each folder by name, once per run");
    fs::create_directories(root_ + "/elsewhere");
    write_file("d/b.txt", "old\n");
    ArchiveBuilder archive;
    archive.dirs = {{1, "d"}};
    archive.files = {text_file("a.txt", 300, 1), text_file("b.txt", 400, 1),
                     text_file("c.txt", 500, 1)};
    const std::string sfx = make_sfx(archive.archive());
    zq::test::RunOptions options;
    options.cwd = work_;
    options.own_group = false;
    options.errors_to = root_ + "/stderr.txt";
    options.answer = [this, swapped = false](const std::string& out, std::string& typed) mutable {
        if (swapped || out.find("overwrite") == std::string::npos) return true;
        fs::rename(work("d"), work("d_moved"));
        fs::create_directory_symlink("../elsewhere", work("d"));
        swapped = true;
        typed += "y\n";
        return true;
    };
    std::vector<std::string> words = run_prefix();
    words.push_back(sfx);
    const zq::test::Outcome outcome = zq::test::run_program(words, options);
    EXPECT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_TRUE(elsewhere().empty());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(read_file("d_moved/" + archive.files[i].name), archive.files[i].content);
    EXPECT_TRUE(no_temp_files());
}

// All answers at once, as a script or a file gives them: each question takes
// its own line.
TEST_F(Surroundings, EachQuestionTakesOneLine) {
    write_file("one", "old one");
    write_file("two", "old two");
    ArchiveBuilder archive;
    archive.files = {text_file("one", 100), text_file("two", 100), text_file("three", 100)};
    Script script;
    script.input = "n\nyes\n";
    RunResult result = run_archive(archive, script);
    EXPECT_EQ(result.out, banner() + question("one") + question("two") + coded_lines("two") +
                              coded_lines("three"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file("one"), "old one");
    EXPECT_EQ(read_file("two"), archive.files[1].content);

    // A wrong password, then the right one; a line longer than the password
    // buffer is one attempt, not two.
    fs::remove(work("three"));
    archive.files = {text_file("three", 100)};
    archive.password = "right";
    const std::string wrong_then_right =
        banner() + console("Password: \r\nPassword fail\r\nPassword: \r") + coded_lines("three");
    for (const std::string& first : {std::string("wrong"), std::string(300, 'j')}) {
        script.input = first + "\nright\n";
        result = run_archive(archive, script);
        EXPECT_EQ(result.out, wrong_then_right);
        EXPECT_EQ(result.status, 0);
        fs::remove(work("three"));
    }
}

}  // namespace
}  // namespace e2e
