// Where a path leads on Linux, without passing a symbolic link: the folder
// that holds its last component, open, and that component's name. Shared by
// the file routines of the POSIX platform layer only.
#pragma once

#include <cstdint>
#include <sys/syscall.h>
#include <unistd.h>

namespace zq {
namespace posix {

// Room for a converted path: far more than the 512-byte buffers above us use,
// so that absolute paths given to zqpack (and the own executable) fit too.
constexpr uint32_t kOsPathSize = 4096;

// Copies `path` into `out`, turning every separator '\' into '/'. Names are
// UTF-8 here, where no byte of a character is ever 0x5C. False when the path
// does not fit.
bool to_os_path(const char* path, char* out);

// Keeps our own files off descriptors 0-2: with a standard handle closed, a
// file opened there would receive console text or be read as an answer.
int away_from_std(int fd);

// A relative path (every name the extraction run makes is one) is walked a
// folder at a time with O_NOFOLLOW, so a link planted on the way stops the
// call instead of sending it elsewhere, and nothing can swap a folder for a
// link between the look and the use. The folders found are kept open for the
// rest of the run (a few at a time): the next file in the same folder costs
// no walk, and a folder swapped for a link later is never entered through it,
// since the run goes on in the folder it verified. An absolute path is one the
// user gave and is taken as it stands.
struct Place {
    int folder;
    const char* name = nullptr;
    bool owned = false;  // `folder` is ours to close (a walk that was not kept)
    int slot = -1;       // else the kept folder it is (-2: the current one)
    Place();
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    ~Place();
};

// `os_path` is changed while walked and put back. False (errno set) when a
// folder on the way is missing, is not a folder, or is a link; `place` then
// holds the last folder reached and the name that could not be entered.
bool find_place(char* os_path, Place* place);

// The path in the kernel's terms, and where it leads.
bool resolve(const char* path, char* os_path, Place* place);

// The kept descriptor of the folder `os_path` itself (relative, without a
// trailing '/'), or -1 when it is not kept. Still the caller's to use only,
// never to close, and only until the next walk.
int kept_folder(const char* os_path);

// Closes the folders kept open: relative paths start elsewhere from now on.
void forget_folders();

// A name the run has just moved a file away from, in a kept folder: nothing
// is there now as far as the run knows, so the look for a free temporary
// name beside the next file needs no system call. Whatever creates a name
// forgets it first; should someone else take the name meanwhile, the
// exclusive creation finds it and the next look is made for real.
void note_moved_away(const Place& from, const Place& to);
bool known_free(const Place& place);
void forget_moved_away();

// What the run knows of the names in a kept folder: the folder is listed on
// the first look for a name in it, and every name the run makes there from
// then on is noted (note_made), so a look for a name that is in neither is
// answered without a system call: nothing is there. The names are kept as a
// filter, their ASCII letters folded (a file system may ignore case), so a
// name that is there is never missed, and one that is not may still be
// looked up for real; a name beyond plain ASCII is always looked up, and a
// folder holding one, or more than a few thousand names, is not answered
// for at all. Someone else making the name meanwhile is the race any
// look has before the use: the exclusive creation and the rename judge what
// is there when they run.
bool known_absent(const Place& place);
void note_made(const Place& place);

// The records getdents64 fills, as the kernel lays them out.
struct DirEntry64 {
    uint64_t inode;
    int64_t offset;
    uint16_t length;
    uint8_t type;
    char name[1];
};

bool is_dot_or_dots(const char* name);

// Calls visit(name) for every entry of the open folder `folder` from where
// its listing stands, "." and ".." left out, until the listing ends (true)
// or fails or visit returns false (false). `kBufferSize` bytes of stack,
// which a recursive caller keeps small.
template <uint32_t kBufferSize, typename Visit>
bool list_folder(int folder, Visit visit) {
    alignas(8) char buffer[kBufferSize];
    for (;;) {
        const long got = syscall(SYS_getdents64, folder, buffer, sizeof buffer);
        if (got <= 0) return got == 0;
        for (long at = 0; at < got;) {
            const DirEntry64* entry = reinterpret_cast<const DirEntry64*>(buffer + at);
            if (entry->length == 0) return false;
            at += entry->length;
            if (!is_dot_or_dots(entry->name) && !visit(entry->name)) return false;
        }
    }
}

}  // namespace posix
}  // namespace zq
