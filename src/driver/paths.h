// Path strings, temporary names and the small file helpers of the extraction
// run. Paths are 8-bit, NUL-terminated, '\'-separated and live in 512-byte
// buffers; a byte that the platform counts as a lead byte (is_lead_byte:
// none on Linux, the ANSI code page's on Windows) starts a two-byte character
// whose second byte is never a separator.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zq {

constexpr uint32_t kPathBufferSize = 512;
constexpr uint32_t kLastTempNumber = 998;  // names ...000000 to ...000998

// Turns the prefix in `buffer` (512 bytes) into the first name of the form
// prefix + six digits, numbers `first` to 998, under which nothing exists yet.
// Returns `buffer` (and the number in *chosen when asked), or null when every
// name is taken or the name does not fit.
char* make_temp_name(char* buffer, uint32_t first = 0, uint32_t* chosen = nullptr);

// Appends '\' (unless the path is empty or already ends in a separator) and
// `name`, within `limit` bytes (NUL included). Null when it does not fit; a
// separator already appended then stays.
char* append_path(char* path, const char* name, uint32_t limit);

// The path's last separator, or the path itself when it has none.
const char* find_last_separator(const char* path);

// Writes the part of `path` before its last separator into `destination`
// (empty when there is none) and returns `destination`.
char* copy_dir_part(char* destination, const char* path);

// Creates the directory `path` unless one is already there; false when
// neither is the case afterwards (a link to a folder is not one).
bool ensure_directory(const char* path);

// Creates the missing directories of the relative `path`, then the file
// itself, new and empty (never an existing name). The handle of the new file;
// 0 when a directory on the way can neither be found nor created; -1 when the
// file itself cannot be created. The current directory is never changed.
// `mode` as for file_create_new.
FileHandle create_file_with_parents(const char* path, uint32_t mode = kNewFileMode);

// The same for a symbolic link holding `target`; false when a directory on
// the way fails or something already exists at `path`.
bool create_link_with_parents(const char* target, const char* path);

// The same for another name (a hard link) of the file `existing`.
bool hard_link_with_parents(const char* existing, const char* path);

// Folders between the run folder and what `path` names: its separators.
uint32_t path_depth(const char* path);

// 0 when nothing exists at `path` afterwards, 1 when something is there and
// cannot be deleted (a directory, a file in use).
int delete_file(const char* path);

// Unix seconds to FILETIME (100 ns units since 1601-01-01 UTC).
uint64_t unix_to_filetime(int32_t unix_time);

// Recorded Unix times as FILETIMEs; -1 in `access_time` or `create_time`
// stands for `write_time`.
struct FileTimes {
    uint64_t created;
    uint64_t accessed;
    uint64_t written;
};
FileTimes recorded_times(int32_t access_time, int32_t write_time, int32_t create_time);

// Gives the file its recorded times, as recorded_times reads them. 0, or 3
// when the times cannot be set.
int set_file_times(const char* path, int32_t access_time, int32_t write_time, int32_t create_time);
// The same for a file still open for writing.
int set_open_file_times(FileHandle file, int32_t access_time, int32_t write_time,
                        int32_t create_time);

}  // namespace zq
