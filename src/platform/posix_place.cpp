// The folder walk of the POSIX platform layer, and the folders it keeps open.
//
// Only the thread that runs the extraction touches files, so the kept folders
// need no lock; a signal handler may look at them (terminate removes the
// temporary file), and it never returns, so it only has to find them
// consistent: a change in progress is flagged, and a walk meanwhile goes
// without them.
#include "platform/posix_place.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace zq {
namespace posix {

bool to_os_path(const char* path, char* out) {
    uint32_t i = 0;
    for (; path[i] != '\0'; ++i) {
        if (i + 1 >= kOsPathSize) return false;
        out[i] = path[i] == '\\' ? '/' : path[i];
    }
    out[i] = '\0';
    return true;
}

bool is_dot_or_dots(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

int away_from_std(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

namespace {

// A tree is extracted folder by folder, and a file's temporary name lies
// beside it. Every folder a walk opens is kept, so that the next folder down
// or beside starts from its parent rather than from the top: 32 cover the
// folders of a deep branch and their ancestors.
constexpr uint32_t kKeptFolders = 32;
constexpr uint32_t kKeptPathSize = 512;
// Two bits of 4096 per name keep false hits under 1 % up to 200 names or
// so; past kMostListed names a folder's looks all go to the system.
constexpr uint32_t kNameBits = 4096;
constexpr uint32_t kMostListed = 4000;

enum class Names : uint8_t { kUnknown, kListed, kUnanswered };

struct KeptFolder {
    bool used;
    uint8_t pins;  // live Places using `fd`: it is not closed under them
    Names names;   // what `seen` holds
    int fd;
    uint32_t length;
    uint64_t last_use;              // the use count when a walk last started at or below it
    char path[kKeptPathSize];       // relative, '/'-separated, without a trailing '/'
    uint64_t seen[kNameBits / 64];  // the names listed and made, two bits each
};

KeptFolder kept[kKeptFolders];
uint64_t uses = 0;
// The kept folder the last walk ended in: the files of a folder come one
// after another, so most walks end there again.
int recent_slot = -1;
volatile sig_atomic_t changing = 0;

// The kept folder of the name moved away from, kCurrentFolder, or -1.
constexpr int kCurrentFolder = -2;
int moved_slot = -1;
char moved_name[64];

void begin_change() {
    changing = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void end_change() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    changing = 0;
}

// Whether `folder` is the folder `path[0, length)` or one of its ancestors.
bool leads_to(const KeptFolder& folder, const char* path, uint32_t length) {
    return folder.used && folder.length <= length &&
           (folder.length == length || path[folder.length] == '/') &&
           memcmp(folder.path, path, folder.length) == 0;
}

// Whether `folder` is the folder `path[0, length)` itself.
bool is_folder(const KeptFolder& folder, const char* path, uint32_t length) {
    return folder.length == length && leads_to(folder, path, length);
}

// The kept folder nearest to the folder `path[0, length)`: itself, or its
// deepest kept ancestor; -1 when none is kept.
int nearest_kept(const char* path, uint32_t length) {
    int best = -1;
    for (uint32_t i = 0; i < kKeptFolders; ++i) {
        if (!leads_to(kept[i], path, length)) continue;
        if (best < 0 || kept[i].length > kept[best].length) best = int(i);
    }
    return best;
}

// The folder `path[0, length)` and its kept ancestors count as used now, so
// that the ancestors of the folders in use are the last to be replaced.
void note_use(const char* path, uint32_t length) {
    ++uses;
    for (KeptFolder& folder : kept) {
        if (leads_to(folder, path, length)) folder.last_use = uses;
    }
}

// The slot to keep a folder in: a free one, else the one no live Place uses
// that was used longest ago; -1 when every slot is in use.
int slot_to_replace() {
    int best = -1;
    for (uint32_t i = 0; i < kKeptFolders; ++i) {
        const KeptFolder& slot = kept[i];
        if (!slot.used) return int(i);
        if (slot.pins != 0) continue;
        if (best < 0 || slot.last_use < kept[best].last_use) best = int(i);
    }
    return best;
}

// Keeps `fd`, the folder `path[0, length)`, in a slot no live Place uses;
// its index, or -1 when every slot is in use (then the caller closes it).
int keep_folder(const char* path, uint32_t length, int fd) {
    const int index = slot_to_replace();
    if (index >= 0) {
        KeptFolder& slot = kept[index];
        begin_change();
        if (index == moved_slot) moved_slot = -1;
        if (slot.used) {
            slot.used = false;
            close(slot.fd);
        }
        memcpy(slot.path, path, length);
        slot.length = length;
        slot.fd = fd;
        slot.pins = 0;
        slot.names = Names::kUnknown;
        slot.last_use = uses;
        slot.used = true;
        end_change();
    }
    return index;
}

int open_folder(int from, const char* name) {
    int fd;
    do {
        fd = openat(from, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    // Kept open, so never where console text or answers go.
    return away_from_std(fd);
}

void pin(Place* place, int index) {
    place->folder = kept[index].fd;
    place->slot = index;
    ++kept[index].pins;
}

void unpin(Place* place) {
    if (place->owned || place->slot < 0) return;
    if (kept[place->slot].pins != 0) --kept[place->slot].pins;
    place->slot = -1;
}

}  // namespace

Place::Place() : folder(AT_FDCWD) {}

Place::~Place() {
    if (owned) {
        close(folder);
    } else {
        unpin(this);
    }
}

bool find_place(char* os_path, Place* place) {
    place->name = os_path;
    if (os_path[0] == '/') return true;
    char* last = strrchr(os_path, '/');
    if (last == nullptr) {
        place->slot = kCurrentFolder;
        return true;
    }
    const uint32_t length = uint32_t(last - os_path);
    const bool keep = !changing && length < kKeptPathSize;
    const bool again = keep && recent_slot >= 0 && is_folder(kept[recent_slot], os_path, length);
    const int start = again ? recent_slot : keep ? nearest_kept(os_path, length) : -1;
    if (keep && !again) note_use(os_path, length);
    if (start >= 0) {
        pin(place, start);
        place->name = os_path + kept[start].length + 1;
        if (kept[start].length == length) {
            recent_slot = start;
            return true;
        }
    }
    for (char* p = os_path + (place->name - os_path); p <= last; ++p) {
        if (*p != '/') continue;
        *p = '\0';
        const int next = open_folder(place->folder, place->name);
        const int error = errno;
        *p = '/';
        if (next < 0) {
            errno = error;
            return false;
        }
        // Kept before the folder above is let go, which stays pinned
        // until then.
        const int index = keep ? keep_folder(os_path, uint32_t(p - os_path), next) : -1;
        if (place->owned) {
            close(place->folder);
        } else {
            unpin(place);
        }
        place->folder = next;
        place->owned = index < 0;
        if (index >= 0) pin(place, index);
        place->name = p + 1;
    }
    if (!place->owned) recent_slot = place->slot;
    return true;
}

bool resolve(const char* path, char* os_path, Place* place) {
    return to_os_path(path, os_path) && find_place(os_path, place);
}

int kept_folder(const char* os_path) {
    const uint32_t length = uint32_t(strlen(os_path));
    if (changing || length == 0 || length >= kKeptPathSize) return -1;
    const int index = nearest_kept(os_path, length);
    return index >= 0 && kept[index].length == length ? kept[index].fd : -1;
}

void forget_folders() {
    begin_change();
    moved_slot = -1;
    for (KeptFolder& folder : kept) {
        if (!folder.used || folder.pins != 0) continue;
        folder.used = false;
        close(folder.fd);
    }
    end_change();
}

void note_moved_away(const Place& from, const Place& to) {
    moved_slot = -1;
    const size_t length = strlen(from.name);
    if (from.slot == -1 || length >= sizeof moved_name || strchr(from.name, '/') != nullptr) return;
    // Moved onto its own name: still there.
    if (to.slot == from.slot && strcmp(to.name, from.name) == 0) return;
    memcpy(moved_name, from.name, length + 1);
    moved_slot = from.slot;
}

bool known_free(const Place& place) {
    return moved_slot >= 0 && place.slot == moved_slot && strcmp(place.name, moved_name) == 0;
}

void forget_moved_away() { moved_slot = -1; }

namespace {
// A folder on a file system that ignores letter case (vfat, a casefolded
// ext4 folder) finds "README" under "readme", and may find other spellings
// of a name beyond the ASCII letters (Unicode folding, vfat's short aliases
// with a '~', trailing dots and spaces dropped). So the names are kept with
// their ASCII letters folded, only a plain name is ever answered for, and a
// folder that holds any name beyond ASCII is not answered for at all.
bool is_plain_ascii(const char* name) {
    const char* last = name;
    for (const char* p = name; *p != '\0'; ++p) {
        if (uint8_t(*p) >= 0x80 || *p == '~') return false;
        last = p;
    }
    return *last != '.' && *last != ' ';
}

// The two bits of a name: FNV-1a of it with its ASCII letters folded, the
// hash's low and high twelve bits.
struct NameBits {
    uint32_t bit[2];
};

NameBits name_bits(const char* name) {
    uint32_t hash = 2166136261u;
    for (; *name != '\0'; ++name) {
        const uint8_t c = uint8_t(*name);
        hash = (hash ^ (c >= 'A' && c <= 'Z' ? c + 32u : c)) * 16777619u;
    }
    return NameBits{{hash % kNameBits, (hash >> 20) % kNameBits}};
}

// False once the folder holds a name it cannot answer for.
bool add_name(KeptFolder& folder, const char* name) {
    for (const char* p = name; *p != '\0'; ++p) {
        if (uint8_t(*p) >= 0x80) {
            folder.names = Names::kUnanswered;
            return false;
        }
    }
    for (uint32_t bit : name_bits(name).bit) folder.seen[bit / 64] |= uint64_t(1) << (bit % 64);
    return true;
}

bool has_name(const KeptFolder& folder, const char* name) {
    for (uint32_t bit : name_bits(name).bit) {
        if ((folder.seen[bit / 64] >> (bit % 64) & 1) == 0) return false;
    }
    return true;
}

// The kept folder's descriptor has been used for nothing but *at calls, so
// its listing starts at the beginning.
void list_names(KeptFolder& folder) {
    memset(folder.seen, 0, sizeof folder.seen);
    uint32_t count = 0;
    const bool whole = list_folder<4096>(folder.fd, [&](const char* name) {
        return add_name(folder, name) && ++count <= kMostListed;
    });
    folder.names = whole ? Names::kListed : Names::kUnanswered;
}
}  // namespace

bool known_absent(const Place& place) {
    if (place.slot < 0 || !is_plain_ascii(place.name)) return false;
    KeptFolder& folder = kept[place.slot];
    if (folder.names == Names::kUnknown) list_names(folder);
    return folder.names == Names::kListed && !has_name(folder, place.name);
}

void note_made(const Place& place) {
    if (place.slot < 0) return;
    KeptFolder& folder = kept[place.slot];
    if (folder.names == Names::kListed) add_name(folder, place.name);
}

}  // namespace posix
}  // namespace zq
