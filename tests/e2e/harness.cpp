#include "harness.h"

#include "archive/catalogue.h"
#include "codec/crc32.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
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
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}
}  // namespace

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
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

// ------------------------------------------------------------------ archives

zq::ArchiveImage ArchiveBuilder::image() const {
    zq::OwnedCodec codec;
    zq::NamePools names;
    zq::ArchiveImage image;
    image.flags = uint16_t(zq::kFlagTypeBits | (full_path ? zq::kFlagFullPath : 0) |
                           (password.empty() ? 0 : zq::kFlagPassword));
    image.options = dir_tree ? 0x40 : 0;
    if (!password.empty()) image.password = bytes_of(password);
    for (const TestDir& dir : dirs) {
        zq::DirEntry entry;
        entry.id = dir.id;
        entry.name = names.add(dir.name);
        entry.next = dir.next;
        entry.child = dir.child;
        image.dirs.push_back(entry);
    }
    for (const TestFile& file : files) {
        zq::FileEntry entry;
        entry.attributes = file.attributes;
        entry.dir_id = file.dir_id;
        entry.access_time = file.access_time;
        entry.write_time = file.write_time;
        entry.create_time = file.create_time;
        entry.name = names.add(file.name);
        entry.ext_word = file.ext_word;
        if (file.ext_word & zq::kExtHasCrc) {
            const Bytes content = bytes_of(file.content);
            entry.crc32 = zq::crc32_of(content.data(), content.size());
        }
        zq::FileEntry& added = zq::add_file_data(image, codec.state(), entry, bytes_of(file.content), file.coded);
        if (file.recorded_size >= 0) added.original_size = uint32_t(file.recorded_size);
    }
    image.pools = names.pools();
    return image;
}

Bytes ArchiveBuilder::archive() const {
    zq::OwnedCodec codec;
    return zq::archive_bytes(codec.state(), image());
}

// ------------------------------------------------------------------ runs

void EndToEnd::SetUp() {
    signal(SIGPIPE, SIG_IGN);  // a child that is gone must not take us along
    char pattern[] = "/tmp/zq_e2e_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    work_ = root_ + "/work";
    ASSERT_TRUE(fs::create_directory(work_));
}

void EndToEnd::TearDown() {
    std::error_code ignored;
    for (auto& entry : fs::recursive_directory_iterator(root_, ignored)) {
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(root_, ignored);
}

std::string EndToEnd::make_sfx(const Bytes& archive, const std::string& name) {
    std::ifstream in(stub_path(), std::ios::binary);
    EXPECT_TRUE(in.good()) << "no stub at " << stub_path();
    const Bytes stub((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const Bytes sfx = zq::self_extractor_bytes(stub, archive);
    const std::string path = root_ + "/" + name + (ends_with(stub_path(), ".exe") ? ".exe" : "");
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(sfx.data()), std::streamsize(sfx.size()));
    out.close();
    chmod(path.c_str(), 0755);
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
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    int in[2], out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    const std::string errors = root_ + "/stderr.txt";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        const int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (err >= 0) dup2(err, 2);
        for (int fd : {in[0], in[1], out[0], out[1], err}) close(fd);
        if (chdir(work_.c_str()) != 0) _exit(126);
        if (script.file_size_limit != 0) {
            signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
            const rlimit limit{rlim_t(script.file_size_limit), rlim_t(script.file_size_limit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);

    RunResult result;
    size_t answered = 0;
    bool input_open = true;
    if (!script.input.empty()) {
        EXPECT_EQ(write(in[1], script.input.data(), script.input.size()), ssize_t(script.input.size()));
        close(in[1]);
        input_open = false;
    }
    bool signalled = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    bool armed = false;
    for (;;) {
        pollfd watch{out[0], POLLIN, 0};
        if (poll(&watch, 1, armed ? 0 : 100) > 0) {
            char buffer[65536];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            result.out.append(buffer, size_t(n));
        }
        const size_t prompts = count_of(result.out, " is exist, overwrite(Yes/No/All)? ") +
                               count_of(result.out, "Password: ");
        while (input_open && answered < prompts) {
            if (answered < script.answers.size()) {
                const std::string& line = script.answers[answered];
                EXPECT_EQ(write(in[1], line.data(), line.size()), ssize_t(line.size()));
                ++answered;
            } else {
                close(in[1]);
                input_open = false;
            }
        }
        if (script.signal != 0 && !signalled && result.out.find(script.signal_after) != std::string::npos) {
            armed = true;
            struct stat info;
            if (script.signal_file.empty() ||
                (stat(work(script.signal_file).c_str(), &info) == 0 && info.st_size >= script.signal_file_size)) {
                kill(pid, script.signal);
                signalled = true;
                armed = false;
            }
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "run did not end within 120 s";
            kill(pid, SIGKILL);
            break;
        }
    }
    if (input_open) close(in[1]);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.killed_by = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

RunResult EndToEnd::run_archive(const ArchiveBuilder& builder, const Script& script) {
    return run(make_sfx(builder.archive()), script);
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

std::vector<std::string> EndToEnd::listing() const {
    std::vector<std::string> names;
    for (auto& entry : fs::recursive_directory_iterator(work_)) {
        std::string name = fs::relative(entry.path(), work_).string();
        if (entry.is_directory() && !entry.is_symlink()) name += "/";
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool EndToEnd::no_temp_files() const {
    static const std::regex temp_name("zq[0-9]{6}");
    for (auto& entry : fs::recursive_directory_iterator(work_)) {
        if (std::regex_match(entry.path().filename().string(), temp_name)) return false;
    }
    return true;
}

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
    return std::string(1, marker) + name + "\r\n" + std::string(18, ' ') + kBar + "\r" + kIndent + ": ";
}
}  // namespace

std::string coded_lines(const std::string& name, int marks, char marker) {
    return console(coded_start(name, marker) + "|" + std::string(size_t(marks), '#') + "\r" + kDone);
}

std::string cut_coded_lines(const std::string& name, int marks, char marker) {
    return console(coded_start(name, marker) + "|" + std::string(size_t(marks), '#'));
}

std::string empty_coded_lines(const std::string& name, char marker) {
    return console(coded_start(name, marker) + "\r" + kDone);
}

std::string raw_lines(const std::string& name, char marker) {
    return console(std::string(1, marker) + name + "\r\n" + std::string(18, ' ') + "Copying original data..." +
                   std::string(27, ' ') + "\r" + kIndent + ": \r" + kDone);
}

std::string question(const std::string& target) {
    return console(target + "\r\n is exist, overwrite(Yes/No/All)? \r\n");
}

std::string failure(const std::string& message) { return console("\r\n" + message + "\r\n"); }

}  // namespace e2e
