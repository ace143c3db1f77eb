// The platform layer on Linux and other POSIX systems.
//
// The code above this file thinks in the terms of the original Windows stub:
// '\'-separated 8-bit paths, attribute bits, FILETIMEs, console events. Each
// routine here gives that behaviour with plain POSIX calls. Everything that
// terminate() can reach (console output, close, attributes, delete, exit,
// terminal mode) uses only async-signal-safe calls and stack buffers.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>  // renameat
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace zq {
namespace {

// Room for a converted path: far more than the 512-byte buffers above us use,
// so that absolute paths given to zqpack (and the own executable) fit too.
constexpr uint32_t kOsPathSize = 4096;

// Copies `path` into `out`, turning every separator '\' into '/'. Names are
// UTF-8 here, where no byte of a character is ever 0x5C. False when the path
// does not fit.
bool to_os_path(const char* path, char* out) {
    uint32_t i = 0;
    for (; path[i] != '\0'; ++i) {
        if (i + 1 >= kOsPathSize) return false;
        out[i] = path[i] == '\\' ? '/' : path[i];
    }
    out[i] = '\0';
    return true;
}

// Keeps our own files off descriptors 0-2: with a standard handle closed, a
// file opened there would receive console text or be read as an answer.
int away_from_std(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

// Where a path leads without passing a symbolic link: the folder that holds
// its last component, open, and that component's name. A relative path (every
// name the extraction run makes is one) is walked a folder at a time with
// O_NOFOLLOW, so a link planted on the way stops the call instead of sending
// it elsewhere, and nothing can swap a folder for a link between the look and
// the use. An absolute path is one the user gave and is taken as it stands.
struct Place {
    int folder = AT_FDCWD;
    const char* name = nullptr;
    Place() = default;
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    ~Place() {
        if (folder != AT_FDCWD) close(folder);
    }
};

// `os_path` is changed while walked and put back. False (errno set) when a
// folder on the way is missing, is not a folder, or is a link.
bool find_place(char* os_path, Place* place) {
    place->name = os_path;
    if (os_path[0] == '/') return true;
    for (char* p = os_path; *p != '\0'; ++p) {
        if (*p != '/') continue;
        *p = '\0';
        const int next =
            openat(place->folder, place->name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        *p = '/';
        if (next < 0) {
            errno = error;
            return false;
        }
        if (place->folder != AT_FDCWD) close(place->folder);
        place->folder = next;
        place->name = p + 1;
    }
    return true;
}

// The path in the kernel's terms, and where it leads.
bool resolve(const char* path, char* os_path, Place* place) {
    return to_os_path(path, os_path) && find_place(os_path, place);
}

uint32_t attributes_of(const struct stat& info) {
    if (S_ISDIR(info.st_mode)) return kAttrDirectory;
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return kAttrReadOnly;
    return kAttrNormal;
}

}  // namespace

// ---------------------------------------------------------------- memory
void* mem_alloc(uint32_t bytes) { return calloc(1, bytes == 0 ? 1 : bytes); }
void mem_free(void* block) { free(block); }

// ---------------------------------------------------------------- files
namespace {
FileHandle open_file(const char* path, int flags) {
    char os_path[kOsPathSize];
    if (!to_os_path(path, os_path)) return kNoFile;
    int fd;
    do {
        fd = open(os_path, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    fd = away_from_std(fd);
    return fd < 0 ? kNoFile : FileHandle(fd);
}
}  // namespace

FileHandle file_open_read(const char* path) { return open_file(path, O_RDONLY); }

FileHandle file_create_new(const char* path) {
    char os_path[kOsPathSize];
    Place place;
    if (!resolve(path, os_path, &place)) return kNoFile;
    int fd;
    do {
        fd = openat(place.folder, place.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0666);
    } while (fd < 0 && errno == EINTR);
    fd = away_from_std(fd);
    return fd < 0 ? kNoFile : FileHandle(fd);
}

// A pipe or a slow device may take or give less per call than is asked;
// keep going until the count, the end, or an error. Bytes moved, or -1 when
// an error came before any byte.
template <typename Byte, typename Call>
int32_t move_all(Byte* data, uint32_t bytes, Call call) {
    uint32_t done = 0;
    while (done < bytes) {
        const ssize_t n = call(data + done, bytes - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? int32_t(done) : -1;
        }
        if (n == 0) break;
        done += uint32_t(n);
    }
    return int32_t(done);
}

int32_t file_read(FileHandle file, void* buffer, uint32_t bytes) {
    return move_all(static_cast<uint8_t*>(buffer), bytes,
                    [file](uint8_t* at, uint32_t n) { return read(file, at, n); });
}

int32_t file_write(FileHandle file, const void* buffer, uint32_t bytes) {
    return move_all(static_cast<const uint8_t*>(buffer), bytes,
                    [file](const uint8_t* at, uint32_t n) { return write(file, at, n); });
}

int32_t file_seek(FileHandle file, int32_t offset, int origin) {
    int whence = SEEK_SET;
    if (origin == kSeekCur) whence = SEEK_CUR;
    if (origin == kSeekEnd) whence = SEEK_END;
    const off_t position = lseek(file, off_t(offset), whence);
    if (position < 0 || position > off_t(INT32_MAX)) return -1;
    return int32_t(position);
}

int32_t file_close(FileHandle file) {
    // Linux releases the descriptor even when close reports EINTR, so a retry
    // could close someone else's; report the failure instead.
    return close(file) == 0 ? 0 : -1;
}

// ---------------------------------------------------------------- names
uint32_t file_get_attributes(const char* path) {
    char os_path[kOsPathSize];
    Place place;
    if (!resolve(path, os_path, &place)) return kNoAttributes;
    struct stat info;
    if (fstatat(place.folder, place.name, &info, AT_SYMLINK_NOFOLLOW) != 0) return kNoAttributes;
    if (S_ISLNK(info.st_mode)) {
        // A link reports what a Windows link reports: the directory bit when
        // it leads to a directory; otherwise it is a name that is taken.
        struct stat target;
        if (fstatat(place.folder, place.name, &target, 0) == 0 && S_ISDIR(target.st_mode))
            return kAttrDirectory;
        return kAttrNormal;
    }
    return attributes_of(info);
}

bool file_set_attributes(const char* path, uint32_t attributes) {
    char os_path[kOsPathSize];
    Place place;
    if (!resolve(path, os_path, &place)) return false;
    struct stat info;
    if (fstatat(place.folder, place.name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    // A link has no attributes of its own, and chmod would reach through it.
    if (S_ISLNK(info.st_mode) || S_ISDIR(info.st_mode)) return true;
    mode_t mode = info.st_mode & 07777;
    if (attributes & kAttrReadOnly) {
        mode &= mode_t(~(S_IWUSR | S_IWGRP | S_IWOTH));
    } else if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        mode |= S_IWUSR;
    }
    if (mode == (info.st_mode & 07777)) return true;
    return fchmodat(place.folder, place.name, mode, 0) == 0;
}

namespace {
mode_t process_umask() {
    // Read once: umask can only be read by setting it.
    static mode_t mask = mode_t(-1);
    if (mask == mode_t(-1)) {
        mask = umask(022);
        umask(mask);
    }
    return mask;
}
}  // namespace

bool file_set_mode(const char* path, uint32_t mode) {
    char os_path[kOsPathSize];
    if (!to_os_path(path, os_path)) return false;
    struct stat info;
    if (lstat(os_path, &info) != 0) return false;
    if (!S_ISREG(info.st_mode)) return true;
    return chmod(os_path, mode_t(mode & 0777) & ~process_umask()) == 0;
}

bool platform_makes_links() { return true; }

bool link_create(const char* target, const char* path) {
    // Made only in the folder the path names, never through a link on the
    // way: the target was judged safe for that folder's depth alone.
    char os_path[kOsPathSize];
    Place place;
    if (!resolve(path, os_path, &place)) return false;
    return symlinkat(target, place.folder, place.name) == 0;
}

bool file_delete(const char* path) {
    char os_path[kOsPathSize];
    Place place;
    if (!resolve(path, os_path, &place)) return false;
    return unlinkat(place.folder, place.name, 0) == 0;
}

bool file_move_replace(const char* from, const char* to) {
    char os_from[kOsPathSize];
    char os_to[kOsPathSize];
    Place from_place;
    Place to_place;
    if (!resolve(from, os_from, &from_place) || !resolve(to, os_to, &to_place)) return false;
    // renameat itself refuses to put a file over a directory (EISDIR).
    return renameat(from_place.folder, from_place.name, to_place.folder, to_place.name) == 0;
}

bool file_set_times(const char* path, uint64_t creation, uint64_t last_access,
                    uint64_t last_write) {
    (void)creation;  // Linux keeps no settable creation time
    char os_path[kOsPathSize];
    Place place;
    if (!resolve(path, os_path, &place)) return false;
    // FILETIME: 100 ns units since 1601; 11644473600 s lie before 1970.
    constexpr int64_t kTicksPerSecond = 10000000;
    constexpr int64_t kEpochGap = 11644473600LL;
    struct timespec times[2];
    const uint64_t filetimes[2] = {last_access, last_write};
    for (int i = 0; i < 2; ++i) {
        const int64_t ticks = int64_t(filetimes[i]);
        int64_t seconds = ticks / kTicksPerSecond;
        int64_t rest = ticks % kTicksPerSecond;
        if (rest < 0) {
            rest += kTicksPerSecond;
            --seconds;
        }
        times[i].tv_sec = time_t(seconds - kEpochGap);
        times[i].tv_nsec = long(rest * 100);
    }
    return utimensat(place.folder, place.name, times, AT_SYMLINK_NOFOLLOW) == 0;
}

// ---------------------------------------------------------------- directories
bool dir_create(const char* path) {
    char os_path[kOsPathSize];
    Place place;
    if (!resolve(path, os_path, &place)) return false;
    return mkdirat(place.folder, place.name, 0777) == 0;
}

bool dir_set_current(const char* path) {
    char os_path[kOsPathSize];
    if (!to_os_path(path, os_path)) return false;
    return chdir(os_path) == 0;
}

bool path_crosses_link(const char* path) {
    char os_path[kOsPathSize];
    if (!to_os_path(path, os_path)) return false;
    // The walk stops at the first folder it cannot enter; whether that one
    // (or, when it gets through, the last component) is a link is the answer.
    Place place;
    find_place(os_path, &place);
    char* end = os_path + (place.name - os_path);
    while (*end != '\0' && *end != '/') ++end;
    *end = '\0';
    struct stat info;
    return fstatat(place.folder, place.name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(info.st_mode);
}

// ---------------------------------------------------------------- console
FileHandle std_input() { return STDIN_FILENO; }
FileHandle std_output() { return STDOUT_FILENO; }

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

void on_signal(int signal_number) {
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
    sigset_t set;
    control_signal_set(&set);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

void control_events_release() {
    sigset_t set;
    control_signal_set(&set);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
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

Semaphore semaphore_create() {
    sem_t* semaphore = static_cast<sem_t*>(mem_alloc(sizeof(sem_t)));
    if (semaphore != nullptr && sem_init(semaphore, 0, 0) != 0) {
        mem_free(semaphore);
        return nullptr;
    }
    return semaphore;
}

void semaphore_post(Semaphore semaphore) { sem_post(static_cast<sem_t*>(semaphore)); }

void semaphore_wait(Semaphore semaphore) {
    // A control signal interrupts the wait even under SA_RESTART; its
    // handler ends the process, so coming back here means wait on.
    while (sem_wait(static_cast<sem_t*>(semaphore)) != 0 && errno == EINTR) {}
}

void semaphore_destroy(Semaphore semaphore) {
    if (semaphore == nullptr) return;
    sem_destroy(static_cast<sem_t*>(semaphore));
    mem_free(semaphore);
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

// ---------------------------------------------------------------- process
bool file_make_executable(const char* path) {
    char os_path[kOsPathSize];
    Place place;
    if (!resolve(path, os_path, &place)) return false;
    struct stat info;
    if (fstatat(place.folder, place.name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode))
        return false;
    const mode_t mode = info.st_mode & 07777;
    return fchmodat(place.folder, place.name, mode | ((mode & 0444) >> 2), 0) == 0;
}

int32_t process_run(const char* path, const char* const* args, uint32_t count) {
    // "./" in front: a name without a '/' would be looked up on PATH.
    char os_path[kOsPathSize];
    os_path[0] = '.';
    os_path[1] = '/';
    if (!to_os_path(path, os_path + 2)) return -1;
    constexpr uint32_t kMaxArgs = 1024;
    if (count + 2 > kMaxArgs) return -1;
    const char* argv[kMaxArgs];
    argv[0] = os_path;
    for (uint32_t i = 0; i < count; ++i) argv[i + 1] = args[i];
    argv[count + 1] = nullptr;
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        // The program gets the signal dispositions a shell would give it.
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(os_path, const_cast<char* const*>(argv), environ);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// ---------------------------------------------------------------- strings
namespace {
// One character of a UTF-8 text, letter case folded the way the Windows stub
// folds it on a Western system (code page 1252): ASCII, the Latin-1 letters
// and the four Latin Extended-A pairs that page holds. Anything else,
// including bytes that are not UTF-8, stands for itself.
uint32_t next_folded(const uint8_t*& p) {
    uint32_t code = *p++;
    if ((code == 0xC3 || code == 0xC5) && (*p & 0xC0) == 0x80)
        code = ((code & 0x1F) << 6) | (*p++ & 0x3F);
    if ((code >= 'A' && code <= 'Z') || (code >= 0xC0 && code <= 0xDE && code != 0xD7))
        return code + 0x20;
    if (code == 0x152 || code == 0x160 || code == 0x17D) return code + 1;  // Œ Š Ž
    if (code == 0x178) return 0xFF;                                        // Ÿ
    return code;
}
}  // namespace

int str_compare_nocase(const char* a, const char* b) {
    const uint8_t* x = reinterpret_cast<const uint8_t*>(a);
    const uint8_t* y = reinterpret_cast<const uint8_t*>(b);
    for (;;) {
        const uint32_t cx = next_folded(x);
        const uint32_t cy = next_folded(y);
        if (cx != cy) return cx < cy ? -1 : 1;
        if (cx == 0) return 0;
    }
}

bool is_lead_byte(uint8_t) { return false; }

bool format_numbered_name(char* out, uint32_t out_size, const char* prefix, uint32_t number) {
    char digits[16];
    uint32_t count = 0;
    do {
        digits[count++] = char('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count < 6) digits[count++] = '0';
    const uint32_t prefix_length = str_length(prefix);
    if (prefix_length + count + 1 > out_size) return false;
    if (out != prefix) str_copy(out, prefix);
    for (uint32_t i = 0; i < count; ++i) out[prefix_length + i] = digits[count - 1 - i];
    out[prefix_length + count] = '\0';
    return true;
}

namespace {

// Writes `value` in `width` places, right-aligned with `pad` (at least one
// digit), and returns the end.
char* put_number(char* at, uint32_t value, uint32_t width, char pad) {
    char* end = at + width;
    char* p = end;
    do {
        *--p = char('0' + value % 10);
        value /= 10;
    } while (value != 0 && p != at);
    while (p != at) *--p = pad;
    return end;
}

struct CivilDate {
    uint32_t year;
    uint32_t month;  // 1..12
    uint32_t day;    // 1..31
};

// The Gregorian date `days` days after 1970-01-01 (negative: before), for
// the days a 32-bit time reaches. Counted from 1 March 1600 in 400-year eras
// of 146097 days, so the leap day closes its year and every count is
// positive.
CivilDate civil_from_days(int32_t days) {
    const uint32_t from_1600 = uint32_t(days + 135080);  // 1600-03-01 to 1970-01-01
    const uint32_t era = from_1600 / 146097;
    const uint32_t day_of_era = from_1600 % 146097;
    const uint32_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const uint32_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const uint32_t month_from_march = (5 * day_of_year + 2) / 153;
    CivilDate date;
    date.day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
    date.month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    date.year = 1600 + era * 400 + year_of_era + (date.month <= 2 ? 1 : 0);
    return date;
}

}  // namespace

// By hand rather than with gmtime and snprintf: this is the stub's only
// formatted line, and the C library's printf would be a fifth of the stub.
void format_size_and_time(char* out, uint32_t size, int32_t unix_time) {
    const int64_t seconds = unix_time;
    const int32_t days = int32_t((seconds >= 0 ? seconds : seconds - 86399) / 86400);
    const uint32_t of_day = uint32_t(seconds - int64_t(days) * 86400);
    const CivilDate date = civil_from_days(days);
    char* p = put_number(out, size, 10, ' ');
    *p++ = ' ';
    *p++ = ' ';
    p = put_number(p, date.year, 4, '0');  // 1901..2038
    *p++ = '-';
    p = put_number(p, date.month, 2, '0');
    *p++ = '-';
    p = put_number(p, date.day, 2, '0');
    *p++ = ' ';
    p = put_number(p, of_day / 3600, 2, '0');
    *p++ = ':';
    p = put_number(p, of_day / 60 % 60, 2, '0');
    *p++ = ':';
    p = put_number(p, of_day % 60, 2, '0');
    *p++ = ' ';
    *p++ = ' ';
    *p = '\0';
}

}  // namespace zq
