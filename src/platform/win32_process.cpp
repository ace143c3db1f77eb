// The Windows layer's process (its own path, its command line, the programs
// it runs, its end) and the threads and semaphores of the block pipeline.
#include "platform/win32_section.h"

namespace zq {

// ---------------------------------------------------------------- process

uint32_t own_executable_path(char* buffer, uint32_t size) {
    Section section;
    DWORD length = GetModuleFileNameA(nullptr, buffer, size);
    // A path cut to fit the buffer is no path at all.
    return length >= size ? 0 : length;
}

const char* command_line() {
    Section section;
    return GetCommandLineA();
}

bool file_make_executable(const char*) { return true; }

namespace {
char g_command_line[32768];

// Appends `word` quoted so that the program's own splitting gives it back:
// backslashes are doubled only before a quote, quotes are escaped.
char* append_quoted(char* out, const char* end, const char* word) {
    bool plain = *word != '\0';
    for (const char* p = word; *p != '\0'; ++p)
        plain = plain && *p != ' ' && *p != '\t' && *p != '"';
    if (out != g_command_line && out < end) *out++ = ' ';
    if (!plain && out < end) *out++ = '"';
    uint32_t slashes = 0;
    for (const char* p = word; *p != '\0'; ++p) {
        if (*p == '\\') {
            ++slashes;
            continue;
        }
        // Backslashes count only before a quote: there they are doubled, and
        // one more escapes the quote itself.
        if (*p == '"') slashes = slashes * 2 + 1;
        for (; slashes > 0 && out < end; --slashes) *out++ = '\\';
        if (out < end) *out++ = *p;
    }
    // Trailing backslashes stand before the closing quote: doubled there.
    if (!plain) slashes *= 2;
    for (; slashes > 0 && out < end; --slashes) *out++ = '\\';
    if (!plain && out < end) *out++ = '"';
    return out;
}
}  // namespace

namespace {
// While the program runs, Ctrl+C and Ctrl+Break are its own: the console
// sends them to every process on it, the program included, and this one
// takes them as handled so that the run waits on and ends with the program's
// status (as system(3) does on Linux). A handler, rather than ignoring the
// keys outright, leaves the program's own handling of them as it would be.
// Closing the console, log-off and shut-down still end the run.
BOOL WINAPI keys_for_the_program(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}
}  // namespace

int32_t process_run(const char* path, const char* const* args, uint32_t count, int32_t* status) {
    char* const end = g_command_line + sizeof g_command_line - 1;
    char* out = append_quoted(g_command_line, end, path);
    for (uint32_t i = 0; i < count; ++i) out = append_quoted(out, end, args[i]);
    if (out == end) return kRunTooLong;  // never start a cut command line
    *out = '\0';
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    {
        Section section;
        // By its full path: with no folder in the name, Windows would look in
        // the self-extractor's own folder first and could start a namesake.
        char full[MAX_PATH];
        const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
        if (length == 0 || length >= sizeof full) return kRunNotStarted;
        SetConsoleCtrlHandler(keys_for_the_program, TRUE);
        if (!CreateProcessA(full, g_command_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &process)) {
            SetConsoleCtrlHandler(keys_for_the_program, FALSE);
            return kRunNotStarted;
        }
        CloseHandle(process.hThread);
    }
    // The wait is no section: an event that ends the run meanwhile ends it.
    WaitForSingleObject(process.hProcess, INFINITE);
    Section section;
    DWORD code = 0;
    // Every code is the program's own, STILL_ACTIVE and crash codes too:
    // the program ran, so its code is passed on as it is.
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    *status = static_cast<int32_t>(code);
    return kRunEnded;
}

bool dir_enter_user(const char* path) {
    Section section;
    // Each folder on the way, then the folder itself; the second byte of a
    // two-byte character is never a separator. A leading separator or a
    // drive ("C:\") makes no folder of its own; whatever CreateDirectoryA
    // refuses is left for SetCurrentDirectoryA to judge.
    char prefix[MAX_PATH];
    uint32_t i = 0;
    for (; path[i] != '\0'; ++i) {
        if (i + 2 >= sizeof prefix) return false;
        const char byte = path[i];
        if ((byte == '\\' || byte == '/') && i != 0 && prefix[i - 1] != ':') {
            prefix[i] = '\0';
            CreateDirectoryA(prefix, nullptr);
        }
        prefix[i] = byte;
        if (is_lead_byte(static_cast<uint8_t>(byte)) && path[i + 1] != '\0') {
            prefix[i + 1] = path[i + 1];
            ++i;
        }
    }
    prefix[i] = '\0';
    CreateDirectoryA(prefix, nullptr);
    return SetCurrentDirectoryA(prefix) != 0;
}

void exit_process(int code) {
    // The section stays open: a control thread that comes now waits for this
    // exit instead of running the handler a second time.
    section_enter();
    // Ends every thread at once, with no library detaching after it: the files
    // are closed already, and an emulated Windows has been seen to crash while
    // detaching with a thread still waiting in a system call.
    TerminateProcess(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-1)), static_cast<UINT>(code));
    ExitProcess(static_cast<UINT>(code));
}

// ---------------------------------------------------------------- threads
// Workers decode memory only: they never hold a section while they work or
// wait, so a control event is never kept waiting by them. A wait that ends
// after a claim stops at its section like any other call.

uint32_t processor_count() {
    Section section;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<uint32_t>(info.dwNumberOfProcessors) : 1;
}

uint32_t environment_number(const char* name) {
    Section section;
    char text[8];
    DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    if (length == 0 || length >= sizeof text) return 0;
    uint32_t value = 0;
    for (DWORD i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    return value > 9999 ? 0 : value;
}

// The count lives in the process; the kernel semaphore is touched only when
// a thread has to sleep or be woken. Under Wine every call on a kernel object
// is a round trip to the Wine server, a process of its own that has to be
// scheduled too: with a call for every post and wait (four per block), two
// decoding threads cost more in round trips than they gained. Now a worker
// that finds frames queued, and a reader that queues them for a busy worker,
// make no call at all.
namespace {
struct CountedSemaphore {
    LONG count;    // posts not yet taken; below zero, minus the sleepers
    HANDLE sleep;  // where the sleepers wait
};
}  // namespace

Semaphore semaphore_create() {
    Section section;
    CountedSemaphore* semaphore =
        static_cast<CountedSemaphore*>(GlobalAlloc(GPTR, sizeof(CountedSemaphore)));
    if (semaphore == nullptr) return nullptr;
    semaphore->sleep = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
    if (semaphore->sleep == nullptr) {
        GlobalFree(semaphore);
        return nullptr;
    }
    return semaphore;
}

void semaphore_post(Semaphore semaphore) {
    CountedSemaphore* counted = static_cast<CountedSemaphore*>(semaphore);
    if (__atomic_fetch_add(&counted->count, 1, __ATOMIC_SEQ_CST) < 0) {
        ReleaseSemaphore(counted->sleep, 1, nullptr);
    }
}

void semaphore_wait(Semaphore semaphore) {
    CountedSemaphore* counted = static_cast<CountedSemaphore*>(semaphore);
    if (__atomic_fetch_sub(&counted->count, 1, __ATOMIC_SEQ_CST) <= 0) {
        WaitForSingleObject(counted->sleep, INFINITE);
    }
    Section section;  // the run may have been ended while the wait lasted
}

void semaphore_destroy(Semaphore semaphore) {
    Section section;
    if (semaphore == nullptr) return;
    CountedSemaphore* counted = static_cast<CountedSemaphore*>(semaphore);
    CloseHandle(counted->sleep);
    GlobalFree(counted);
}

namespace {
struct ThreadRecord {
    ThreadBody body;
    void* argument;
    HANDLE handle;
};

DWORD WINAPI run_thread(LPVOID record) {
    ThreadRecord* self = static_cast<ThreadRecord*>(record);
    self->body(self->argument);
    return 0;
}
}  // namespace

Thread thread_start(ThreadBody body, void* argument) {
    Section section;
    ThreadRecord* record = static_cast<ThreadRecord*>(GlobalAlloc(GPTR, sizeof(ThreadRecord)));
    if (record == nullptr) return nullptr;
    record->body = body;
    record->argument = argument;
    // A decoder needs little stack: a modest reservation keeps sixteen
    // workers well inside a 32-bit address space.
    record->handle = CreateThread(nullptr, 256 * 1024, run_thread, record,
                                  STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (record->handle == nullptr) {
        GlobalFree(record);
        return nullptr;
    }
    return record;
}

void thread_join(Thread thread) {
    if (thread == nullptr) return;
    ThreadRecord* record = static_cast<ThreadRecord*>(thread);
    WaitForSingleObject(record->handle, INFINITE);
    Section section;
    CloseHandle(record->handle);
    GlobalFree(record);
}

}  // namespace zq
