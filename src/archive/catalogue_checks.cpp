// The catalogue's checks, on tables already in memory: every name a record
// holds lies inside its pool and is one safe path component, every folder
// link and id lies inside its table, the tree has no cycle or shared
// subtree, and no path grows past kMaxPath. They build the folder index too.
#include "archive/catalogue.h"

#include "archive/dir_index.h"

namespace zq {

namespace {

// Length of the checked name behind `ref`, or -1 when it lies outside the
// pools, runs to the end of its pool without a NUL, or is unsafe.
int32_t checked_name_length(const Catalogue* catalogue, uint32_t ref, const LeadBytes& lead) {
    uint32_t pool = ref >> 16;
    uint32_t offset = ref & 0xFFFF;
    if (pool >= catalogue->pool_count) return -1;
    uint32_t size = catalogue->pool_sizes[pool];
    const uint8_t* text = catalogue->name_pools[pool];
    uint32_t end = offset;
    while (end < size && text[end] != 0) ++end;
    if (end >= size) return -1;
    if (!is_safe_name(text + offset, end - offset, lead)) return -1;
    return int32_t(end - offset);
}

// Walks the tree in the order the driver's lookups see it, refusing a record
// met twice (a cycle or a shared subtree) and a folder path (names each
// followed by '\') longer than kMaxPath, and builds the catalogue's folder
// index. `path_len` (dir_count entries, zero) receives each record's path
// length.
int index_dirs(Catalogue* catalogue, const LeadBytes& lead, uint16_t* path_len) {
    return walk_dirs(*catalogue, [&](uint32_t record, uint32_t parent) {
        if (path_len[record] != 0) return kExitInvalidArchive;
        const DirRecord& dir = catalogue->dir_table[record];
        const uint32_t base = parent == 0 ? 0 : path_len[parent - 1];
        const uint32_t length =
            base + uint32_t(checked_name_length(catalogue, dir.name(), lead)) + 1;
        if (length > kMaxPath) return kExitInvalidArchive;
        path_len[record] = uint16_t(length);
        catalogue->dir_parent[record] = parent;
        uint32_t& first = catalogue->dir_by_id[dir.id()];
        if (first == 0) first = record + 1;
        return 0;
    });
}

int check_dirs(Catalogue* catalogue, const LeadBytes& lead, uint16_t* path_len) {
    const uint32_t count = catalogue->dir_count;
    // Narrow ids are any 16-bit value; wide ids run from 1 to the count, so
    // that the index by id stays as large as the table.
    catalogue->id_count = catalogue->wide() ? count + 1 : 0x10000;
    for (uint32_t i = 0; i < count; ++i) {
        const DirRecord& dir = catalogue->dir_table[i];
        if (checked_name_length(catalogue, dir.name(), lead) < 0) return kExitInvalidArchive;
        if (dir.next() >= count || dir.child() >= count) return kExitInvalidArchive;
        if (dir.id() >= catalogue->id_count || (catalogue->wide() && dir.id() == 0))
            return kExitInvalidArchive;
    }
    catalogue->dir_parent = static_cast<uint32_t*>(mem_alloc(count * uint32_t(sizeof(uint32_t))));
    catalogue->dir_by_id =
        static_cast<uint32_t*>(mem_alloc(catalogue->id_count * uint32_t(sizeof(uint32_t))));
    if (catalogue->dir_parent == nullptr || catalogue->dir_by_id == nullptr) return kExitNoMemory;
    return index_dirs(catalogue, lead, path_len);
}

int check_files(const Catalogue* catalogue, const LeadBytes& lead, const uint16_t* path_len) {
    for (uint32_t i = 0; i < catalogue->file_count; ++i) {
        const FileRecord& file = *catalogue->file_table[i];
        int32_t length = checked_name_length(catalogue, file.name(), lead);
        if (length < 0) return kExitInvalidArchive;
        uint32_t full = uint32_t(length);
        // Without folders the driver gives every file its bare name.
        if (catalogue->dir_count != 0 && file.dir_id() != 0) {
            if (file.dir_id() >= catalogue->id_count) return kExitInvalidArchive;
            const uint32_t folder = catalogue->dir_by_id[file.dir_id()];
            if (folder == 0) return kExitInvalidArchive;
            full += path_len[folder - 1];
        }
        if (full > kMaxPath) return kExitInvalidArchive;
    }
    return 0;
}

}  // namespace

int check_catalogue(Catalogue* catalogue, const LeadBytes& lead) {
    uint16_t* path_len = nullptr;
    if (catalogue->dir_count != 0) {
        path_len =
            static_cast<uint16_t*>(mem_alloc(catalogue->dir_count * uint32_t(sizeof(uint16_t))));
        if (path_len == nullptr) return kExitNoMemory;
    }
    int result = catalogue->dir_count != 0 ? check_dirs(catalogue, lead, path_len) : 0;
    if (result == 0) result = check_files(catalogue, lead, path_len);
    if (path_len != nullptr) mem_free(path_len);
    return result;
}

}  // namespace zq
