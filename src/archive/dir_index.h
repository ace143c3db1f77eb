// The stored folder tree: one walk of it, and folder paths found through the
// index that the catalogue check builds. Record 0 is the first top-level
// folder; `next` links siblings and `child` leads to the first subfolder, 0
// meaning none.
#pragma once

#include <cstdint>

#include "archive/catalogue.h"

namespace zq {

// Each level of a path adds at least two bytes ("x\").
constexpr uint32_t kMaxDirDepth = kMaxPath / 2;

// Visits the folders from record 0 depth first (a folder, its subfolders,
// then its next sibling), calling visit(record, parent) where `parent` is the
// parent's record + 1, 0 at the top level. A nonzero result of `visit` ends
// the walk with that result. A link outside the table, more visits than
// records (a cycle) or more than kMaxDirDepth levels end it with
// kExitInvalidArchive.
template <typename Visit>
int walk_dirs(const Catalogue& catalogue, Visit visit) {
    const uint32_t count = catalogue.dir_count;
    if (count == 0 || catalogue.dir_table == nullptr) return 0;
    uint32_t parents[kMaxDirDepth];
    uint32_t depth = 0;
    uint32_t visits = 0;
    uint32_t record = 0;
    for (;;) {
        if (record >= count || ++visits > count) return kExitInvalidArchive;
        const int result = visit(record, depth == 0 ? 0u : parents[depth - 1] + 1);
        if (result != 0) return result;
        const DirRecord& dir = catalogue.dir_table[record];
        if (dir.child() != 0) {
            if (depth + 1 >= kMaxDirDepth) return kExitInvalidArchive;
            parents[depth++] = record;
            record = dir.child();
            continue;
        }
        while (catalogue.dir_table[record].next() == 0) {
            if (depth == 0) return 0;
            record = parents[--depth];
        }
        record = catalogue.dir_table[record].next();
    }
}

// Writes the path of folder `record` (each name followed by `separator`) into
// `out` (kMaxPath + 1 bytes); its length, or -1 when it does not fit. Needs
// the catalogue's index (dir_parent).
int32_t record_path(const Catalogue& catalogue, uint32_t record, char separator, char* out);

// The same for the first folder in walk order with id `id`; -1 when there is
// none. The time it takes grows with the folder's depth, not the tree's size.
int32_t dir_path(const Catalogue& catalogue, uint32_t id, char separator, char* out);

}  // namespace zq
