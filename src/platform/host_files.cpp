#include "platform/host_files.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace zq {

bool host_file_info(const std::string& path, HostFileInfo* info, bool follow) {
    struct stat st {};
    if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return false;
    info->access_time = int64_t(st.st_atime);
    info->write_time = int64_t(st.st_mtime);
    info->read_only = (st.st_mode & S_IWUSR) == 0;
    info->mode = uint32_t(st.st_mode & 07777);
    info->device = uint64_t(st.st_dev);
    info->inode = uint64_t(st.st_ino);
    info->link_count = uint64_t(st.st_nlink);
    info->uid = uint32_t(st.st_uid);
    info->gid = uint32_t(st.st_gid);
    return true;
}

bool stderr_is_terminal() { return ::isatty(2) == 1; }

std::FILE* open_scratch_file(std::string* error) {
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string folder = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without unnamed files: a fresh name, taken away at once.
        std::string name = folder + "/zqpack-XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) ::unlink(name.c_str());
    }
    std::FILE* file = fd >= 0 ? ::fdopen(fd, "w+b") : nullptr;
    if (file == nullptr) {
        *error = "cannot create a scratch file in " + folder + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
    }
    return file;
}

namespace {
HostStamp stamp_of(const struct stat& st) {
    return HostStamp{uint64_t(st.st_size),
                     int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::string reason(const std::string& path) {
    return "cannot read " + path + ": " + std::strerror(errno);
}
}  // namespace

HostReader::HostReader(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        error_ = reason(path);
        return;
    }
    opened_ = stamp_of(st);
}

HostReader::~HostReader() {
    if (fd_ >= 0) ::close(fd_);
}

HostStamp HostReader::stamp() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return opened_;
    return stamp_of(st);
}

std::string HostReader::read_at(uint64_t offset, uint8_t* data, size_t count) const {
    if (!error_.empty()) return error_;
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd_, data + done, count - done, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return reason(path_);
        if (n == 0)
            return path_ + " changed while it was packed (it became shorter); pack it again";
        done += size_t(n);
    }
    return "";
}

namespace {
// The registered path, read by the signal handler: written only while the
// signals are held, so the handler never sees half of it.
char interrupt_path[4096];
volatile sig_atomic_t interrupt_armed = 0;
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

void interrupt_set(sigset_t* set) {
    sigemptyset(set);
    for (int signal_number : kInterruptSignals) sigaddset(set, signal_number);
}

void on_interrupt(int signal_number) {
    if (interrupt_armed) ::unlink(interrupt_path);
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

void install_interrupt_handler() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    interrupt_set(&action.sa_mask);
    for (int signal_number : kInterruptSignals) {
        struct sigaction before {};
        ::sigaction(signal_number, &action, &before);
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (before.sa_handler == SIG_IGN) ::sigaction(signal_number, &before, nullptr);
    }
}
}  // namespace

void release_interrupts() {
    sigset_t set;
    interrupt_set(&set);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void hold_interrupts() {
    sigset_t set;
    interrupt_set(&set);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void remove_on_interrupt(const std::string& path) {
    if (path.size() >= sizeof interrupt_path) return;
    interrupt_armed = 0;
    std::memcpy(interrupt_path, path.c_str(), path.size() + 1);
    install_interrupt_handler();
    interrupt_armed = 1;
}

void forget_on_interrupt() { interrupt_armed = 0; }

}  // namespace zq
