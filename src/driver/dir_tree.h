// The stored folder tree as the extraction run uses it: file paths, and the
// tree itself made on disk. The catalogue must have been read (and so
// checked and indexed) by read_catalogue.
#pragma once

#include <cstdint>

#include "archive/catalogue.h"
#include "driver/paths.h"

namespace zq {

// Writes the file's relative path (its folder's path, then its name) into
// `out` (512 bytes). 0, or -1 when its folder is not in the tree or the path
// does not fit.
int build_file_path(const Catalogue& catalogue, const FileRecord& file, char* out);

// Creates every folder of the tree, in walk order, under the current
// directory, which it never changes. Folders already there are kept. 0, or -1
// at the first name that is neither a folder nor can be made one.
int create_dir_tree(const Catalogue& catalogue);

}  // namespace zq
