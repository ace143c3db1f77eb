// What an installer that leaves nothing behind needs on Windows (its private
// folder, made and removed, the folder the user was in, and the variables
// it hands to the program it runs), and the system's word for help.
#include "platform/win32_section.h"

namespace zq {

bool platform_help_word(const char* word) {
    return word[0] == '/' && word[1] == '?' && word[2] == '\0';
}

uint32_t dir_get_current(char* buffer, uint32_t size) {
    Section section;
    const DWORD length = GetCurrentDirectoryA(size, buffer);
    if (length != 0 && length < size) return length;
    buffer[0] = '\0';
    return 0;
}

bool dir_make_private(char* buffer, uint32_t size) {
    Section section;
    const DWORD length = GetTempPathA(size, buffer);
    if (length == 0 || length + 12 > size) return false;
    // In the user's own temporary folder, the first free name: made
    // exclusively, so a name taken by anyone (meanwhile too) is passed by.
    for (uint32_t number = 0; number < 1000000; ++number) {
        format_numbered_name(buffer + length, size - length, "zqsfx", number);
        if (CreateDirectoryA(buffer, nullptr)) return true;
        if (GetFileAttributesA(buffer) == INVALID_FILE_ATTRIBUTES) return false;
    }
    return false;
}

namespace {

constexpr uint32_t kTreePath = MAX_PATH + 16;

// Removes what the folder `path[0, length)` holds, then the folder. A
// reparse point (a link or junction) is removed as itself, never entered.
void remove_folder(char* path, uint32_t length) {
    str_copy(path + length, "\\*");
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA(path, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const char* name = found.cFileName;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            const uint32_t name_length = str_length(name);
            if (length + 1 + name_length >= kTreePath) continue;
            str_copy(path + length + 1, name);
            SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
            const DWORD kind = found.dwFileAttributes;
            if ((kind & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                DeleteFileA(path);
            } else if (kind & FILE_ATTRIBUTE_REPARSE_POINT) {
                RemoveDirectoryA(path);
            } else {
                remove_folder(path, length + 1 + name_length);
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    path[length] = '\0';
    RemoveDirectoryA(path);
}

}  // namespace

void dir_remove_tree(const char* path) {
    Section section;
    char work[kTreePath];
    const uint32_t length = str_length(path);
    if (length + 2 >= kTreePath) return;
    str_copy(work, path);
    // The current folder cannot be removed: the run moves to the parent
    // (the name after the last '\\' is ours, plain ASCII).
    uint32_t cut = length;
    while (cut > 0 && work[cut - 1] != '\\') --cut;
    const char first = work[cut];
    work[cut] = '\0';
    if (cut > 0) SetCurrentDirectoryA(work);
    work[cut] = first;
    remove_folder(work, length);
}

void environment_set(const char* name, const char* value) {
    Section section;
    SetEnvironmentVariableA(name, value);
}

}  // namespace zq
