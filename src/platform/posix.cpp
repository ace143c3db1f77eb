// The platform layer on Linux and other POSIX systems: memory, files,
// names, folders and the programs started by path.
//
// The code above this file thinks in the terms of the original Windows stub:
// '\'-separated 8-bit paths, attribute bits, FILETIMEs, console events. Each
// routine here gives that behaviour with plain POSIX calls. Everything here
// that terminate() can reach (close, attributes, delete) uses only
// async-signal-safe calls and stack buffers. posix_process.cpp holds the
// console, the control signals and the threads; strings_posix.cpp the text
// routines, which need no system call.
#include "platform/platform.h"
#include "platform/posix_place.h"

#include <cerrno>
#include <csignal>
#include <cstdio>  // renameat
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zq {
namespace {

using posix::away_from_std;
using posix::kOsPathSize;
using posix::Place;
using posix::resolve;
using posix::to_os_path;

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

FileHandle file_create_new(const char* path, uint32_t mode) {
    char os_path[kOsPathSize];
    Place place;
    if (!resolve(path, os_path, &place)) return kNoFile;
    posix::forget_moved_away();
    posix::note_made(place);
    int fd;
    do {
        fd = openat(place.folder, place.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    mode_t(mode & 0777));
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

FileOffset file_seek(FileHandle file, FileOffset offset, int origin) {
    int whence = SEEK_SET;
    if (origin == kSeekCur) whence = SEEK_CUR;
    if (origin == kSeekEnd) whence = SEEK_END;
    static_assert(sizeof(off_t) == 8, "64-bit file offsets");
    const off_t position = lseek(file, off_t(offset), whence);
    return position < 0 ? -1 : FileOffset(position);
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
    if (!resolve(path, os_path, &place) || posix::known_free(place) || posix::known_absent(place))
        return kNoAttributes;
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

namespace {
// The permission bits that carry `attributes` over a file's `mode`: read-only
// clears the write bits; a file that is not read-only gets its owner's back.
mode_t mode_with_attributes(mode_t mode, uint32_t attributes) {
    if (attributes & kAttrReadOnly) return mode & mode_t(~(S_IWUSR | S_IWGRP | S_IWOTH));
    if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return mode | S_IWUSR;
    return mode;
}
}  // namespace

bool file_set_attributes(const char* path, uint32_t attributes) {
    char os_path[kOsPathSize];
    Place place;
    if (!resolve(path, os_path, &place)) return false;
    struct stat info;
    if (fstatat(place.folder, place.name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    // A link has no attributes of its own, and chmod would reach through it.
    if (S_ISLNK(info.st_mode) || S_ISDIR(info.st_mode)) return true;
    const mode_t mode = mode_with_attributes(info.st_mode & 07777, attributes);
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
    Place place;
    if (!resolve(path, os_path, &place)) return false;
    struct stat info;
    if (fstatat(place.folder, place.name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISREG(info.st_mode)) return true;
    return fchmodat(place.folder, place.name, mode_t(mode & 0777) & ~process_umask(), 0) == 0;
}

bool file_set_attributes_open(FileHandle file, uint32_t attributes, bool has_mode) {
    // A recorded mode replaces what the attributes would make of the bits,
    // and the file was made with it, less the umask.
    if (has_mode) return true;
    struct stat info;
    if (fstat(file, &info) != 0) return true;
    const mode_t wanted = mode_with_attributes(info.st_mode & 07777, attributes);
    if (wanted != (info.st_mode & 07777)) fchmod(file, wanted);
    return true;
}

bool link_create(const char* target, const char* path) {
    // Made only in the folder the path names, never through a link on the
    // way: the target was judged safe for that folder's depth alone.
    char os_path[kOsPathSize];
    Place place;
    if (!resolve(path, os_path, &place)) return false;
    posix::forget_moved_away();
    posix::note_made(place);
    return symlinkat(target, place.folder, place.name) == 0;
}

bool platform_restores_tree() { return true; }

bool file_link_create(const char* existing, const char* path) {
    char os_from[kOsPathSize];
    char os_to[kOsPathSize];
    Place from;
    Place to;
    if (!resolve(existing, os_from, &from) || !resolve(path, os_to, &to)) return false;
    posix::forget_moved_away();
    posix::note_made(to);
    // No AT_SYMLINK_FOLLOW: a link at `existing` is linked as itself.
    return linkat(from.folder, from.name, to.folder, to.name, 0) == 0;
}

bool files_are_one(const char* a, const char* b) {
    char os_a[kOsPathSize];
    char os_b[kOsPathSize];
    Place place_a;
    Place place_b;
    if (!resolve(a, os_a, &place_a) || !resolve(b, os_b, &place_b)) return false;
    struct stat info_a;
    struct stat info_b;
    return fstatat(place_a.folder, place_a.name, &info_a, AT_SYMLINK_NOFOLLOW) == 0 &&
           fstatat(place_b.folder, place_b.name, &info_b, AT_SYMLINK_NOFOLLOW) == 0 &&
           info_a.st_dev == info_b.st_dev && info_a.st_ino == info_b.st_ino;
}

bool path_set_owner(const char* path, uint32_t uid, uint32_t gid) {
    char os_path[kOsPathSize];
    Place place;
    if (!resolve(path, os_path, &place)) return false;
    return fchownat(place.folder, place.name, uid_t(uid), gid_t(gid), AT_SYMLINK_NOFOLLOW) == 0;
}

bool process_may_set_owners() { return geteuid() == 0; }

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
    posix::forget_moved_away();
    posix::note_made(to_place);
    if (renameat(from_place.folder, from_place.name, to_place.folder, to_place.name) != 0)
        return false;
    posix::note_moved_away(from_place, to_place);
    return true;
}

namespace {
// FILETIMEs (100 ns units since 1601) as the access and write times.
void to_timespecs(uint64_t last_access, uint64_t last_write, struct timespec* times) {
    // 11644473600 s lie between 1601 and 1970.
    constexpr int64_t kTicksPerSecond = 10000000;
    constexpr int64_t kEpochGap = 11644473600LL;
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
}
}  // namespace

// Linux keeps no settable creation time.
bool file_set_times(const char* path, uint64_t, uint64_t last_access, uint64_t last_write) {
    char os_path[kOsPathSize];
    Place place;
    if (!resolve(path, os_path, &place)) return false;
    struct timespec times[2];
    to_timespecs(last_access, last_write, times);
    return utimensat(place.folder, place.name, times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool file_set_times_open(FileHandle file, uint64_t, uint64_t last_access, uint64_t last_write) {
    struct timespec times[2];
    to_timespecs(last_access, last_write, times);
    return futimens(file, times) == 0;
}

bool dir_restore(const char* path, const FolderRestore& restore) {
    char os_path[kOsPathSize];
    if (!to_os_path(path, os_path)) return false;
    // A kept folder was opened on a walk that passed no link: it is the one.
    int fd = posix::kept_folder(os_path);
    const bool opened = fd < 0;
    if (opened) {
        Place place;
        if (!find_place(os_path, &place)) return false;
        do {
            fd = openat(place.folder, place.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) return false;
    }
    // The owner first: a change of owner may clear the mode's special bits.
    if (restore.owners) fchown(fd, uid_t(restore.uid), gid_t(restore.gid));
    const mode_t wanted =
        (mode_t(restore.mode & 0777) & ~process_umask()) | mode_t(restore.mode & 03000);
    bool done = fchmod(fd, wanted) == 0;
    struct timespec times[2];
    to_timespecs(restore.last_access, restore.last_write, times);
    done = futimens(fd, times) == 0 && done;
    if (opened) close(fd);
    return done;
}

// ---------------------------------------------------------------- directories
bool dir_create(const char* path) {
    char os_path[kOsPathSize];
    Place place;
    if (!resolve(path, os_path, &place)) return false;
    posix::forget_moved_away();
    posix::note_made(place);
    return mkdirat(place.folder, place.name, 0777) == 0;
}

bool dir_set_current(const char* path) {
    char os_path[kOsPathSize];
    if (!to_os_path(path, os_path) || chdir(os_path) != 0) return false;
    posix::forget_folders();
    return true;
}

bool path_crosses_link(const char* path) {
    char os_path[kOsPathSize];
    if (!to_os_path(path, os_path)) return false;
    // The walk stops at the first folder it cannot enter; whether that one
    // (or, when it gets through, the last component) is a link is the answer.
    Place place;
    posix::find_place(os_path, &place);
    char* end = os_path + (place.name - os_path);
    while (*end != '\0' && *end != '/') ++end;
    *end = '\0';
    struct stat info;
    return fstatat(place.folder, place.name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(info.st_mode);
}

// ---------------------------------------------------------------- programs
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

}  // namespace zq
