// The one door to the operating system.
//
// Everything above this header is portable. win32.cpp implements it with the
// classic Win32 calls the stub was designed around; posix.cpp gives the same
// behaviour on Linux. Paths passed in are 8-bit, NUL-terminated, relative or
// absolute, with '\' as the only separator; the Linux side turns each '\' into
// '/' on the way to the kernel (its names are UTF-8, which has no two-byte
// characters in this sense).
//
// Every routine here that terminate() may reach (console output, close,
// attributes, delete, exit) must stay async-signal-safe on Linux.
#pragma once

#include <cstdint>

namespace zq {

// ---------------------------------------------------------------- handles
// A 32-bit file handle in the style of the old HFILE: -1 is "no handle".
using FileHandle = int32_t;
constexpr FileHandle kNoFile = -1;

// File positions and sizes. 64-bit on Linux and in the wide Windows stub
// (ZQ_WIDE_FILES), which read the wide form, where an archive reaches past
// 4 GiB; 32-bit in the other Windows stubs, which read the narrow form only
// (the wide form's 64-bit arithmetic would pass their byte budget), so that
// their positions stay below 2 GiB and their sums in 32 bits. Known when
// compiling, so that those stubs carry no 64-bit offset code.
#if defined(_WIN32) && !defined(ZQ_WIDE_FILES)
using FileOffset = int32_t;
using FileSize = uint32_t;
#else
using FileOffset = int64_t;
using FileSize = uint64_t;
#endif
constexpr FileOffset kMaxFileOffset = FileOffset(~FileSize(0) >> 1);
constexpr bool platform_reads_wide() { return sizeof(FileOffset) == 8; }
// The narrow form is read everywhere but in the wide Windows stub: zqpack puts
// that one only in front of wide archives, and reading both forms would pass
// its byte budget.
#if defined(_WIN32) && defined(ZQ_WIDE_FILES)
constexpr bool platform_reads_narrow() { return false; }
#else
constexpr bool platform_reads_narrow() { return true; }
#endif

// Origins for file_seek.
constexpr int kSeekSet = 0;
constexpr int kSeekCur = 1;
constexpr int kSeekEnd = 2;

// ---------------------------------------------------------------- memory
// Zero-filled memory from the global allocator; null on failure.
void* mem_alloc(uint32_t bytes);
void mem_free(void* block);

// ---------------------------------------------------------------- files
// Opens an existing file for reading; kNoFile on failure.
FileHandle file_open_read(const char* path);
// Creates a new, empty file for writing, failing when anything already exists
// under that name (no truncation, no following of a planted link). Where the
// system keeps modes it gets the permission bits of `mode` (0777) less the
// umask, so that a file made with the mode it is to keep needs no change.
constexpr uint32_t kNewFileMode = 0666;
FileHandle file_create_new(const char* path, uint32_t mode = kNewFileMode);
// Bytes moved, or -1 on failure. A short count is not an error here.
int32_t file_read(FileHandle file, void* buffer, uint32_t bytes);
int32_t file_write(FileHandle file, const void* buffer, uint32_t bytes);
// New position from the start of the file, or -1 on failure (also when the
// position does not fit in a FileOffset).
FileOffset file_seek(FileHandle file, FileOffset offset, int origin);
// 0 on success, -1 on failure.
int32_t file_close(FileHandle file);

// Every routine that creates, changes, moves or removes a file or folder by a
// relative path, and file_get_attributes, reach it without passing a symbolic
// link (Linux) or reparse point (Windows) on the way: such a path fails as if
// nothing were there. A link that is the last component is a name like any
// other (replaced or removed, never written through). On Linux the walk is
// made a folder at a time with O_NOFOLLOW, so it cannot be raced.
//
// True when a component of `path`, the last one included, is such a link:
// tells a refusal for that reason from other failures.
bool path_crosses_link(const char* path);

// ---------------------------------------------------------------- names
constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrHidden = 0x02;
constexpr uint32_t kAttrSystem = 0x04;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;
constexpr uint32_t kAttrNormal = 0x80;
constexpr uint32_t kNoAttributes = 0xFFFFFFFFu;  // nothing exists at the path

uint32_t file_get_attributes(const char* path);
bool file_set_attributes(const char* path, uint32_t attributes);
bool file_delete(const char* path);
// Moves `from` over `to` in one step, replacing an existing file `to`.
// Fails (leaving both in place) when `to` is a directory.
bool file_move_replace(const char* from, const char* to);
// Times as FILETIME values: 100 ns units since 1601-01-01 UTC. The Linux side
// sets access and write times only.
bool file_set_times(const char* path, uint64_t creation, uint64_t last_access, uint64_t last_write);
// Unix permission bits (mode & 0777) on an extracted file, masked by the
// process's umask as tar and unzip do for a normal user. The set-id and
// sticky bits are never restored: an archive must not hand out privileges.
// Does nothing on a link or folder, and on Windows, which has no modes.
bool file_set_mode(const char* path, uint32_t mode);
// The same for a new regular file while it is still open for writing, so
// that no name is looked up again: its times, and what file_set_attributes
// and then (with `has_mode`) file_set_mode would give it. With `has_mode`
// the file was made with that mode (file_create_new), so the mode is in
// place already. Attributes belong
// to names on Windows: file_set_attributes_open returns false there and the
// caller sets them by path once the file has its name; Linux returns true (a
// change the system refuses is let pass, as by path).
bool file_set_times_open(FileHandle file, uint64_t creation, uint64_t last_access,
                         uint64_t last_write);
bool file_set_attributes_open(FileHandle file, uint32_t attributes, bool has_mode);
// Whether this platform makes symbolic links (Linux does; the Windows stub
// skips link records). Known when compiling, so that a program for Windows
// carries none of the code that reads and checks link targets.
#ifdef _WIN32
constexpr bool platform_makes_links() { return false; }
#else
constexpr bool platform_makes_links() { return true; }
#endif
// Whether the archive is read 64 KiB at a time and the decoding threads read
// ahead across files (Linux), or frame by frame with the threads handed one
// file's frames at a time (the Windows stub, whose size budget the read
// buffer and the plan of what comes next would pass). Known when compiling,
// so that the Windows stub carries neither.
#ifdef _WIN32
constexpr bool platform_reads_ahead() { return false; }
#else
constexpr bool platform_reads_ahead() { return true; }
#endif
// Creates a symbolic link at `path` holding `target` verbatim; fails when
// anything already exists at `path`.
bool link_create(const char* target, const char* path);

// ---------------------------------------------------------------- the tree
// Whether this platform restores what the tree supplement keeps: folder
// modes and times, hard links and owners. Linux does; Windows keeps none of
// them, and the Windows stub never reads the supplement.
bool platform_restores_tree();
// Makes `path` another name of the file `existing` (a hard link, never to
// what a link leads to); fails when anything exists at `path` or the system
// cannot link the two (another file system, no hard links there).
bool file_link_create(const char* existing, const char* path);
// Whether the two paths name one file (or folder).
bool files_are_one(const char* a, const char* b);
// Gives the file, folder or link at `path` itself (never what a link leads
// to) the numeric owner and group.
bool path_set_owner(const char* path, uint32_t uid, uint32_t gid);
// Whether the run may give what it made to other owners (root on Linux).
bool process_may_set_owners();
// What the end of a run gives a folder it made, all through one opening of
// the folder itself, so never through a link in its place or on the way:
// the owner and group (with `owners`), the permission bits masked by the
// umask, as for files, with the set-group-id and sticky bits (mode & 03000),
// which only order how the folder's contents are made (set-user-id is never
// set), then the access and write times (FILETIME ticks, as file_set_times
// takes them). False when `path` cannot be opened as a folder.
struct FolderRestore {
    uint32_t mode;
    bool owners;
    uint32_t uid;
    uint32_t gid;
    uint64_t last_access;
    uint64_t last_write;
};
bool dir_restore(const char* path, const FolderRestore& restore);

// ---------------------------------------------------------------- directories
bool dir_create(const char* path);
// Makes `path` the current folder: the one relative paths start from.
bool dir_set_current(const char* path);

// ---------------------------------------------------------------- errors
// The system's code for why the last failing call here failed (errno on
// Linux). Read it before any other call.
int32_t last_system_error();
// The system's words for that code (strerror on Linux).
const char* system_error_text(int32_t error);
// Notes why the run is failing: the path concerned and the reason (both
// must outlive the run). error_note_write writes the note, if any, as one
// line on standard error: the path as this system shows paths, ": " and the
// reason. Async-signal-safe. The Windows stub keeps no note and writes no
// line: its console bytes are exactly those of a run without notes, and the
// texts stay out of its image.
void error_note(const char* path, const char* reason);
void error_note_write();
// Notes why the folder `path` can be neither found nor made, or entered
// (right after the failing call): not a folder, a link on the way, or the
// system's reason.
void error_note_folder(const char* path);

// ---------------------------------------------------------------- console
FileHandle std_input();
FileHandle std_output();
// Standard error (Linux), where the line that says why a run failed goes.
FileHandle std_error();
// True when `input` is a console (Windows) or terminal (Linux), which hands
// over one typed line per read; false for a pipe or a file.
bool is_console(FileHandle input);
// One read from standard input: bytes read, 0 at end of input, -1 on error.
int32_t std_read(FileHandle input, void* buffer, uint32_t bytes);
// Echo off for a password line (console mode 3: processed and line input).
// Does nothing when the input is not a console or terminal. The mode in force
// before is kept and put back by console_restore_mode.
void console_password_mode(FileHandle input);
void console_restore_mode(FileHandle input);

// Console control events (Ctrl+C 0, Ctrl+Break 1, close 2, log-off 5,
// shut-down 6) and on Linux SIGINT 0, SIGQUIT 1, SIGHUP 2, SIGTERM 6 call
// `handler` with the event number. The handler never returns.
using ControlHandler = void (*)(int event);
void install_control_handler(ControlHandler handler);
// Holds console control events off while the caller brings its state (for
// example "a temporary file exists and is ours") into line with the file
// system; an event that comes meanwhile is delivered at release. terminate()
// holds them for good, so that a second event cannot run it twice.
void control_events_hold();
void control_events_release();

// ---------------------------------------------------------------- process
// The whole command line as the system hands it over (Windows only: Linux
// programs receive their words from main).
const char* command_line();
// Room for the running executable's own path (the system's own limit).
constexpr uint32_t kOwnPathBufferSize = 4096;
// Path of the running executable; its length, or 0 on failure.
uint32_t own_executable_path(char* buffer, uint32_t size);
[[noreturn]] void exit_process(int code);
// Adds execute permission wherever the file has read permission (Linux);
// Windows has no such bit.
bool file_make_executable(const char* path);
// The most words process_run passes after the program's own: the same on
// every system, so that an installer packed for one runs the same on the
// other, and well inside what each system takes.
constexpr uint32_t kMaxRunWords = 1000;
// What process_run made of the program.
constexpr int32_t kRunEnded = 0;       // it ran; its exit status is in *status
constexpr int32_t kRunNotStarted = 1;  // the system could not start it
constexpr int32_t kRunTooLong = 2;     // its words exceed the system's command line
// Runs the program at the relative `path` in the current folder, with the
// words `args` after it, and waits for it to end as system(3) does. It is
// started by its full path, never looked up on PATH or in the folder of the
// running program. While it runs, Ctrl+C and Ctrl+Break (SIGINT, SIGQUIT)
// are the program's own business: the caller ignores them, the program gets
// them with their default handling, and the wait goes on to its status.
// *status is that status as the system reports it: on Linux the exit code,
// or 128 + the signal that ended it; on Windows the whole 32-bit code.
int32_t process_run(const char* path, const char* const* args, uint32_t count, int32_t* status);

// Whether `word` asks for help in this system's own way: "/?" on Windows;
// no word on Linux, where it is a path.
bool platform_help_word(const char* word);

// ---------------------------------------------------------------- installer
// The folder the process is in, as an absolute path: its length, or 0 (and
// the buffer left empty) when it does not fit in `size` bytes or cannot be
// had.
uint32_t dir_get_current(char* buffer, uint32_t size);
// Makes a new folder that only this user may enter, for an installer that
// leaves nothing behind, and writes its absolute path into `buffer` (`size`
// bytes): on Linux by mkdtemp under $TMPDIR (/tmp when unset or relative),
// mode 0700; on Windows a new name under GetTempPathA, made exclusively.
// False on failure (the error is the system's).
bool dir_make_private(char* buffer, uint32_t size);
// Removes the folder at the absolute `path` and everything in it, without
// following any link inside (a link is removed, never what it leads to), and
// read-only entries too. What the process cannot remove is left. Leaves the
// folder first where the system cannot remove the current folder (Windows).
// Async-signal-safe on Linux; terminate() calls it.
void dir_remove_tree(const char* path);
// Sets an environment variable that the programs started after inherit.
void environment_set(const char* name, const char* value);

// ---------------------------------------------------------------- target
// Makes the folder the user named, and its missing parents, and enters it.
// The path is the user's own, followed as the user's shell would: links in
// it lead where they lead (only what the run itself creates below it is
// kept from links). Its separators are the system's: on Linux '/' alone (a
// '\' is part of a name), on Windows '\' and '/'. False on failure.
bool dir_enter_user(const char* path);

// ---------------------------------------------------------------- threads
// What the block pipeline needs to decode on several processors: threads,
// counting semaphores and a look at the machine. Posting and waiting order
// memory: what a thread wrote before a post is seen by the thread whose wait
// that post ends. Worker threads never receive console control events; the
// main thread (or, on Windows, the console's own thread) still ends the run,
// and the end of the process takes the workers with it.

// Processors this process may run on; at least 1.
uint32_t processor_count();
// The decimal number in environment variable `name`; 0 when it is missing,
// empty, not a number or beyond 9999.
uint32_t environment_number(const char* name);

using Semaphore = void*;
// A semaphore with count 0; null on failure.
Semaphore semaphore_create();
void semaphore_post(Semaphore semaphore);
// Waits for a post. On the main thread of the Windows stub, a wait that ends
// after a control event has claimed the end goes no further.
void semaphore_wait(Semaphore semaphore);
void semaphore_destroy(Semaphore semaphore);

using ThreadBody = void (*)(void* argument);
using Thread = void*;
// Runs body(argument) on a new thread; null on failure.
Thread thread_start(ThreadBody body, void* argument);
// Waits for the thread's body to return and releases the thread.
void thread_join(Thread thread);

// ---------------------------------------------------------------- strings
// First byte of a two-byte character of the names this system uses; its
// second byte is never a separator, even when it is 0x5C. Windows answers for
// the ANSI code page in force (on code page 932: 0x81-0x9F and 0xE0-0xFC; on
// a single-byte page: none); Linux names are UTF-8 and have none.
bool is_lead_byte(uint8_t byte);

// String routines of our own (the stub links no C runtime).
char* str_copy(char* destination, const char* source);
char* str_append(char* destination, const char* source);
uint32_t str_length(const char* text);
// Writes `value` right-aligned in at least `width` places, `pad` in front,
// more when it has more digits; no NUL. Returns the end.
char* put_number(char* out, uint64_t value, uint32_t width, char pad);
// 0 when equal regardless of letter case.
int str_compare_nocase(const char* a, const char* b);
// Writes prefix followed by `number` as six decimal digits ("%s%06d") into
// `out`, which holds `out_size` bytes; false when it does not fit.
bool format_numbered_name(char* out, uint32_t out_size, const char* prefix, uint32_t number);
// Writes `size` right-aligned in ten places (more for a size of more digits),
// two blanks, the Unix time as "YYYY-MM-DD HH:MM:SS" in UTC and two blanks
// (44 to 54 bytes and a NUL; `out` holds at least 64).
void format_size_and_time(char* out, FileSize size, int32_t unix_time);

}  // namespace zq
