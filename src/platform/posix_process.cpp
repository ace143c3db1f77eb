// The platform layer on Linux and other POSIX systems: the console's
// standard handles and terminal mode, the control signals, the process
// itself and the threads of the block pipeline. Everything terminate() can
// reach here (terminal mode, exit) is async-signal-safe.
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <termios.h>
#include <unistd.h>

namespace zq {

// ---------------------------------------------------------------- console
FileHandle std_input() { return STDIN_FILENO; }
FileHandle std_output() { return STDOUT_FILENO; }
FileHandle std_error() { return STDERR_FILENO; }

// ---------------------------------------------------------------- errors
int32_t last_system_error() { return errno; }
const char* system_error_text(int32_t error) { return strerror(error); }

void error_note_folder(const char* path) {
    const int error = errno;  // of the call that failed, when it was the entry
    const uint32_t attributes = file_get_attributes(path);
    if (attributes != kNoAttributes && (attributes & kAttrDirectory) == 0)
        return error_note(path, "not a folder");
    if (path_crosses_link(path)) return error_note(path, "a symbolic link on the way");
    if (attributes != kNoAttributes) return error_note(path, strerror(error));
    // The system's reason comes from the creation itself, asked once more.
    dir_create(path);
    error_note(path, strerror(errno));
}

bool is_console(FileHandle input) { return isatty(input) == 1; }

int32_t std_read(FileHandle input, void* buffer, uint32_t bytes) {
    for (;;) {
        const ssize_t n = read(input, buffer, bytes);
        if (n >= 0) return int32_t(n);
        if (errno != EINTR) return -1;
    }
}

namespace {
// The terminal settings in force before console_password_mode, for
// console_restore_mode (which terminate may call from a signal handler).
struct termios saved_terminal;
volatile sig_atomic_t terminal_saved = 0;
}  // namespace

void console_password_mode(FileHandle input) {
    if (!isatty(input)) return;
    struct termios settings;
    if (tcgetattr(input, &settings) != 0) return;
    saved_terminal = settings;
    terminal_saved = 1;
    // Line input and signal keys stay on; only the echo goes.
    settings.c_lflag &= tcflag_t(~(ECHO | ECHOE | ECHOK | ECHONL));
    tcsetattr(input, TCSANOW, &settings);
}

void console_restore_mode(FileHandle input) {
    if (!terminal_saved) return;
    terminal_saved = 0;
    tcsetattr(input, TCSANOW, &saved_terminal);
}

namespace {
ControlHandler control_handler = nullptr;

// SIGINT plays Ctrl+C, SIGQUIT Ctrl+Break, SIGHUP the console being closed and
// SIGTERM the system shutting down.
int event_of_signal(int signal_number) {
    switch (signal_number) {
        case SIGINT: return 0;
        case SIGQUIT: return 1;
        case SIGHUP: return 2;
        default: return 6;
    }
}

// A hold is a flag rather than a signal mask: it is taken twice per file
// extracted, and two system calls each time were a fifth of a small file's
// cost. A signal that comes while it is held is noted and delivered at the
// release; the handler itself never returns.
volatile sig_atomic_t events_held = 0;
volatile sig_atomic_t held_signal = 0;

void on_signal(int signal_number) {
    if (events_held) {
        if (held_signal == 0) held_signal = signal_number;
        return;
    }
    if (control_handler != nullptr) control_handler(event_of_signal(signal_number));
    _exit(1);
}

constexpr int kControlSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

void control_signal_set(sigset_t* set) {
    sigemptyset(set);
    for (int signal_number : kControlSignals) sigaddset(set, signal_number);
}
}  // namespace

void install_control_handler(ControlHandler handler) {
    control_handler = handler;
    struct sigaction action = {};
    action.sa_handler = on_signal;
    control_signal_set(&action.sa_mask);  // one event at a time
    action.sa_flags = SA_RESTART;
    for (int signal_number : kControlSignals) sigaction(signal_number, &action, nullptr);
    // A console that stops reading (a pipe into `head`) makes writes fail, as
    // on Windows; it must not kill the run half way through a file and leave
    // its temporary file behind.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
    // An event that arrives while one is held must still be delivered later.
    sigset_t set;
    control_signal_set(&set);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void control_events_hold() {
    events_held = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void control_events_release() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    events_held = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    // A signal from here on runs the handler itself; one noted before is
    // delivered now (it never comes back).
    const int noted = held_signal;
    if (noted != 0) {
        held_signal = 0;
        on_signal(noted);
    }
}

// ---------------------------------------------------------------- process
uint32_t own_executable_path(char* buffer, uint32_t size) {
    if (size == 0) return 0;
    const ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n <= 0 || uint32_t(n) >= size - 1) return 0;
    buffer[n] = '\0';
    return uint32_t(n);
}

void exit_process(int code) { _exit(code); }

// ---------------------------------------------------------------- threads
uint32_t processor_count() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return uint32_t(count);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? uint32_t(online) : 1;
}

uint32_t environment_number(const char* name) {
    const char* text = getenv(name);
    if (text == nullptr || *text == '\0') return 0;
    uint32_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9' || value > 999) return 0;
        value = value * 10 + uint32_t(*text - '0');
    }
    return value > 9999 ? 0 : value;
}

// The count lives in the process, as on Windows; the system's semaphore is
// touched only by a thread that has to sleep and by the post that must wake
// it. The pipeline queues frames in batches: while a woken worker has yet to
// run, the system's own semaphore would make a wake call for every post of
// the batch, where this one makes one per sleeper.
namespace {
struct CountedSemaphore {
    int32_t count;  // posts not yet taken; below zero, minus the sleepers
    sem_t sleep;    // where the sleepers wait: one post per sleeper to wake
};
}  // namespace

Semaphore semaphore_create() {
    CountedSemaphore* semaphore =
        static_cast<CountedSemaphore*>(mem_alloc(sizeof(CountedSemaphore)));
    if (semaphore == nullptr) return nullptr;
    semaphore->count = 0;
    if (sem_init(&semaphore->sleep, 0, 0) != 0) {
        mem_free(semaphore);
        return nullptr;
    }
    return semaphore;
}

void semaphore_post(Semaphore semaphore) {
    CountedSemaphore* counted = static_cast<CountedSemaphore*>(semaphore);
    if (__atomic_fetch_add(&counted->count, 1, __ATOMIC_SEQ_CST) < 0) sem_post(&counted->sleep);
}

void semaphore_wait(Semaphore semaphore) {
    CountedSemaphore* counted = static_cast<CountedSemaphore*>(semaphore);
    if (__atomic_fetch_sub(&counted->count, 1, __ATOMIC_SEQ_CST) > 0) return;
    // A control signal interrupts the wait even under SA_RESTART; its
    // handler ends the process, so coming back here means wait on.
    while (sem_wait(&counted->sleep) != 0 && errno == EINTR) {}
}

void semaphore_destroy(Semaphore semaphore) {
    if (semaphore == nullptr) return;
    CountedSemaphore* counted = static_cast<CountedSemaphore*>(semaphore);
    sem_destroy(&counted->sleep);
    mem_free(counted);
}

namespace {
struct ThreadRecord {
    ThreadBody body;
    void* argument;
    pthread_t id;
};

void* run_thread(void* record) {
    ThreadRecord* self = static_cast<ThreadRecord*>(record);
    self->body(self->argument);
    return nullptr;
}
}  // namespace

Thread thread_start(ThreadBody body, void* argument) {
    ThreadRecord* record = static_cast<ThreadRecord*>(mem_alloc(sizeof(ThreadRecord)));
    if (record == nullptr) return nullptr;
    record->body = body;
    record->argument = argument;
    // The new thread inherits a mask with every control signal blocked, so
    // the handler (and terminate) only ever runs on the thread that holds
    // the run's files, never on a worker.
    sigset_t control;
    sigset_t before;
    control_signal_set(&control);
    pthread_sigmask(SIG_BLOCK, &control, &before);
    const int failed = pthread_create(&record->id, nullptr, run_thread, record);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (failed != 0) {
        mem_free(record);
        return nullptr;
    }
    return record;
}

void thread_join(Thread thread) {
    if (thread == nullptr) return;
    ThreadRecord* record = static_cast<ThreadRecord*>(thread);
    pthread_join(record->id, nullptr);
    mem_free(record);
}

}  // namespace zq
