#include "driver/dir_tree.h"

#include "archive/dir_index.h"

namespace zq {

int build_file_path(const Catalogue& catalogue, const FileRecord& file, char* out) {
    out[0] = '\0';
    const uint32_t dir_id = file.dir_id();
    if (catalogue.dir_table != nullptr && dir_id != 0 &&
        dir_path(catalogue, dir_id, '\\', out) < 0) {
        out[0] = '\0';
        return -1;
    }
    const char* name = name_text(catalogue, file.name());
    if (str_length(out) + str_length(name) > kMaxPath) return -1;
    str_append(out, name);
    return 0;
}

int create_dir_tree(const Catalogue& catalogue) {
    // Relative paths from where the walk starts, so the current directory
    // stays put even where a folder is a link.
    char path[kPathBufferSize];
    const int result = walk_dirs(catalogue, [&](uint32_t record, uint32_t) {
        const int32_t length = record_path(catalogue, record, '\\', path);
        if (length <= 0) return -1;
        path[length - 1] = '\0';  // the folder itself, without its separator
        return ensure_directory(path) ? 0 : -1;
    });
    return result == 0 ? 0 : -1;
}

}  // namespace zq
