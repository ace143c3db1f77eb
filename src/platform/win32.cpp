// The platform layer on 32-bit Windows: the classic Win32 calls the stub was
// designed around, plus a guard between the main thread and the console's
// control thread.
//
// The guard. The console runs the control handler on a thread of its own, at
// any moment, and that handler ends the run: it closes the archive and the
// temporary file and deletes the temporary file. Left alone, the main thread
// could then write through a handle that was just closed (and perhaps already
// reused for something else), or still be writing the file being deleted.
// So every call of this layer is a short critical section:
//   - a control thread first claims the end of the process with an
//     interlocked exchange; a later event finds the claim taken and waits
//     for the process to end, so the handler runs once;
//   - it then waits until no call of this layer is in progress on another
//     thread, and only then runs the handler;
//   - from the claim on, any other thread that enters this layer stops there
//     for good (ExitProcess ends it), so the main thread never touches a
//     handle again once the handler may have closed it.
// control_events_hold() is such a section left open until the release: the
// claimer waits for it, so the state the driver brings into line meanwhile
// is whole when the handler reads it. terminate() holds for good, so an event
// during a termination already under way waits for its ExitProcess.
// Reading standard input is the one call that may block indefinitely (the
// user answering a question), so it is not part of a section; the main thread
// checks the claim when the read returns instead. The handler's work does
// not involve the pending read.
// Temporary files are also opened with delete sharing, so that a delete of a
// temporary file whose handle is somehow still open takes effect at exit.
// win32_process.cpp holds the process and its threads, strings_win32.cpp the
// string routines.
#include "platform/win32_section.h"

namespace zq {
namespace {

ControlHandler control_handler = nullptr;
LONG claimed = 0;        // 1 once a control thread owns the end
void* closer = nullptr;  // that thread's environment block
LONG in_progress = 0;    // calls of this layer under way, and holds
int hold_depth = 0;      // control_events_hold() not yet released...
void* holder = nullptr;  // ...by this thread
DWORD saved_console_mode = 0;
bool console_mode_saved = false;

[[noreturn]] void stop_here() {
    for (;;) __builtin_ia32_pause();
}

// The thread's own environment block, read straight from FS: it tells the
// threads apart without a call.
void* current_thread_block() {
    void* block;
    __asm__("movl %%fs:0x18, %0" : "=r"(block));
    return block;
}

// After a claim only the claiming thread goes on, and a thread that holds
// events off: the claimer waits for it to release them.
bool may_go_on() {
    void* self = current_thread_block();
    return self == __atomic_load_n(&closer, __ATOMIC_SEQ_CST) ||
           (__atomic_load_n(&hold_depth, __ATOMIC_SEQ_CST) > 0 &&
            self == __atomic_load_n(&holder, __ATOMIC_SEQ_CST));
}

}  // namespace

// The count goes up before the look at the claim, and the claimer sets the
// claim before it looks at the count (both sequentially consistent), so
// either the claimer waits for this call or this call sees the claim.
void section_enter() {
    __atomic_add_fetch(&in_progress, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&claimed, __ATOMIC_SEQ_CST) && !may_go_on()) {
        __atomic_sub_fetch(&in_progress, 1, __ATOMIC_SEQ_CST);
        stop_here();
    }
}

void section_leave() { __atomic_sub_fetch(&in_progress, 1, __ATOMIC_SEQ_CST); }

namespace {

BOOL WINAPI on_console_event(DWORD event) {
    LONG expected = 0;
    if (!__atomic_compare_exchange_n(&claimed, &expected, 1, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST)) {
        stop_here();
    }
    __atomic_store_n(&closer, current_thread_block(), __ATOMIC_SEQ_CST);
    while (__atomic_load_n(&in_progress, __ATOMIC_SEQ_CST) != 0) __builtin_ia32_pause();
    control_handler(static_cast<int>(event));
    return TRUE;  // not reached: the handler ends the process
}

FileHandle from_handle(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return kNoFile;
    return static_cast<FileHandle>(reinterpret_cast<INT_PTR>(handle));
}

HANDLE to_handle(FileHandle file) { return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(file)); }

FILETIME to_filetime(uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

// The folder (a relative path, without its closing '\\') whose every folder
// an earlier look found there and free of reparse points. The files of a
// tree come folder by folder, so the folders on a path are looked at once
// per run rather than once per call; a folder not there yet is looked at
// again once it is.
constexpr uint32_t kCheckedFolderSize = 1024;
char checked_folder[kCheckedFolderSize];
uint32_t checked_length = 0;

// The name (as given) that the run has just moved a file away from, or
// empty: nothing is there now as far as the run knows, so the look for a
// free temporary name beside the next file needs no call, which under Wine
// is a read of the folder. Whatever creates a name, or changes what a
// relative name means, forgets it first; should someone else take the name
// meanwhile, the exclusive creation finds it and the next look is real.
char moved_away[kCheckedFolderSize];

void forget_moved_away() { moved_away[0] = '\0'; }

void note_moved_away(const char* path) {
    if (str_length(path) < sizeof moved_away) {
        str_copy(moved_away, path);
    } else {
        forget_moved_away();
    }
}

bool known_free(const char* path) {
    uint32_t i = 0;
    while (moved_away[i] != '\0' && moved_away[i] == path[i]) ++i;
    return i != 0 && moved_away[i] == path[i];
}

// True when a folder on the way to the relative `path` (and, with
// `with_last`, the path itself) is a reparse point: a symbolic link or a
// junction that would carry the call elsewhere. Win32 offers no walk that
// holds each folder open, so this is a look before the use. A path the user
// gave as absolute is taken as it stands.
bool crosses_reparse_point(const char* path, bool with_last) {
    if (path[0] == '\\' || (path[0] != '\0' && path[1] == ':')) return false;
    char prefix[kCheckedFolderSize];
    uint32_t same = 0;
    while (same < checked_length && path[same] == checked_folder[same]) {
        prefix[same] = path[same];
        ++same;
    }
    // In the checked folder or below it, the look starts past it (a path
    // cannot start with '\\', so 0 means no folder is skipped).
    const uint32_t checked = same == checked_length && path[same] == '\\' ? same : 0;
    uint32_t i = checked;
    uint32_t found_to = checked;  // the folders up to here are there, and checked
    bool there = true;
    for (;;) {
        const char byte = path[i];
        if ((byte == '\\' && i != checked) || (byte == '\0' && with_last && i != 0)) {
            prefix[i] = '\0';
            const DWORD attributes = GetFileAttributesA(prefix);
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                there = false;
            } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                return true;
            } else if (byte == '\\' && there) {
                found_to = i;
            }
        }
        if (byte == '\0') break;
        if (i + 2 >= sizeof prefix) return false;
        prefix[i] = byte;
        ++i;
        if (is_lead_byte(static_cast<uint8_t>(byte)) && path[i] != '\0') {
            prefix[i] = path[i];
            ++i;
        }
    }
    // A path with no folder there leaves the checked folder as it is.
    if (found_to != 0) {
        for (checked_length = 0; checked_length < found_to; ++checked_length)
            checked_folder[checked_length] = path[checked_length];
    }
    return false;
}

}  // namespace

// ---------------------------------------------------------------- memory

void* mem_alloc(uint32_t bytes) {
    Section section;
    return GlobalAlloc(GPTR, bytes);
}

void mem_free(void* block) {
    Section section;
    if (block) GlobalFree(block);
}

// ---------------------------------------------------------------- files

FileHandle file_open_read(const char* path) {
    Section section;
    HFILE file = _lopen(path, OF_READ);
    return file == HFILE_ERROR ? kNoFile : file;
}

FileHandle file_create_new(const char* path, uint32_t) {
    Section section;
    // CREATE_NEW fails on any existing name, a link included, so nothing is
    // ever truncated or followed. The handle serves as an HFILE from here on.
    forget_moved_away();
    if (crosses_reparse_point(path, false)) return kNoFile;
    HANDLE file =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    return from_handle(file);
}

int32_t file_read(FileHandle file, void* buffer, uint32_t bytes) {
    Section section;
    if (bytes > 0x7FFFFFFFu) bytes = 0x7FFFFFFFu;
    UINT got = _lread(file, buffer, bytes);
    return got == static_cast<UINT>(HFILE_ERROR) ? -1 : static_cast<int32_t>(got);
}

int32_t file_write(FileHandle file, const void* buffer, uint32_t bytes) {
    Section section;
    // A write of no bytes sets the end of file at the current position in the
    // old DOS manner; nothing here means that, so it is simply not made.
    if (bytes == 0) return 0;
    if (bytes > 0x7FFFFFFFu) bytes = 0x7FFFFFFFu;
    UINT put = _lwrite(file, static_cast<LPCCH>(buffer), bytes);
    return put == static_cast<UINT>(HFILE_ERROR) ? -1 : static_cast<int32_t>(put);
}

FileOffset file_seek(FileHandle file, FileOffset offset, int origin) {
    Section section;
#ifdef ZQ_WIDE_FILES
    // The origins are SetFilePointerEx's; a handle of _lopen is a file handle.
    LARGE_INTEGER to, position;
    to.QuadPart = offset;
    if (!SetFilePointerEx(reinterpret_cast<HANDLE>(LONG_PTR(file)), to, &position, DWORD(origin)))
        return -1;
    // Negative exactly when the high part is.
    return position.HighPart < 0 ? -1 : position.QuadPart;
#else
    // Beyond 2 GiB the position comes back negative; that is a failure too.
    const LONG position = _llseek(file, offset, origin);
    return position < 0 ? -1 : position;
#endif
}

int32_t file_close(FileHandle file) {
    Section section;
    return _lclose(file) == HFILE_ERROR ? -1 : 0;
}

// ---------------------------------------------------------------- names

uint32_t file_get_attributes(const char* path) {
    Section section;
    // What lies beyond a reparse point on the way is not ours to look at.
    if (known_free(path) || crosses_reparse_point(path, false)) return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesA(path);
}

bool file_set_attributes(const char* path, uint32_t attributes) {
    Section section;
    return SetFileAttributesA(path, attributes) != 0;
}

bool file_set_mode(const char*, uint32_t) { return true; }
bool link_create(const char*, const char*) { return false; }
bool platform_restores_tree() { return false; }
bool file_link_create(const char*, const char*) { return false; }
bool files_are_one(const char*, const char*) { return false; }
bool path_set_owner(const char*, uint32_t, uint32_t) { return true; }
bool process_may_set_owners() { return false; }
bool dir_restore(const char*, const FolderRestore&) { return true; }

bool file_delete(const char* path) {
    Section section;
    return DeleteFileA(path) != 0;
}

bool file_move_replace(const char* from, const char* to) {
    Section section;
    // MoveFileEx never replaces a directory (the call fails), so one in the
    // way stays and stops the run without a look of ours first: a look costs
    // a name lookup per file, which under Wine is a read of the folder.
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) == 0) return false;
    note_moved_away(from);
    return true;
}

bool file_set_times(const char* path, uint64_t creation, uint64_t last_access,
                    uint64_t last_write) {
    Section section;
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME created = to_filetime(creation);
    FILETIME accessed = to_filetime(last_access);
    FILETIME written = to_filetime(last_write);
    BOOL done = SetFileTime(file, &created, &accessed, &written);
    CloseHandle(file);
    return done != 0;
}

bool file_set_times_open(FileHandle file, uint64_t creation, uint64_t last_access,
                         uint64_t last_write) {
    Section section;
    // Times set on a handle are kept at its close: the system stops updating
    // them for that handle.
    FILETIME created = to_filetime(creation);
    FILETIME accessed = to_filetime(last_access);
    FILETIME written = to_filetime(last_write);
    return SetFileTime(to_handle(file), &created, &accessed, &written) != 0;
}

bool file_set_attributes_open(FileHandle, uint32_t, bool) { return false; }

// ---------------------------------------------------------------- directories

bool dir_set_current(const char* path) {
    Section section;
    checked_length = 0;  // checked from the folder this call leaves
    forget_moved_away();
    return SetCurrentDirectoryA(path) != 0;
}

bool dir_create(const char* path) {
    Section section;
    forget_moved_away();
    if (crosses_reparse_point(path, false)) return false;
    return CreateDirectoryA(path, nullptr) != 0;
}

bool path_crosses_link(const char* path) {
    Section section;
    return crosses_reparse_point(path, true);
}

// ---------------------------------------------------------------- errors
// The Windows stub writes no error lines (error_note), so it needs
// neither the code nor its text.
int32_t last_system_error() { return 0; }
const char* system_error_text(int32_t) { return ""; }

// ---------------------------------------------------------------- console

FileHandle std_error() { return kNoFile; }

FileHandle std_input() {
    Section section;
    return from_handle(GetStdHandle(STD_INPUT_HANDLE));
}

FileHandle std_output() {
    Section section;
    return from_handle(GetStdHandle(STD_OUTPUT_HANDLE));
}

bool is_console(FileHandle input) {
    Section section;
    DWORD mode = 0;
    return GetConsoleMode(to_handle(input), &mode) != 0;
}

int32_t std_read(FileHandle input, void* buffer, uint32_t bytes) {
    DWORD got = 0;
    BOOL done = ReadFile(to_handle(input), buffer, bytes, &got, nullptr);
    Section section;  // the run may have been ended while the read waited
    return done ? static_cast<int32_t>(got) : -1;
}

void console_password_mode(FileHandle input) {
    Section section;
    DWORD mode = 0;
    if (!GetConsoleMode(to_handle(input), &mode)) return;  // not a console
    saved_console_mode = mode;
    console_mode_saved = true;
    SetConsoleMode(to_handle(input), ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT);
}

void console_restore_mode(FileHandle input) {
    Section section;
    if (!console_mode_saved) return;
    SetConsoleMode(to_handle(input), saved_console_mode);
    console_mode_saved = false;
}

void install_control_handler(ControlHandler handler) {
    Section section;
    control_handler = handler;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

// A hold is a section left open until the release: an event that comes
// meanwhile is claimed by its thread, which then waits for the release.
void control_events_hold() {
    section_enter();
    if (hold_depth == 0) __atomic_store_n(&holder, current_thread_block(), __ATOMIC_SEQ_CST);
    __atomic_add_fetch(&hold_depth, 1, __ATOMIC_SEQ_CST);
}

void control_events_release() {
    if (hold_depth == 0 || holder != current_thread_block()) return;
    if (__atomic_sub_fetch(&hold_depth, 1, __ATOMIC_SEQ_CST) == 0) {
        __atomic_store_n(&holder, nullptr, __ATOMIC_SEQ_CST);
    }
    section_leave();
}

}  // namespace zq
