// What an installer that leaves nothing behind needs on Linux (its private
// folder, made and removed, the folder the user was in, and the variables
// it hands to the program it runs), and the system's word for help.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix_place.h"

namespace zq {

bool platform_help_word(const char*) { return false; }

uint32_t dir_get_current(char* buffer, uint32_t size) {
    // A failing getcwd may leave a partial text behind.
    if (getcwd(buffer, size) == nullptr) {
        if (size > 0) buffer[0] = '\0';
        return 0;
    }
    return uint32_t(strlen(buffer));
}

bool dir_make_private(char* buffer, uint32_t size) {
    static const char kName[] = "/zqsfx.XXXXXX";
    const char* base = getenv("TMPDIR");
    // A relative TMPDIR would put the folder below wherever the run is.
    if (base == nullptr || base[0] != '/') base = "/tmp";
    size_t length = strlen(base);
    while (length > 1 && base[length - 1] == '/') --length;
    if (length + sizeof kName > size) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(buffer, base, length);
    memcpy(buffer + length, kName, sizeof kName);
    return mkdtemp(buffer) != nullptr;  // mode 0700
}

namespace {

// Deeper than any path the run makes (511 bytes); a program that went
// deeper leaves what lies below.
constexpr int kDeepest = 300;

bool remove_entry(int folder, const char* name, int depth);

// Empties the open folder `folder`. Entries are taken as the kernel lists
// them and the listing is read again from the start after each pass that
// removed something, since removing while listing may skip names; a pass
// that removes nothing ends it, whatever is left.
void empty_folder(int folder, int depth) {
    for (bool removed = true; removed;) {
        removed = false;
        if (lseek(folder, 0, SEEK_SET) != 0) return;
        posix::list_folder<1024>(folder, [&](const char* name) {
            if (remove_entry(folder, name, depth)) removed = true;
            return true;
        });
    }
}

// A name is unlinked as it is (a link goes, never what it leads to); a
// folder is opened without following a link, made ours to change, emptied
// and removed. True when the name is gone.
bool remove_entry(int folder, const char* name, int depth) {
    if (unlinkat(folder, name, 0) == 0) return true;
    if (errno != EISDIR || depth >= kDeepest) return false;
    const int inner = openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (inner < 0) return false;
    fchmod(inner, S_IRWXU);
    empty_folder(inner, depth + 1);
    close(inner);
    return unlinkat(folder, name, AT_REMOVEDIR) == 0;
}

}  // namespace

void dir_remove_tree(const char* path) {
    const int folder = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) return;
    fchmod(folder, S_IRWXU);
    empty_folder(folder, 0);
    close(folder);
    rmdir(path);
}

void environment_set(const char* name, const char* value) { setenv(name, value, 1); }

}  // namespace zq
