#include "driver/paths.h"

namespace zq {

char* make_temp_name(char* buffer, uint32_t first, uint32_t* chosen) {
    char candidate[kPathBufferSize];
    for (uint32_t number = first; number <= kLastTempNumber; ++number) {
        if (!format_numbered_name(candidate, sizeof candidate, buffer, number)) return nullptr;
        // Free means nothing at all is there: not a file we cannot read, not
        // a directory, not a dangling link. The name is only taken for real
        // by the exclusive creation that follows.
        if (file_get_attributes(candidate) == kNoAttributes) {
            str_copy(buffer, candidate);
            if (chosen != nullptr) *chosen = number;
            return buffer;
        }
    }
    return nullptr;
}

const char* find_last_separator(const char* path) {
    const char* last = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (is_lead_byte(uint8_t(*p))) {
            if (p[1] == '\0') break;
            ++p;  // the second byte of a two-byte character
        } else if (*p == '\\') {
            last = p;
        }
    }
    return last;
}

namespace {
// True when the path's last byte is a real separator, not the second byte of
// a two-byte character.
bool ends_with_separator(const char* path, uint32_t length) {
    if (length == 0) return false;
    const char* last = find_last_separator(path);
    return *last == '\\' && last == path + length - 1;
}
}  // namespace

char* append_path(char* path, const char* name, uint32_t limit) {
    uint32_t length = str_length(path);
    if (length != 0 && !ends_with_separator(path, length)) {
        if (length + 2 > limit) return nullptr;
        path[length++] = '\\';
        path[length] = '\0';
    }
    if (length + str_length(name) + 1 > limit) return nullptr;
    str_copy(path + length, name);
    return path;
}

char* copy_dir_part(char* destination, const char* path) {
    const char* separator = find_last_separator(path);
    const uint32_t length = uint32_t(separator - path);  // 0 without a separator
    for (uint32_t i = 0; i < length; ++i) destination[i] = path[i];
    destination[length] = '\0';
    return destination;
}

bool ensure_directory(const char* path) {
    if (dir_create(path)) return true;
    // "Nothing there" has every attribute bit set, the directory bit too. A
    // link to a folder is not a folder of ours.
    const uint32_t attributes = file_get_attributes(path);
    return attributes != kNoAttributes && (attributes & kAttrDirectory) != 0 &&
           !path_crosses_link(path);
}

namespace {
// Creates each missing directory on the way to the file `path` names; false
// when one can neither be created nor is already a directory.
bool create_parents(const char* path) {
    char prefix[kPathBufferSize];
    uint32_t i = 0;
    while (path[i] != '\0') {
        if (i + 2 >= kPathBufferSize) return false;
        const uint8_t byte = uint8_t(path[i]);
        if (is_lead_byte(byte) && path[i + 1] != '\0') {
            prefix[i] = path[i];
            prefix[i + 1] = path[i + 1];
            i += 2;
            continue;
        }
        if (byte == '\\' && i != 0) {
            prefix[i] = '\0';
            if (!ensure_directory(prefix)) return false;
        }
        prefix[i] = path[i];
        ++i;
    }
    return true;
}
}  // namespace

FileHandle create_file_with_parents(const char* path, uint32_t mode) {
    // Most files land in a directory that is already there: one call then.
    const FileHandle file = file_create_new(path, mode);
    if (file != kNoFile) return file;
    if (!create_parents(path)) return 0;
    return file_create_new(path, mode);
}

bool create_link_with_parents(const char* target, const char* path) {
    if (link_create(target, path)) return true;
    return create_parents(path) && link_create(target, path);
}

bool hard_link_with_parents(const char* existing, const char* path) {
    if (file_link_create(existing, path)) return true;
    return create_parents(path) && file_link_create(existing, path);
}

uint32_t path_depth(const char* path) {
    uint32_t depth = 0;
    for (uint32_t i = 0; path[i] != '\0'; ++i) {
        if (is_lead_byte(uint8_t(path[i])) && path[i + 1] != '\0') {
            ++i;
        } else if (path[i] == '\\') {
            ++depth;
        }
    }
    return depth;
}

int delete_file(const char* path) {
    if (file_get_attributes(path) == kNoAttributes) return 0;
    file_set_attributes(path, kAttrNormal);  // read-only must not stop the delete
    return file_delete(path) ? 0 : 1;
}

// Out of line: a file's three times share one copy of the 64-bit
// arithmetic, which 32-bit code spells out at length.
[[gnu::noinline]] uint64_t unix_to_filetime(int32_t unix_time) {
    return uint64_t((int64_t(unix_time) + 11644473600LL) * 10000000LL);
}

FileTimes recorded_times(int32_t access_time, int32_t write_time, int32_t create_time) {
    const uint64_t written = unix_to_filetime(write_time);
    return FileTimes{create_time == -1 ? written : unix_to_filetime(create_time),
                     access_time == -1 ? written : unix_to_filetime(access_time), written};
}

int set_file_times(const char* path, int32_t access_time, int32_t write_time, int32_t create_time) {
    const FileTimes t = recorded_times(access_time, write_time, create_time);
    return file_set_times(path, t.created, t.accessed, t.written) ? 0 : 3;
}

int set_open_file_times(FileHandle file, int32_t access_time, int32_t write_time,
                        int32_t create_time) {
    const FileTimes t = recorded_times(access_time, write_time, create_time);
    return file_set_times_open(file, t.created, t.accessed, t.written) ? 0 : 3;
}

}  // namespace zq
