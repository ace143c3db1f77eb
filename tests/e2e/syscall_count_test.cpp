// What a tree of small files costs in system calls, counted with strace.
// Each folder is walked once, held open and listed once, a file's times and
// mode go on its open handle, and the archive is read 64 KiB at a time, so
// an extracted file costs about five calls: the exclusive creation, the
// write, the times, the close and the rename; the look at its target is
// answered from the folder's listing (240 files here took 1,508
// calls in all, 1,740 with a look per file). The bound below (kCallsPerFile
// for each file, plus kStartUpCalls) leaves room for a few calls more; a
// look per file, a seek and two reads per file, or walking every path from
// the run folder again for each call, fail it.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// A sanitizer's runtime makes hundreds of calls of its own at start-up, and
// its leak check refuses to run under ptrace: the bound is the release stub's.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr uint64_t kCallsPerFile = 6;
constexpr uint64_t kStartUpCalls = 150;
const char kStrace[] = "/usr/bin/strace";

// The calls of every row of an `strace -c` summary.
uint64_t total_calls(const std::string& path) {
    std::ifstream in(path);
    uint64_t total = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream row(line);
        std::vector<std::string> words;
        for (std::string word; row >> word;) words.push_back(word);
        if (words.size() < 5 || words.back() == "total" || words[0].find('%') != std::string::npos)
            continue;
        if (words[3].find_first_not_of("0123456789") != std::string::npos) continue;
        total += std::stoull(words[3]);
    }
    return total;
}

// One decoding thread: the workers' hand-overs would add a number of futex
// calls that depends on the scheduler. A run that strace cannot count, or
// that is not the release Linux stub's, is skipped.
class SystemCalls : public EndToEnd {
protected:
    void SetUp() override {
        EndToEnd::SetUp();
        const char* workers = getenv("ZQSFX_WORKERS");
        saved_ = workers == nullptr ? "" : workers;
        setenv("ZQSFX_WORKERS", "1", 1);
        WINE_DIFFERS("the count is the Linux stub's");
        if (!run_prefix().empty()) GTEST_SKIP() << "the stub runs through ZQSFX_RUN";
        if (kSanitized) GTEST_SKIP() << "a sanitizer's runtime adds calls of its own";
        if (!fs::exists(kStrace)) GTEST_SKIP() << "no strace at " << kStrace;
        const RunResult probe = run_host({kStrace, "-f", "-o", "/dev/null", "/bin/true"});
        if (probe.status != 0)
            GTEST_SKIP() << "strace cannot trace here (ptrace refused): " << probe.out;
    }
    void TearDown() override {
        if (saved_.empty()) {
            unsetenv("ZQSFX_WORKERS");
        } else {
            setenv("ZQSFX_WORKERS", saved_.c_str(), 1);
        }
        EndToEnd::TearDown();
    }
    std::string saved_;
};

TEST_F(SystemCalls, ASmallTreeCostsAFewCallsPerFile) {
    // 240 small files in twelve folders two and three deep.
    ArchiveBuilder archive;
    archive.dir_tree = true;
    archive.dirs = {{1, "a", 0, 1}, {2, "b", 2, 3}, {3, "c", 0, 4}, {4, "deep"}, {5, "deeper"}};
    uint64_t files = 0;
    for (uint16_t dir = 1; dir <= 5; ++dir) {
        for (int i = 0; i < 48; ++i, ++files) {
            TestFile file;
            file.name = "f" + std::to_string(i) + ".h";
            file.dir_id = dir;
            file.content = "#define X" + std::to_string(i) + " " + std::string(200 + i, 'x') + "\n";
            archive.files.push_back(file);
        }
    }
    const std::string sfx = make_sfx(archive.archive());
    const std::string summary = root_ + "/calls.txt";
    const RunResult result = run_host({kStrace, "-f", "-c", "-o", summary, sfx, "-q"});
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(read_file("a/b/deep/f47.h"), archive.files[3 * 48 + 47].content);
    const uint64_t calls = total_calls(summary);
    RecordProperty("calls", std::to_string(calls));
    EXPECT_GT(calls, files);  // the summary was read
    EXPECT_LE(calls, kCallsPerFile * files + kStartUpCalls)
        << calls << " calls for " << files << " files";
}

TEST_F(SystemCalls, EachFolderOfADeepBranchIsOpenedOnlyAFewTimes) {
    // r/s/t/u/v/w0..w23/x, three files in each x: more folders below v than
    // are kept at once, so v and its ancestors must outlast its children.
    // A folder's `next` and `child` are indices into the list, its id the
    // index plus one.
    ArchiveBuilder archive;
    archive.dir_tree = true;
    const char* chain[] = {"r", "s", "t", "u", "v"};
    for (uint16_t index = 0; index < 5; ++index)
        archive.dirs.push_back({int16_t(index + 1), chain[index], 0, uint16_t(index + 1)});
    constexpr uint16_t kBranches = 24;
    for (uint16_t i = 0; i < kBranches; ++i) {
        const uint16_t w = uint16_t(5 + 2 * i);
        const uint16_t next = i + 1 < kBranches ? uint16_t(w + 2) : 0;
        archive.dirs.push_back({int16_t(w + 1), "w" + std::to_string(i), next, uint16_t(w + 1)});
        archive.dirs.push_back({int16_t(w + 2), "x"});
        for (int k = 0; k < 3; ++k) {
            TestFile file;
            file.name = "f" + std::to_string(k);
            file.dir_id = uint16_t(w + 2);
            file.content = std::string(100 + k, char('a' + i));
            archive.files.push_back(file);
        }
    }
    const std::string sfx = make_sfx(archive.archive());
    const std::string log = root_ + "/opens.txt";
    const RunResult result = run_host({kStrace, "-f", "-e", "trace=openat", "-o", log, sfx, "-q"});
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(read_file("r/s/t/u/v/w23/x/f2"), archive.files.back().content);
    std::ifstream in(log);
    uint64_t folder_opens = 0;
    for (std::string line; std::getline(in, line);)
        folder_opens += line.find("O_DIRECTORY") != std::string::npos;
    // Each folder opened once as it is made and once as it is filled, and a
    // few more: walking down from the top again for each x costs five more
    // per branch.
    const uint64_t folders = archive.dirs.size();
    EXPECT_GE(folder_opens, folders);  // the log was read
    EXPECT_LE(folder_opens, 2 * folders + 4) << folder_opens << " folder opens for " << folders;
}

}  // namespace
}  // namespace e2e
