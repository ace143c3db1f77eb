#include "driver/tree_restore.h"

#include "archive/dir_index.h"
#include "archive/tree.h"
#include "driver/state.h"

namespace zq {

namespace {

TreeSupplement tree;
uint8_t* placed_files;  // a bit per file
uint8_t* used_dirs;     // a bit per folder record: made or written into by this run
// For each file with second names, 1 + the name that holds its data in this
// run when the file itself was not placed (kept, or left out): the later
// names link to that one. 0: none yet. Null without links.
uint32_t* stand_ins;

bool bit(const uint8_t* bits, uint32_t at) { return (bits[at >> 3] >> (at & 7)) & 1; }
void set_bit(uint8_t* bits, uint32_t at) { bits[at >> 3] = uint8_t(bits[at >> 3] | 1 << (at & 7)); }

uint8_t* bit_area(uint32_t count) {
    uint8_t* bits = static_cast<uint8_t*>(mem_alloc(count / 8 + 1));
    if (bits == nullptr) terminate(kExitNoMemory);
    return bits;
}

// The folder at `record` under the run folder, without its last separator;
// false when the path cannot be had.
bool folder_path(uint32_t record, char* path) {
    const int32_t length = record_path(catalogue, record, '\\', path);
    if (length <= 0) return false;
    path[length - 1] = '\0';
    return true;
}

// Only what the run itself left there: a link planted in the folder's place
// is never changed, nor what it leads to (dir_restore opens no link).
void restore_folder(const TreeFolder& folder, bool owners) {
    char path[kPathBufferSize];
    if (!folder_path(folder.record, path)) return;
    const FileTimes t = recorded_times(folder.access_time, folder.write_time, -1);
    dir_restore(path,
                FolderRestore{folder.mode, owners, folder.uid, folder.gid, t.accessed, t.written});
}

}  // namespace

void load_tree() {
    if (!catalogue.tree_supplement || !platform_restores_tree()) return;
    const int status = read_tree_supplement(&stream_context, driver().spot.archive_offset,
                                            catalogue.catalogue_offset, catalogue, &tree);
    if (status != 0) terminate(status);
    placed_files = bit_area(catalogue.file_count);
    used_dirs = bit_area(catalogue.dir_count);
    if (tree.link_count == 0) return;
    stand_ins =
        static_cast<uint32_t*>(mem_alloc(catalogue.file_count * uint32_t(sizeof(uint32_t))));
    if (stand_ins == nullptr) terminate(kExitNoMemory);
}

namespace {
// The name that holds the data of file `index` in this run, as a file
// index; -1 when it is no second name, or none holds the data yet.
int64_t data_holder(uint32_t index) {
    const int64_t first = tree_link_first(tree, index);
    if (first < 0) return -1;
    if (bit(placed_files, uint32_t(first))) return first;
    return int64_t(stand_ins[first]) - 1;
}
}  // namespace

// Each entry point asks the platform first: where it restores nothing (the
// Windows stub) the answer is known when the program is linked, and none of
// this code is kept.
void note_placed(uint32_t index) {
    if (!platform_restores_tree() || tree.plain == nullptr) return;
    // A second name placed as a copy holds the data for the names after it.
    if (stand_ins != nullptr && data_holder(index) < 0) {
        const int64_t first = tree_link_first(tree, index);
        if (first >= 0) stand_ins[first] = index + 1;
    }
    set_bit(placed_files, index);
    const FileRecord& file = *catalogue.file_table[index];
    if (!catalogue.full_path || catalogue.dir_table == nullptr || file.dir_id() == 0) return;
    // The folder and those above it, up to one already noted.
    for (uint32_t at = catalogue.dir_by_id[file.dir_id()]; at != 0 && !bit(used_dirs, at - 1);
         at = catalogue.dir_parent[at - 1])
        set_bit(used_dirs, at - 1);
}

bool place_second_name(uint32_t index, uint32_t temp_number, uint32_t existing) {
    if (!platform_restores_tree() || tree.plain == nullptr) return false;
    const int64_t holder = data_holder(index);
    if (holder < 0) return false;
    // The symbolic links come after every file, so their buffer is free.
    str_copy(driver().link_target, stored_path(*catalogue.file_table[holder]));
    // Already that file (a name the archive holds twice): nothing to do.
    if (existing != kNoAttributes && files_are_one(driver().link_target, driver().target_name))
        return true;
    while (!make_temp_entry(
        [] { return hard_link_with_parents(driver().link_target, driver().temp_path); })) {
        // A name taken meanwhile: the next one. Any other failure: a copy.
        if (file_get_attributes(driver().temp_path) == kNoAttributes ||
            !next_temp_name(&temp_number))
            return false;
    }
    replace_target(existing);
    return true;
}

void restore_tree() {
    if (!platform_restores_tree() || tree.plain == nullptr) return;
    const bool owners = tree.owners && process_may_set_owners();
    for (uint32_t i = 0; owners && i < tree.owner_count; ++i) {
        const uint32_t file = load_u32(tree.owners_table + uint64_t(i) * kTreeOwnerSize);
        uint32_t uid = 0;
        uint32_t gid = 0;
        if (bit(placed_files, file) && tree_file_owner(tree, file, &uid, &gid))
            path_set_owner(stored_path(*catalogue.file_table[file]), uid, gid);
    }
    if (!catalogue.full_path) return;
    // The whole tree was made up front when the archive asks for it.
    const bool all = catalogue.dir_tree != 0;
    // Folder records come in walk order (a folder before the folders below
    // it), so backwards each folder comes after everything below it, and its
    // times are set once nothing more is made inside.
    for (uint32_t i = tree.folder_count; i-- > 0;) {
        const TreeFolder folder = tree_folder(tree, i);
        if (all || bit(used_dirs, folder.record)) restore_folder(folder, owners);
    }
}

}  // namespace zq
