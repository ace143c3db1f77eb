// The program's whole contact with the user: plain byte reads and writes on the
// standard handles, so redirected input and output work like a console.
#pragma once

#include <cstdint>

namespace zq {

// How console_write ends what it writes. The bytes come from the system's
// console conventions (console_posix.cpp, console_win32.cpp).
constexpr int kEndNone = 0;
// The end of a line: CR LF on Windows, LF on Linux.
constexpr int kEndLine = 1;
// Back to the start of the line, to draw over it: the progress bar only.
constexpr int kEndCr = 2;
// The end of a typed answer whose Enter was not echoed (the password).
constexpr int kEndAnswer = 3;
constexpr int kConsoleModes = 4;
extern const char kConsoleEndings[kConsoleModes][3];

// Writes the text, then the mode's ending, as two writes. Failures are
// ignored. Async-signal-safe.
void console_write(const char* text, int mode);

// Writes a '\'-separated path as this system shows paths: Linux with '/'.
void console_write_path(const char* path, int mode);

// What a file line names: on Linux, when standard output is a log (no
// terminal, and no bars asked for), the '\'-separated stored `path` shown with '/', so that the
// lines of a deep tree say which file each is; otherwise the bare `name`. Points into a buffer of
// the platform's until the next call.
const char* console_file_label(const char* name, const char* path);

// Whether progress bars are drawn: always on Windows; on Linux when standard
// output is a terminal (a pipe or a file gets the file lines alone) or the
// environment variable below is 1.
constexpr char kProgressVariable[] = "ZQSFX_PROGRESS";
bool console_draws_progress();

// First byte of one line (from a console, one read of up to 256 bytes), or
// -1 when standard input is exhausted or fails.
int read_key();

constexpr uint32_t kPasswordBufferSize = 256;
// Reads one line with echo off into `buffer` (256 bytes), strips a trailing
// CR LF, LF or CR and NUL-terminates it. 0 on success, -1 when standard input
// is exhausted or fails.
int read_password(char* buffer);

}  // namespace zq
