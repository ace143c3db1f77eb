// The programs an installer starts, and the folder the user names, on
// Linux.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix_place.h"

namespace zq {

using posix::kOsPathSize;
using posix::to_os_path;

namespace {

// The signals the program gets back with their default handling: the
// control signals our handler takes, and SIGPIPE, which the run ignores.
constexpr int kChildDefaults[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE};

// In the child between fork and exec: async-signal-safe calls only. An exec
// that fails sends its errno up the close-on-exec pipe; one that works closes
// the pipe with nothing in it.
[[noreturn]] void exec_child(const char* os_path, const char* const* argv, int report) {
    for (int signal_number : kChildDefaults) signal(signal_number, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(os_path, const_cast<char* const*>(argv), environ);
    const int error = errno;
    while (write(report, &error, sizeof error) < 0 && errno == EINTR) {}
    _exit(127);
}

// True when the child reported a failed exec.
bool exec_failed(int report) {
    int error = 0;
    ssize_t got;
    do {
        got = read(report, &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    return got != 0;
}

int32_t wait_for(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return 127;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 127;
}

}  // namespace

int32_t process_run(const char* path, const char* const* args, uint32_t count, int32_t* status) {
    // "./" in front: a name without a '/' would be looked up on PATH.
    char os_path[kOsPathSize];
    os_path[0] = '.';
    os_path[1] = '/';
    if (!to_os_path(path, os_path + 2)) return kRunNotStarted;
    if (count > kMaxRunWords) return kRunTooLong;
    const char* argv[kMaxRunWords + 2];
    argv[0] = os_path;
    for (uint32_t i = 0; i < count; ++i) argv[i + 1] = args[i];
    argv[count + 1] = nullptr;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return kRunNotStarted;

    // As system(3) waits: Ctrl+C and Ctrl+\ are for the program, which may
    // trap them to clean up; the run stays to report how it ended. The other
    // control signals are held across the fork, so that none reaches our
    // handler in the child.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction saved_int;
    struct sigaction saved_quit;
    sigaction(SIGINT, &ignore, &saved_int);
    sigaction(SIGQUIT, &ignore, &saved_quit);
    control_events_hold();
    const pid_t child = fork();
    if (child == 0) exec_child(os_path, argv, report[1]);
    control_events_release();
    close(report[1]);
    int32_t result = kRunNotStarted;
    if (child > 0) {
        const bool failed = exec_failed(report[0]);
        *status = wait_for(child);
        if (!failed) result = kRunEnded;
        // The program may have made names in the folders the run keeps.
        posix::forget_folders();
    }
    close(report[0]);
    sigaction(SIGINT, &saved_int, nullptr);
    sigaction(SIGQUIT, &saved_quit, nullptr);
    return result;
}

bool dir_enter_user(const char* path) {
    // Each folder on the way, then the folder itself. A leading '/' (an
    // absolute path) makes no empty folder name; whatever mkdir refuses
    // (the folder is there, or a link to one) is left for chdir to judge.
    char os_path[kOsPathSize];
    uint32_t length = 0;
    for (; path[length] != '\0'; ++length) {
        if (length + 1 >= kOsPathSize) return false;
        os_path[length] = path[length];
    }
    os_path[length] = '\0';
    for (uint32_t i = 1; i < length; ++i) {
        if (os_path[i] != '/') continue;
        os_path[i] = '\0';
        mkdir(os_path, 0777);
        os_path[i] = '/';
    }
    mkdir(os_path, 0777);
    return chdir(os_path) == 0;
}

}  // namespace zq
