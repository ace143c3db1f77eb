#include "child.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace zq::test {

namespace {

long long now_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

struct Streams {
    int in, out, err;
};

// Forks and runs argv with the given standard streams, in the surroundings
// `options` asks for; -1 when there is no child.
pid_t spawn(const std::vector<std::string>& argv, Streams streams, const RunOptions& options) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t child = fork();
    if (child != 0) return child;
    if (options.own_group) setpgid(0, 0);
    if (dup2(streams.in, 0) < 0 || dup2(streams.out, 1) < 0 || dup2(streams.err, 2) < 0) _exit(120);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(120);
    if (options.run_as != 0 && (setgid(options.run_as) != 0 || setuid(options.run_as) != 0))
        _exit(121);
    if (options.file_size_limit != 0) {
        signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
        const rlimit limit{rlim_t(options.file_size_limit), rlim_t(options.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    // What a shell gives its commands.
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

void record_end(int wait_status, Outcome& outcome) {
    if (WIFEXITED(wait_status)) outcome.status = WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) outcome.signal = WTERMSIG(wait_status);
}

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

Outcome run_program(const std::vector<std::string>& argv, const RunOptions& options) {
    Outcome outcome;
    signal(SIGPIPE, SIG_IGN);  // a child that is gone must not take us along
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot make the child's pipes";
        return outcome;
    }
    int err = out[1];
    if (!options.errors_to.empty())
        err = open(options.errors_to.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const pid_t child = spawn(argv, {in[0], out[1], err < 0 ? out[1] : err}, options);
    close(in[0]);
    close(out[1]);
    if (err != out[1] && err >= 0) close(err);
    int input = in[1], output = out[0];
    if (options.output_limit == 0) close_fd(output);
    if (child < 0) {
        close_fd(input);
        close_fd(output);
        ADD_FAILURE() << "fork failed";
        return outcome;
    }
    fcntl(input, F_SETFL, O_NONBLOCK);

    std::string typed = options.answer ? "" : options.input;
    bool input_ends = !options.answer;
    const long long start = now_us();
    long long signal_clock = options.signal_after_output.empty() ? start : -1;
    bool signalled = options.signal == 0;
    bool ended = false;
    int wait_status = 0;
    while (!ended) {
        // Fine steps while a signal is due, coarser ones otherwise.
        const bool signal_due = !signalled && signal_clock >= 0;
        const struct timespec step = {0, signal_due ? 50000L : 2000000L};
        if (output >= 0) {
            pollfd watch{output, POLLIN, 0};
            if (ppoll(&watch, 1, &step, nullptr) > 0) {
                char buffer[65536];
                const ssize_t n =
                    read(output, buffer,
                         std::min(sizeof buffer, options.output_limit - outcome.out.size()));
                if (n > 0) outcome.out.append(buffer, size_t(n));
                if (n <= 0 || outcome.out.size() == options.output_limit) close_fd(output);
                if (n > 0 && options.answer && !input_ends)
                    input_ends = !options.answer(outcome.out, typed);
            }
        } else {
            nanosleep(&step, nullptr);
        }
        while (input >= 0 && !typed.empty()) {
            const ssize_t n = write(input, typed.data(), typed.size());
            if (n <= 0) {
                if (n < 0 && errno == EAGAIN) break;
                typed.clear();  // the child no longer reads
                input_ends = true;
            } else {
                typed.erase(0, size_t(n));
            }
        }
        if (input_ends && typed.empty()) close_fd(input);

        if (!signalled && signal_clock < 0 &&
            outcome.out.find(options.signal_after_output) != std::string::npos) {
            signal_clock = now_us();
        }
        if (!signalled && signal_clock >= 0 && now_us() - signal_clock >= options.signal_delay_us &&
            (!options.signal_ready || options.signal_ready())) {
            kill(child, options.signal);
            signalled = true;
        }
        ended = waitpid(child, &wait_status, WNOHANG) == child;
        if (!ended && now_us() - start > options.timeout_ms * 1000LL) {
            kill(child, SIGKILL);
            waitpid(child, &wait_status, 0);
            outcome.timed_out = true;
            break;
        }
    }
    // What the child wrote just before it ended; a pipe still held by a
    // process it left behind is not waited for.
    if (output >= 0) fcntl(output, F_SETFL, O_NONBLOCK);
    char buffer[65536];
    ssize_t n;
    while (output >= 0 && outcome.out.size() < options.output_limit &&
           (n = read(output, buffer,
                     std::min(sizeof buffer, options.output_limit - outcome.out.size()))) > 0) {
        outcome.out.append(buffer, size_t(n));
    }
    close_fd(output);
    close_fd(input);
    if (!outcome.timed_out) record_end(wait_status, outcome);
    return outcome;
}

HeldOutcome run_held(const std::vector<std::string>& argv, const std::string& cwd, size_t room,
                     int event) {
    HeldOutcome outcome;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return outcome;
    }
    // One page, the least a pipe holds, so the filler is small.
    const int capacity = fcntl(fds[1], F_SETPIPE_SZ, 4096);
    if (capacity <= 0 || size_t(capacity) <= room) {
        ADD_FAILURE() << "cannot size the pipe for " << room << " bytes of room (" << capacity
                      << ")";
        close(fds[0]);
        close(fds[1]);
        return outcome;
    }
    const std::string filler(size_t(capacity) - room, '.');
    if (write(fds[1], filler.data(), filler.size()) != ssize_t(filler.size()))
        ADD_FAILURE() << "cannot fill the pipe";

    const int none = open("/dev/null", O_RDONLY | O_CLOEXEC);
    RunOptions options;
    options.cwd = cwd;
    const pid_t child = spawn(argv, {none, fds[1], fds[1]}, options);
    close(none);
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
    record_end(wait_status, outcome);
    outcome.out = out.size() >= filler.size() ? out.substr(filler.size()) : out;
    return outcome;
}

}  // namespace zq::test
