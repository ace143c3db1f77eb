#include "harness.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace e2e {

std::vector<std::string> run_prefix() {
    std::vector<std::string> words;
    const char* prefix = std::getenv("ZQSFX_RUN");
    if (prefix == nullptr) return words;
    std::istringstream in(prefix);
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

namespace {

size_t count_of(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}
}  // namespace

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Other run prefixes (qemu-user for a foreign architecture) behave as the
// program would natively, so only Wine earns the exceptions.
bool under_wine() {
    const std::vector<std::string> prefix = run_prefix();
    return !prefix.empty() && fs::path(prefix.front()).filename().string().rfind("wine", 0) == 0;
}

bool wine_differs(const std::string& reason) {
    if (!under_wine()) return false;
    std::printf("Wine, left out: %s\n", reason.c_str());
    ::testing::Test::RecordProperty("wine_differs", reason);
    return true;
}

// ------------------------------------------------------------------ runs

void EndToEnd::SetUp() {
    scratch_ = std::make_unique<zq::test::ScratchDir>("e2e");
    root_ = scratch_->string();
    work_ = root_ + "/work";
    ASSERT_TRUE(fs::create_directory(work_));
}

void EndToEnd::TearDown() { scratch_.reset(); }

std::string EndToEnd::make_sfx(const Bytes& archive, const std::string& name,
                               const std::string& password) {
    EXPECT_TRUE(fs::exists(stub_path())) << "no stub at " << stub_path();
    const std::string path = root_ + "/" + name + (ends_with(stub_path(), ".exe") ? ".exe" : "");
    zq::test::write_sfx(path, archive, password);
    return path;
}

RunResult EndToEnd::run(const std::string& program, const Script& script) {
    std::vector<std::string> words = run_prefix();
    words.push_back(program);
    return run_command(words, script);
}

RunResult EndToEnd::run_with(const std::string& program, const std::vector<std::string>& words,
                             const Script& script) {
    std::vector<std::string> command = run_prefix();
    command.push_back(program);
    command.insert(command.end(), words.begin(), words.end());
    return run_command(command, script);
}

RunResult EndToEnd::run_host(const std::vector<std::string>& command, const Script& script) {
    return run_command(command, script);
}

RunResult EndToEnd::run_command(std::vector<std::string> words, const Script& script) {
    zq::test::RunOptions options;
    options.cwd = work_;
    options.own_group = false;
    options.errors_to = root_ + "/stderr.txt";
    options.timeout_ms = 120000;
    options.file_size_limit = script.file_size_limit;
    if (script.input.empty()) {
        options.answer = [&script, answered = size_t(0)](const std::string& out,
                                                         std::string& typed) mutable {
            const size_t prompts =
                count_of(out, " is exist, overwrite(Yes/No/All)? ") + count_of(out, "Password: ");
            for (; answered < prompts; ++answered) {
                if (answered >= script.answers.size()) return false;
                typed += script.answers[answered];
            }
            return true;
        };
    }
    options.input = script.input;
    options.signal = script.signal;
    options.signal_after_output = script.signal_after;
    if (script.signal_when) {
        options.signal_ready = script.signal_when;
    } else if (!script.signal_file.empty()) {
        options.signal_ready = [this, &script] {
            struct stat info;
            return stat(work(script.signal_file).c_str(), &info) == 0 &&
                   info.st_size >= script.signal_file_size;
        };
    }
    const zq::test::Outcome outcome = zq::test::run_program(words, options);
    if (outcome.timed_out) ADD_FAILURE() << "run did not end within 120 s";
    return RunResult{outcome.out, outcome.exited() ? outcome.status : -1, outcome.signal};
}

RunResult EndToEnd::run_archive(const ArchiveBuilder& builder, const Script& script) {
    return run(make_sfx(builder.archive(), "sfx", builder.password), script);
}

// ------------------------------------------------------------------ files

void EndToEnd::write_file(const std::string& path, const std::string& content) const {
    fs::create_directories(fs::path(work(path)).parent_path());
    std::ofstream out(work(path), std::ios::binary);
    out << content;
}

std::string EndToEnd::read_file(const std::string& path) const {
    std::ifstream in(work(path), std::ios::binary);
    if (!in.good()) return "<missing>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool EndToEnd::exists(const std::string& path) const {
    struct stat info;
    return lstat(work(path).c_str(), &info) == 0;
}

bool EndToEnd::is_dir(const std::string& path) const {
    struct stat info;
    return stat(work(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool EndToEnd::is_read_only(const std::string& path) const {
    struct stat info;
    return stat(work(path).c_str(), &info) == 0 && (info.st_mode & 0222) == 0;
}

int64_t EndToEnd::mtime(const std::string& path) const {
    struct stat info;
    return stat(work(path).c_str(), &info) == 0 ? int64_t(info.st_mtime) : INT64_MIN;
}

int64_t EndToEnd::atime(const std::string& path) const {
    struct stat info;
    return stat(work(path).c_str(), &info) == 0 ? int64_t(info.st_atime) : INT64_MIN;
}

std::vector<std::string> EndToEnd::listing() const { return zq::test::listing(work_); }

bool EndToEnd::no_temp_files() const { return zq::test::temp_files(listing()).empty(); }

// ------------------------------------------------------------------ console

std::string console(const std::string& windows_bytes) {
    if (ends_with(stub_path(), ".exe")) return windows_bytes;
    return zq::test::piped_linux_console(windows_bytes);
}

std::string banner() {
    return console("Crateworks(WOX 32)  Self-Extractor V01L09\r\n" + std::string(41, '~') + "\r\n");
}

namespace {
const std::string kIndent(15, ' ');
const std::string kDone = kIndent + ": done." + std::string(46, ' ') + "\r\n";
const std::string kBar = "----+----+----+----+----+----+----+----+----+----|";

std::string coded_start(const std::string& name, char marker) {
    return std::string(1, marker) + name + "\r\n" + std::string(18, ' ') + kBar + "\r" + kIndent +
           ": ";
}
}  // namespace

std::string coded_lines(const std::string& name, int marks, char marker) {
    return console(coded_start(name, marker) + "|" + std::string(size_t(marks), '#') + "\r" +
                   kDone);
}

std::string cut_coded_lines(const std::string& name, int marks, char marker) {
    return console(coded_start(name, marker) + "|" + std::string(size_t(marks), '#'));
}

std::string empty_coded_lines(const std::string& name, char marker) {
    return console(coded_start(name, marker) + "\r" + kDone);
}

std::string raw_lines(const std::string& name, char marker) {
    return console(std::string(1, marker) + name + "\r\n" + std::string(18, ' ') +
                   "Copying original data..." + std::string(27, ' ') + "\r" + kIndent + ": \r" +
                   kDone);
}

std::string logged(const std::string& name, const std::string& path) {
    return under_wine() ? name : path;
}

std::string question(const std::string& target) {
    return console(target + "\r\n is exist, overwrite(Yes/No/All)? \r\n");
}

std::string failure(const std::string& message) { return console("\r\n" + message + "\r\n"); }

}  // namespace e2e
