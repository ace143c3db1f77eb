#include "driver/dir_tree.h"

namespace zq {
namespace {

// Each level adds at least two bytes ("x\") to a path of at most 511 bytes.
constexpr int kMaxDepth = int(kMaxPath / 2);

// Writes `name` and a separator at `position`; the new end, or 0 when the
// result would outgrow 511 bytes.
uint32_t put_component(char* path, uint32_t position, const char* name) {
    const uint32_t length = str_length(name);
    if (position + length + 1 > kMaxPath) return 0;
    str_copy(path + position, name);
    path[position + length] = '\\';
    path[position + length + 1] = '\0';
    return position + length + 1;
}

// Walks the sibling chain that starts at record `first`: writes each
// record's name and a separator at `position` in `path`, then calls
// visit(record, end of that path). A nonzero result of `visit` ends the walk
// with that result; the end of the chain gives 0; a record outside the table,
// a chain longer than the table (a cycle), a tree deeper than a path allows
// or a path over 511 bytes gives -1.
template <typename Visit>
int walk_chain(const Catalogue& catalogue, uint16_t first, char* path, uint32_t position, int depth,
               Visit visit) {
    if (depth > kMaxDepth) return -1;
    uint16_t index = first;
    for (uint32_t steps = 0; steps < catalogue.dir_count; ++steps) {
        if (index >= catalogue.dir_count) return -1;
        const DirRecord& record = catalogue.dir_table[index];
        const uint32_t end = put_component(path, position, name_text(catalogue, record.name()));
        if (end == 0) return -1;
        const int result = visit(record, end);
        if (result != 0) return result;
        if (record.next() == 0) return 0;
        index = record.next();
    }
    return -1;
}

// 1 with the directory's path in `path`; 0 when the chain and its subtrees
// hold no such id (the path cut back to `position`); -1 for a broken tree.
int search(const Catalogue& catalogue, uint16_t first, int16_t id, char* path,
           uint32_t position, int depth) {
    const int result = walk_chain(catalogue, first, path, position, depth,
                                  [&](const DirRecord& record, uint32_t end) {
                                      if (record.id() == id) return 1;
                                      if (record.child() == 0) return 0;
                                      return search(catalogue, record.child(), id, path, end, depth + 1);
                                  });
    if (result == 0) path[position] = '\0';
    return result;
}

int make_chain(const Catalogue& catalogue, uint16_t first, char* path, uint32_t position, int depth) {
    return walk_chain(catalogue, first, path, position, depth, [&](const DirRecord& record, uint32_t end) {
        path[end - 1] = '\0';  // the directory itself, without its separator
        if (!ensure_directory(path)) return -1;
        path[end - 1] = '\\';
        if (record.child() == 0) return 0;
        return make_chain(catalogue, record.child(), path, end, depth + 1) != 0 ? -1 : 0;
    });
}

}  // namespace

int find_dir_path(const Catalogue& catalogue, uint16_t first, int16_t id, char* path,
                  uint32_t position) {
    if (catalogue.dir_table == nullptr || position > kMaxPath) return 0;
    return search(catalogue, first, id, path, position, 0);
}

int build_file_path(const Catalogue& catalogue, const FileRecord& file, DirPathCache& cache,
                    char* out) {
    out[0] = '\0';
    const int16_t dir_id = int16_t(file.dir_id());
    if (catalogue.dir_table != nullptr && dir_id != 0) {
        if (dir_id == cache.id) {
            str_copy(out, cache.path);
        } else {
            if (find_dir_path(catalogue, 0, dir_id, out, 0) != 1) {
                out[0] = '\0';
                return -1;
            }
            str_copy(cache.path, out);
            cache.id = dir_id;
        }
    }
    const char* name = name_text(catalogue, file.name());
    if (str_length(out) + str_length(name) > kMaxPath) return -1;
    str_append(out, name);
    return 0;
}

int16_t create_dir_tree(const Catalogue& catalogue, uint16_t first, int16_t depth) {
    if (catalogue.dir_table == nullptr) return 0;
    // The tree is made by relative paths from where the walk starts, so the
    // current directory stays put even where a directory is a link.
    char path[kPathBufferSize];
    path[0] = '\0';
    return make_chain(catalogue, first, path, 0, depth);
}

}  // namespace zq
