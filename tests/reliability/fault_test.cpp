// Faults around a real extraction: a file system that fills up, a folder that
// cannot be written, a directory standing at a target name, and console
// events (SIGINT, SIGTERM, SIGHUP) at random moments. Afterwards every file
// under a target name is whole, no temporary file is left, and the exit
// status matches the message.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>

#include "rel_support.h"

namespace rel {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

// A tmpfs mounted for the length of a test; `reason` says why when it could
// not be.
class Mount {
public:
    Mount(const std::string& dir, const char* options, unsigned long flags = 0) : dir_(dir) {
        fs::create_directories(dir);
        if (mount("tmpfs", dir.c_str(), "tmpfs", flags, options) == 0) {
            mounted_ = true;
        } else {
            reason_ = std::string("cannot mount a tmpfs here (") + std::strerror(errno) + ")";
        }
    }
    ~Mount() {
        if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& reason() const { return reason_; }

private:
    std::string dir_;
    bool mounted_ = false;
    std::string reason_;
};

class Faults : public ::testing::Test {
protected:
    Outcome run_in(const std::string& dir, const Bytes& archive, const std::string& input = "",
                   uid_t as = 0) {
        const std::string sfx = scratch_.root() + "/fault.sfx";
        write_sfx(sfx, archive);
        RunOptions options;
        options.cwd = dir;
        options.input = input;
        options.run_as = as;
        Outcome outcome = run_program({sfx}, options);
        EXPECT_TRUE(outcome.exited())
            << "signal " << outcome.signal << (outcome.timed_out ? " (hang)" : "");
        return outcome;
    }

    Scratch scratch_;
};

TEST_F(Faults, FullFileSystemKeepsFinishedFilesAndLeavesNoTemporary) {
    const std::string dir = scratch_.work() + "/small";
    Mount tmpfs(dir, "size=256k");
    if (!tmpfs.mounted()) GTEST_SKIP() << tmpfs.reason();
    const Bytes small = mixed_data(40000, 1);
    const Bytes big = mixed_data(2 << 20, 2);
    for (bool coded : {true, false}) {
        SCOPED_TRACE(coded ? "block-coded" : "raw");
        fs::remove_all(dir + "/first.txt");
        const Outcome outcome =
            run_in(dir, flat_archive({{"first.txt", small}, {"second.txt", big, coded}}));
        // A block-coded file that cannot be written in full is "No disk space";
        // a raw copy has one code for every failure.
        const int code = coded ? 2 : 3;
        EXPECT_EQ(outcome.status, code) << outcome.out;
        EXPECT_EQ(last_line(outcome.out), coded ? "No disk space" : "File I/O error");
        const Tree tree = scan(dir);
        EXPECT_EQ(tree.names, std::vector<std::string>{"first.txt"});
        EXPECT_TRUE(tree.files.count("first.txt") && tree.files.at("first.txt") == small);
    }
}

TEST_F(Faults, ReadOnlyFolderIsRefusedWithNothingWritten) {
    const Bytes archive = flat_archive({{"a.txt", mixed_data(5000, 3)}});
    {
        const std::string dir = scratch_.work() + "/ro";
        Mount tmpfs(dir, "size=256k", MS_RDONLY);
        if (!tmpfs.mounted()) {
            std::printf("read-only mount skipped: %s\n", tmpfs.reason().c_str());
        } else {
            const Outcome outcome = run_in(dir, archive);
            EXPECT_EQ(outcome.status, 6) << outcome.out;
            EXPECT_EQ(last_line(outcome.out), "mktemp() fail");
            EXPECT_EQ(scan(dir).names, std::vector<std::string>{});
        }
    }
    // The same through permissions; root passes them, so the run drops to
    // nobody when we are root.
    const std::string dir = scratch_.work() + "/locked";
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                             fs::perms::group_exec | fs::perms::others_read |
                             fs::perms::others_exec);
    const Outcome outcome = run_in(dir, archive, "", geteuid() == 0 ? kNobody : 0);
    EXPECT_EQ(outcome.status, 6) << outcome.out;
    EXPECT_EQ(last_line(outcome.out), "mktemp() fail");
    EXPECT_EQ(scan(dir).names, std::vector<std::string>{});
}

TEST_F(Faults, DirectoryAtTheTargetNameIsAnAbort) {
    const std::string dir = scratch_.work();
    fs::create_directories(dir + "/clash");
    write_bytes(dir + "/clash/keep.txt", bytes_of("kept"));
    const Bytes before = mixed_data(3000, 4);
    const Outcome outcome =
        run_in(dir, flat_archive({{"before.txt", before}, {"clash", mixed_data(3000, 5)}}), "y\n");
    EXPECT_EQ(outcome.status, 1) << outcome.out;
    EXPECT_EQ(last_line(outcome.out), "Abort !");
    const Tree tree = scan(dir);
    EXPECT_EQ(tree.names, (std::vector<std::string>{"before.txt", "clash/", "clash/keep.txt"}));
    EXPECT_EQ(tree.files.at("before.txt"), before);
    EXPECT_EQ(tree.files.at("clash/keep.txt"), bytes_of("kept"));
}

// Console text that nobody reads any more is not a reason to stop half way:
// the extraction goes on as it would with a closed console, and above all no
// partial temporary file stays behind.
TEST_F(Faults, OutputReaderGoingAwayMidRunLeavesNoPartialFile) {
    const std::vector<PlainFile> files = {{"a.txt", mixed_data(3 << 20, 21)},
                                          {"b.txt", mixed_data(3 << 20, 22)}};
    const std::string sfx = scratch_.root() + "/pipe.sfx";
    write_sfx(sfx, flat_archive(files));
    for (size_t limit : {size_t(0), size_t(150), size_t(260)}) {
        scratch_.clear_work();
        RunOptions options;
        options.cwd = scratch_.work();
        options.output_limit = limit;
        options.timeout_ms = 30000;
        const Outcome outcome = run_program({sfx}, options);
        const std::string what = "reader gone after " + std::to_string(limit) + " bytes";
        EXPECT_TRUE(outcome.exited()) << what << ": signal " << outcome.signal;
        EXPECT_EQ(outcome.status, 0) << what;
        const Tree tree = scan(scratch_.work());
        EXPECT_EQ(temp_files(tree), std::vector<std::string>{}) << what;
        EXPECT_EQ(tree.files.size(), files.size()) << what;
        for (const PlainFile& file : files) {
            EXPECT_TRUE(tree.files.count(file.name) && tree.files.at(file.name) == file.content)
                << what << ": " << file.name;
        }
    }
}

// Sets ZQSFX_PROGRESS=1 for the programs started while it lives.
class ProgressInPipes {
public:
    ProgressInPipes() { setenv("ZQSFX_PROGRESS", "1", 1); }
    ~ProgressInPipes() { unsetenv("ZQSFX_PROGRESS"); }
};

// SIGINT, SIGTERM and SIGHUP at random moments of a run over several files,
// a large one among them.
TEST_F(Faults, SignalsAtRandomMomentsLeaveOnlyWholeFiles) {
    const std::vector<PlainFile> files = {{"one.txt", mixed_data(70000, 11)},
                                          {"large.bin", mixed_data(6 << 20, 12)},
                                          {"raw.bin", mixed_data(600000, 13), false},
                                          {"two.txt", mixed_data(1000, 14)},
                                          {"last.txt", mixed_data(200000, 15)}};
    const std::string sfx = scratch_.root() + "/signals.sfx";
    write_sfx(sfx, flat_archive(files));
    // The progress marks are what holds a run inside large.bin (below), and
    // the Linux stub draws them in a pipe only when asked to.
    ProgressInPipes progress_in_pipes;

    // How long an undisturbed run takes (the median of three), to spread the
    // signals over it.
    RunOptions plain;
    plain.cwd = scratch_.work();
    std::vector<long> undisturbed_us;
    std::string undisturbed_out;
    for (int i = 0; i < 3; ++i) {
        scratch_.clear_work();
        const auto start = std::chrono::steady_clock::now();
        const Outcome whole = run_program({sfx}, plain);
        undisturbed_us.push_back(long(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count()));
        ASSERT_EQ(whole.status, 0) << whole.out;
        undisturbed_out = whole.out;
    }
    std::sort(undisturbed_us.begin(), undisturbed_us.end());
    const long run_us = undisturbed_us[1];
    // The aimed runs let the output through up to the "|" that opens
    // large.bin's progress marks, written once its temporary file is open;
    // the stub then blocks on its first mark, mid-file, and is signalled there.
    const size_t large_line = undisturbed_out.find("large.bin\n");
    ASSERT_NE(large_line, std::string::npos) << undisturbed_out;
    const size_t large_marks = undisturbed_out.find(": |", large_line);
    ASSERT_NE(large_marks, std::string::npos) << undisturbed_out;
    const size_t room_before_marks = large_marks + 3;

    std::mt19937 random(20261208);
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    int aborted = 0, completed = 0, before_handler = 0, inside_large = 0;
    const int kRuns = 120;
    for (int run = 0; run < kRuns; ++run) {
        scratch_.clear_work();
        RunOptions options;
        options.cwd = scratch_.work();
        options.signal = signals[run % 3];
        // One run in four is held inside the large file. Of the rest, one in
        // six lands in the first few milliseconds (start-up, the catalogue)
        // and the others anywhere in the run or just after it.
        const bool aim_at_large = run % 4 == 3;
        options.signal_delay_us = run % 6 == 5
                                      ? long(random() % 3000u)
                                      : long(random() % uint32_t(run_us + run_us * 3 / 5 + 1));
        Outcome outcome;
        if (aim_at_large) {
            const HeldOutcome held =
                run_held({sfx}, scratch_.work(), room_before_marks, options.signal);
            ASSERT_TRUE(held.held) << "run " << run << " never reached large.bin's marks:\n"
                                   << held.out;
            outcome = held;
        } else {
            outcome = run_program({sfx}, options);
        }
        const std::string what =
            "run " + std::to_string(run) + ", signal " + std::to_string(options.signal) +
            (aim_at_large ? " inside large.bin"
                          : " after " + std::to_string(options.signal_delay_us) + " us");
        ASSERT_FALSE(outcome.timed_out) << what;
        const Tree tree = scan(scratch_.work());
        EXPECT_EQ(temp_files(tree), std::vector<std::string>{}) << what;
        for (const auto& [name, content] : tree.files) {
            bool whole_file = false;
            for (const PlainFile& file : files)
                whole_file |= file.name == name && file.content == content;
            EXPECT_TRUE(whole_file) << what << ": " << name << " is not the original";
        }
        if (aim_at_large) {
            // The file in progress never appears; the one before it stays.
            EXPECT_EQ(outcome.status, 1) << what << "\n" << outcome.out;
            EXPECT_EQ(last_line(outcome.out), "Abort !") << what;
            EXPECT_EQ(tree.files.count("large.bin"), 0u) << what;
            EXPECT_EQ(tree.files.count("one.txt"), 1u) << what;
            ++inside_large;
        } else if (outcome.signal != 0) {
            // Only possible before the handler is in place, which is before
            // the first byte of output.
            EXPECT_EQ(outcome.signal, options.signal) << what;
            EXPECT_EQ(outcome.out, "") << what;
            EXPECT_EQ(tree.names, std::vector<std::string>{}) << what;
            ++before_handler;
        } else if (outcome.status == 1) {
            EXPECT_EQ(last_line(outcome.out), "Abort !") << what;
            ++aborted;
        } else {
            EXPECT_EQ(outcome.status, 0) << what << "\n" << outcome.out;
            EXPECT_EQ(tree.files.size(), files.size()) << what;
            EXPECT_EQ(outcome.out.find("Abort"), std::string::npos) << what;
            ++completed;
        }
    }
    std::printf(
        "%d runs (undisturbed run %ld us): %d inside large.bin, and at random moments %d aborted, "
        "%d completed first, %d ended before the handler\n",
        kRuns, run_us, inside_large, aborted, completed, before_handler);
}

}  // namespace
}  // namespace rel
