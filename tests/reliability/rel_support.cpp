#include "rel_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace rel {

namespace {
long long now_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}
// Whether the child's output so far contains `text`.
bool output_holds(int out_fd, const std::string& text) {
    std::string out;
    char buffer[65536];
    ssize_t n;
    for (off_t at = 0; (n = pread(out_fd, buffer, sizeof buffer, at)) > 0; at += n) out.append(buffer, size_t(n));
    return out.find(text) != std::string::npos;
}
}  // namespace

Outcome run_program(const std::vector<std::string>& argv, const RunOptions& options) {
    Outcome outcome;
    char in_name[] = "/tmp/zq_rel_in_XXXXXX";
    char out_name[] = "/tmp/zq_rel_out_XXXXXX";
    const int in_fd = mkstemp(in_name);
    const int out_fd = mkstemp(out_name);
    if (in_fd < 0 || out_fd < 0) {
        ADD_FAILURE() << "cannot make the child's standard files";
        return outcome;
    }
    unlink(in_name);
    unlink(out_name);
    if (!options.input.empty() &&
        write(in_fd, options.input.data(), options.input.size()) != ssize_t(options.input.size())) {
        ADD_FAILURE() << "cannot write the child's input";
    }
    lseek(in_fd, 0, SEEK_SET);

    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        // Own process group, so a signal meant for it never reaches the test.
        setpgid(0, 0);
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(out_fd, 2);
        close(in_fd);
        close(out_fd);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(120);
        if (options.run_as != 0) {
            if (setgid(options.run_as) != 0 || setuid(options.run_as) != 0) _exit(121);
        }
        signal(SIGPIPE, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in_fd);
    if (child < 0) {
        close(out_fd);
        ADD_FAILURE() << "fork failed";
        return outcome;
    }
    const long long start = now_us();
    long long signal_clock = options.signal_after_output.empty() ? start : -1;
    bool signalled = options.signal == 0;
    int wait_status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &wait_status, WNOHANG);
        if (done == child) break;
        const long long elapsed = now_us() - start;
        if (!signalled && signal_clock < 0 && output_holds(out_fd, options.signal_after_output)) {
            signal_clock = now_us();
        }
        if (!signalled && signal_clock >= 0 && now_us() - signal_clock >= options.signal_delay_us) {
            kill(child, options.signal);
            signalled = true;
        }
        if (elapsed > options.timeout_ms * 1000LL) {
            kill(child, SIGKILL);
            waitpid(child, &wait_status, 0);
            outcome.timed_out = true;
            break;
        }
        // Fine steps while a signal is pending, coarser ones afterwards.
        usleep(signalled ? 500 : 50);
    }
    if (!outcome.timed_out) {
        if (WIFEXITED(wait_status)) outcome.status = WEXITSTATUS(wait_status);
        if (WIFSIGNALED(wait_status)) outcome.signal = WTERMSIG(wait_status);
    }
    lseek(out_fd, 0, SEEK_SET);
    char buffer[65536];
    ssize_t n;
    while ((n = read(out_fd, buffer, sizeof buffer)) > 0) outcome.out.append(buffer, size_t(n));
    close(out_fd);
    return outcome;
}

HeldOutcome run_held(const std::vector<std::string>& argv, const std::string& cwd, size_t room, int event) {
    HeldOutcome outcome;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return outcome;
    }
    // One page, the least a pipe holds, so the filler is small.
    const int capacity = fcntl(fds[1], F_SETPIPE_SZ, 4096);
    if (capacity <= 0 || size_t(capacity) <= room) {
        ADD_FAILURE() << "cannot size the pipe for " << room << " bytes of room (" << capacity << ")";
        close(fds[0]);
        close(fds[1]);
        return outcome;
    }
    const std::string filler(size_t(capacity) - room, '.');
    if (write(fds[1], filler.data(), filler.size()) != ssize_t(filler.size())) ADD_FAILURE() << "cannot fill the pipe";

    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        const int none = open("/dev/null", O_RDONLY);
        if (none < 0 || dup2(none, 0) < 0 || dup2(fds[1], 1) < 0 || dup2(fds[1], 2) < 0) _exit(120);
        if (chdir(cwd.c_str()) != 0) _exit(120);
        signal(SIGPIPE, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    if (child < 0) {
        close(fds[0]);
        ADD_FAILURE() << "fork failed";
        return outcome;
    }
    // Wait for the pipe to be full or the child to end, whichever is first.
    int wait_status = 0;
    bool ended = false;
    const long long deadline = now_us() + 20000000LL;
    while (!ended) {
        int queued = 0;
        if (ioctl(fds[0], FIONREAD, &queued) == 0 && queued == capacity) {
            outcome.held = true;
            break;
        }
        ended = waitpid(child, &wait_status, WNOHANG) == child;
        if (!ended && now_us() > deadline) break;
        usleep(200);
    }
    if (outcome.held) kill(child, event);
    if (!outcome.held && !ended) kill(child, SIGKILL);
    std::string out;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, size_t(n));
    close(fds[0]);
    if (!ended) waitpid(child, &wait_status, 0);
    if (WIFEXITED(wait_status)) outcome.status = WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) outcome.signal = WTERMSIG(wait_status);
    outcome.out = out.size() >= filler.size() ? out.substr(filler.size()) : out;
    return outcome;
}

std::string last_line(const std::string& out) {
    std::string text = out;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const size_t at = text.find_last_of("\r\n");
    return at == std::string::npos ? text : text.substr(at + 1);
}

Tree scan(const std::string& dir) {
    Tree tree;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::string name = fs::relative(it->path(), dir).string();
        if (it->is_directory() && !it->is_symlink()) {
            name += '/';
        } else if (it->is_regular_file()) {
            tree.files[name] = read_bytes(it->path().string());
        }
        tree.names.push_back(name);
    }
    std::sort(tree.names.begin(), tree.names.end());
    return tree;
}

std::vector<std::string> temp_files(const Tree& tree) {
    std::vector<std::string> found;
    for (const std::string& name : tree.names) {
        const size_t slash = name.rfind('/');
        const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
        bool temp = last.size() == 8 && last.compare(0, 2, "zq") == 0;
        for (size_t i = 2; temp && i < 8; ++i) temp = last[i] >= '0' && last[i] <= '9';
        if (temp) found.push_back(name);
    }
    return found;
}

Scratch::Scratch() {
    char pattern[] = "/tmp/zq_rel_XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    work_ = root_ + "/outer/inner/work";
    fs::create_directories(work_);
    // The child may run as nobody: it must be able to reach and write here.
    chmod(root_.c_str(), 0777);
    for (const char* sub : {"/outer", "/outer/inner", "/outer/inner/work"}) chmod((root_ + sub).c_str(), 0777);
}

Scratch::~Scratch() {
    std::error_code ignored;
    for (auto& entry : fs::recursive_directory_iterator(root_, ignored)) {
        if (entry.is_directory()) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(root_, ignored);
}

void Scratch::clear_work() const {
    std::error_code ignored;
    for (auto& entry : fs::recursive_directory_iterator(work_, ignored)) {
        if (entry.is_directory()) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    for (auto& entry : fs::directory_iterator(work_, ignored)) fs::remove_all(entry.path(), ignored);
}

std::vector<std::string> Scratch::strays(const std::vector<std::string>& known) const {
    std::vector<std::string> found;
    for (const std::string& name : scan(root_).names) {
        if (name.rfind("outer/inner/work/", 0) == 0) continue;
        if (name == "outer/" || name == "outer/inner/" || name == "outer/inner/work/") continue;
        if (std::find(known.begin(), known.end(), name) != known.end()) continue;
        found.push_back(name);
    }
    return found;
}

}  // namespace rel

#include "archive/catalogue.h"
#include "archive/release.h"
#include "driver/dir_tree.h"

namespace rel {

Parsed parse_sfx(const std::string& path) {
    Parsed parsed;
    const zq::FileHandle file = zq::file_open_read(path.c_str());
    if (file == zq::kNoFile) {
        parsed.result = 3;
        return parsed;
    }
    uint8_t trailer[4];
    int32_t offset = 0;
    if (zq::file_seek(file, -4, zq::kSeekEnd) < 0 || zq::file_read(file, trailer, 4) != 4) {
        parsed.result = 3;
    } else {
        offset = int32_t(zq::load_u32(trailer));
        if (zq::file_seek(file, offset, zq::kSeekSet) < 0) parsed.result = 3;
    }
    if (parsed.result == -1) {
        zq::StreamContext context{};
        zq::Catalogue catalogue{};
        if (zq::stream_init(&context) != 0) throw std::bad_alloc();
        context.archive_file = file;
        uint16_t count = 0;
        // A password nobody types: the run, whose input is empty, meets the
        // prompt and ends as an abort.
        zq::GivenPassword nobody{"\x01", false};
        parsed.result = zq::read_catalogue(&context, &catalogue, offset, &count, zq::given_password_dialogue(&nobody));
        if (parsed.result == 4) parsed.result = 1;
        if (parsed.result == 0) {
            char full[zq::kPathBufferSize];
            for (uint32_t i = 0; i < count; ++i) {
                const zq::FileRecord& record = *catalogue.file_table[i];
                if (zq::build_file_path(catalogue, record, full) != 0) {
                    ADD_FAILURE() << "the reader accepted a file whose path the driver cannot build";
                }
                std::string target = catalogue.full_path ? full : zq::name_text(catalogue, record.name());
                // As the Linux side hands it to the kernel: the second byte of
                // a two-byte character is never a separator.
                for (size_t k = 0; k < target.size(); ++k) {
                    if (zq::is_lead_byte(uint8_t(target[k])) && k + 1 < target.size()) {
                        ++k;
                    } else if (target[k] == '\\') {
                        target[k] = '/';
                    }
                }
                parsed.files.push_back({target, record});
            }
        }
        zq::release_catalogue(&catalogue);
        zq::release_stream(&context);
    }
    zq::file_close(file);
    return parsed;
}

}  // namespace rel

namespace rel {

Bytes flat_archive(const std::vector<PlainFile>& files) {
    zq::OwnedCodec codec;
    zq::NamePools names;
    zq::ArchiveImage image;
    for (const PlainFile& file : files) {
        zq::FileEntry entry;
        entry.name = names.add(file.name);
        zq::add_file_data(image, codec.state(), entry, file.content, file.coded);
    }
    image.pools = names.pools();
    return zq::archive_bytes(codec.state(), image);
}

}  // namespace rel
