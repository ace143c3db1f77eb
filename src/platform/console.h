// The program's whole contact with the user: plain byte reads and writes on the
// standard handles, so redirected input and output work like a console.
#pragma once

#include <cstdint>

namespace zq {

// Line endings for console_write.
constexpr int kEndNone = 0;
constexpr int kEndLf = 1;
constexpr int kEndCr = 2;
constexpr int kEndCrLf = 3;

// Writes the text, then the mode's line ending, as two writes. Failures are
// ignored. Async-signal-safe.
void console_write(const char* text, int mode);

// Writes a '\'-separated path as this system shows paths: Linux with '/'.
void console_write_path(const char* path, int mode);

// First byte of one line (from a console, one read of up to 256 bytes), or
// -1 when standard input is exhausted or fails.
int read_key();

constexpr uint32_t kPasswordBufferSize = 256;
// Reads one line with echo off into `buffer` (256 bytes), strips a trailing
// CR LF, LF or CR and NUL-terminates it. 0 on success, -1 when standard input
// is exhausted or fails.
int read_password(char* buffer);

}  // namespace zq
