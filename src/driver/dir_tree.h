// The stored directory tree: paths of directories and files, and the tree
// itself made on disk. Record 0 is the first top-level directory; `next`
// links siblings and `child` leads to the first subdirectory, 0 meaning none.
#pragma once

#include <cstdint>

#include "archive/catalogue.h"
#include "driver/paths.h"

namespace zq {

// Searches the sibling chain starting at record `first` and everything below
// it, depth first, for the directory `id`, and writes its path (each name
// followed by '\') into `path` from byte `position` on. 1 when found, 0 when
// not, -1 when the tree is broken (a link outside the table, a chain that
// does not end, a path that outgrows 511 bytes).
int find_dir_path(const Catalogue& catalogue, uint16_t first, int16_t id, char* path,
                  uint32_t position);

// Remembers the directory looked up last: the files of one directory follow
// each other in the catalogue, so they cost one search.
struct DirPathCache {
    int16_t id;  // 0: nothing remembered
    char path[kPathBufferSize];
};

// Writes the file's relative path (its directory's path, then its name) into
// `out` (512 bytes). 0, or -1 when its directory cannot be found or the path
// does not fit.
int build_file_path(const Catalogue& catalogue, const FileRecord& file, DirPathCache& cache,
                    char* out);

// Creates every directory of the chain starting at record `first` and below,
// under the current directory, which it never changes. Directories already
// there are kept. 0, or -1 at the first name that is neither a directory nor
// can be made one.
int16_t create_dir_tree(const Catalogue& catalogue, uint16_t first, int16_t depth);

}  // namespace zq
