// End-to-end harness: builds real self-extractors from a stub and an archive,
// runs them in a scratch folder with answers fed prompt by prompt, and hands
// back the console bytes and the exit status.
//
// Environment:
//   ZQSFX_STUB  the stub to put in front of the archives (default: the zqsfx
//               of this build); a name ending in ".exe" gives the built
//               self-extractors that suffix too
//   ZQSFX_RUN   a command prefix for running them, e.g. "wine" or
//               "qemu-aarch64" (default none)
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "child.h"
#include "json_check.h"
#include "support.h"
#include "writer/writer.h"

namespace e2e {

using zq::Bytes;
using zq::test::archive_of;
using zq::test::ArchiveBuilder;
using zq::test::bytes_of;
using zq::test::encrypted_stub_path;
using zq::test::stub_path;
using zq::test::TestDir;
using zq::test::TestFile;
using zq::test::wide_stub_path;
using zq::test::zqpack_path;

// The words of ZQSFX_RUN, which go before every run of the stub.
std::vector<std::string> run_prefix();
bool under_wine();

// Says where running under Wine forces a different outcome, and why. The
// macro stops the test there (reported as skipped with the reason); the
// function lets a test leave out one part, noting the reason in the log.
// Both do nothing outside Wine.
#define WINE_DIFFERS(reason)                                         \
    do {                                                             \
        if (::e2e::under_wine()) GTEST_SKIP() << "Wine: " << reason; \
    } while (0)
bool wine_differs(const std::string& reason);

struct RunResult {
    std::string out;    // everything written to standard output
    int status = -1;    // exit status, or -1 when killed
    int killed_by = 0;  // the signal that ended it, when killed
};

// What the user does during a run.
struct Script {
    // One line per question or password prompt, in order; standard input
    // ends when a prompt comes that has no answer left.
    std::vector<std::string> answers;
    // When not empty, the whole of standard input, given before the run
    // starts and then closed, as a script or a file gives it; `answers` is
    // not used then.
    std::string input;
    // Sent once standard output contains `signal_after` and, when
    // `signal_file` is named, that file in the work folder has grown to
    // `signal_file_size` bytes (watched closely, to catch a run mid-file).
    int signal = 0;
    std::string signal_after;
    std::string signal_file;
    int64_t signal_file_size = 0;
    // In place of `signal_file`: sent once this holds (checked as closely).
    std::function<bool()> signal_when;
    // When not 0, files the run writes cannot grow past this many bytes
    // (a full disk, as far as the program can tell).
    int64_t file_size_limit = 0;
};

// A script of answers only.
inline Script say(std::vector<std::string> answers) {
    Script script;
    script.answers = std::move(answers);
    return script;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes stub + archive + trailer as a runnable self-extractor beside the
    // work folder and returns its path; its JSON listing is checked, with
    // `password` when it has one.
    std::string make_sfx(const Bytes& archive, const std::string& name = "sfx",
                         const std::string& password = "");
    // Runs a program with the work folder as its current directory.
    RunResult run(const std::string& program, const Script& script = {});
    // The same with words on its command line.
    RunResult run_with(const std::string& program, const std::vector<std::string>& words,
                       const Script& script = {});
    // Runs a host program (no ZQSFX_RUN prefix) the same way.
    RunResult run_host(const std::vector<std::string>& command, const Script& script = {});
    RunResult run_archive(const ArchiveBuilder& builder, const Script& script = {});

    // Files in the work folder (paths with '/').
    std::string work(const std::string& path) const { return work_ + "/" + path; }
    void write_file(const std::string& path, const std::string& content) const;
    std::string read_file(const std::string& path) const;
    bool exists(const std::string& path) const;
    bool is_dir(const std::string& path) const;
    bool is_read_only(const std::string& path) const;
    int64_t mtime(const std::string& path) const;
    int64_t atime(const std::string& path) const;
    // Every name under the work folder, sorted, folders ending in '/'.
    std::vector<std::string> listing() const;
    // True when no temporary file ("zq" and six digits) is left anywhere.
    bool no_temp_files() const;

    std::string root_;
    std::string work_;

private:
    std::unique_ptr<zq::test::ScratchDir> scratch_;
    RunResult run_command(std::vector<std::string> words, const Script& script);
};

bool ends_with(const std::string& text, const std::string& tail);

// The bytes the stub under test writes to a pipe where the Windows stub
// writes `windows_bytes`: identical under Wine; the Linux stub keeps the
// Linux conventions (zq::test::piped_linux_console). Every expectation below
// passes through it, and translating twice changes nothing.
std::string console(const std::string& windows_bytes);

// The console bytes of a run, as the user sees them.
std::string banner();
// A block-coded file's lines with `marks` progress marks (49 when complete).
std::string coded_lines(const std::string& name, int marks = 49, char marker = '+');
// The same for a file whose run ends after `marks` marks, before its "done.".
std::string cut_coded_lines(const std::string& name, int marks, char marker = '+');
// A block-coded file of size 0: no opening '|', no marks.
std::string empty_coded_lines(const std::string& name, char marker = '+');
std::string raw_lines(const std::string& name, char marker = ' ');
// What a file line names in a pipe: the Linux stub the stored path ('/'
// between folders), the Windows stub the bare name.
std::string logged(const std::string& name, const std::string& path);
// The overwrite question and the line break after the answer.
std::string question(const std::string& target);
// The line break and message of a failed run.
std::string failure(const std::string& message);

}  // namespace e2e
