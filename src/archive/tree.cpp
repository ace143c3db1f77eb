// The tree supplement reader. Every count is bounded by the catalogue's
// before anything is allocated, every index by the table it names, and the
// plain bytes by their checksum, so a damaged supplement is refused whole
// and never half applied.
#include "archive/tree.h"

#include "archive/source.h"
#include "archive/stream_frames.h"
#include "codec/crc32.h"

namespace zq {

namespace {

uint64_t load_u64(const uint8_t* p) {
    return uint64_t(load_u32(p)) | uint64_t(load_u32(p + 4)) << 32;
}

// The first field of entry `i` of a table of `size`-byte entries.
uint32_t key_of(const uint8_t* table, uint32_t size, uint32_t i) {
    return load_u32(table + uint64_t(i) * size);
}

// The entry whose first field is `key` in a table sorted by it; -1 for none.
int64_t find_entry(const uint8_t* table, uint32_t size, uint32_t count, uint32_t key) {
    uint32_t low = 0;
    uint32_t high = count;
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        const uint32_t at = key_of(table, size, middle);
        if (at == key) return middle;
        if (at < key) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return -1;
}

// Strictly ascending first fields, each below `limit`.
bool ascending_below(const uint8_t* table, uint32_t size, uint32_t count, uint32_t limit) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t key = key_of(table, size, i);
        if (key >= limit || (i > 0 && key <= key_of(table, size, i - 1))) return false;
    }
    return true;
}

bool folders_sound(const TreeSupplement& tree, uint32_t dir_count) {
    if (!ascending_below(tree.folders, kTreeFolderSize, tree.folder_count, dir_count)) return false;
    for (uint32_t i = 0; i < tree.folder_count; ++i) {
        const uint8_t* entry = tree.folders + uint64_t(i) * kTreeFolderSize;
        if ((load_u16(entry + 4) & ~kTreeFolderModeMask) != 0 || load_u16(entry + 6) != 0)
            return false;
        if (!tree.owners && (load_u32(entry + 16) | load_u32(entry + 20)) != 0) return false;
    }
    return true;
}

// Two records of one file's data: the same bytes, read the same way.
bool same_data(const FileRecord& a, const FileRecord& b) {
    for (uint32_t k = 16; k < 28; ++k) {
        if (a.bytes[k] != b.bytes[k]) return false;
    }
    return a.method() == b.method() && a.crc32() == b.crc32() && a.has_crc() == b.has_crc();
}

// Each second name follows the name it shares data with, which is a regular
// file and no second name itself: extracting in catalogue order always
// finds the first name placed already.
bool links_sound(const TreeSupplement& tree, const Catalogue& catalogue) {
    const uint32_t files = catalogue.file_count;
    if (!ascending_below(tree.links, kTreeLinkSize, tree.link_count, files)) return false;
    for (uint32_t i = 0; i < tree.link_count; ++i) {
        const uint32_t file = key_of(tree.links, kTreeLinkSize, i);
        const uint32_t first = load_u32(tree.links + uint64_t(i) * kTreeLinkSize + 4);
        if (first >= file) return false;
        if (find_entry(tree.links, kTreeLinkSize, tree.link_count, first) >= 0) return false;
        const FileRecord& second = *catalogue.file_table[file];
        const FileRecord& origin = *catalogue.file_table[first];
        if (second.is_symlink() || origin.is_symlink() || !same_data(second, origin)) return false;
    }
    return true;
}

bool seek_to(StreamContext* context, uint64_t position) {
    return position <= uint64_t(INT32_MAX) && archive_seek(context, int64_t(position));
}

// Decodes the supplement's frames at `frames_at` into `plain` (the
// locator's plain size) and checks them.
int decode_supplement(StreamContext* context, int32_t archive_offset, uint64_t frames_at,
                      const uint8_t* locator, const Catalogue& catalogue, uint8_t* plain,
                      TreeSupplement* tree) {
    const uint64_t coded = load_u64(locator + 4);
    const uint64_t size = load_u64(locator + 12);
    if (!seek_to(context, uint64_t(uint32_t(archive_offset)) + frames_at)) return kExitIoError;
    stream_start(context, int32_t(coded));
    // Its frames end where the locator begins: one that runs on, or a short
    // read (only a frame running past the file's end can meet one), is
    // damage in the supplement.
    const StreamStatus status = stream_to_memory(context, plain, uint32_t(size));
    if (status != kStreamOk || context->plain_done != size || context->coded_done != coded ||
        crc32_of(plain, size_t(size)) != load_u32(locator + 20))
        return kExitInvalidArchive;
    return check_tree_supplement(plain, size, catalogue, tree);
}

}  // namespace

uint64_t tree_plain_limit(uint32_t dir_count, uint32_t file_count) {
    return kTreeHeadSize + uint64_t(dir_count) * kTreeFolderSize +
           uint64_t(file_count) * (kTreeLinkSize + kTreeOwnerSize);
}

int check_tree_supplement(const uint8_t* plain, uint64_t size, const Catalogue& catalogue,
                          TreeSupplement* tree) {
    if (size < kTreeHeadSize) return kExitInvalidArchive;
    const uint16_t flags = load_u16(plain + 2);
    if (load_u16(plain) != kTreeVersion || (flags & ~kTreeOwners) != 0) return kExitInvalidArchive;
    tree->owners = (flags & kTreeOwners) != 0;
    tree->folder_count = load_u32(plain + 4);
    tree->link_count = load_u32(plain + 8);
    tree->owner_count = load_u32(plain + 12);
    if (tree->folder_count > catalogue.dir_count || tree->link_count > catalogue.file_count ||
        tree->owner_count > catalogue.file_count || (!tree->owners && tree->owner_count != 0))
        return kExitInvalidArchive;
    const uint64_t folders_at = kTreeHeadSize;
    const uint64_t links_at = folders_at + uint64_t(tree->folder_count) * kTreeFolderSize;
    const uint64_t owners_at = links_at + uint64_t(tree->link_count) * kTreeLinkSize;
    if (owners_at + uint64_t(tree->owner_count) * kTreeOwnerSize != size)
        return kExitInvalidArchive;
    tree->folders = plain + folders_at;
    tree->links = plain + links_at;
    tree->owners_table = plain + owners_at;
    if (!folders_sound(*tree, catalogue.dir_count) || !links_sound(*tree, catalogue) ||
        !ascending_below(tree->owners_table, kTreeOwnerSize, tree->owner_count,
                         catalogue.file_count))
        return kExitInvalidArchive;
    return 0;
}

int read_tree_supplement(StreamContext* context, int32_t archive_offset, uint64_t catalogue_offset,
                         const Catalogue& catalogue, TreeSupplement* tree) {
    *tree = TreeSupplement{};
    // The header, then at least one frame header, then the locator.
    if (catalogue_offset < kHeaderSize + 2 + kTreeLocatorSize) return kExitInvalidArchive;
    const uint64_t locator_at = catalogue_offset - kTreeLocatorSize;
    uint8_t locator[kTreeLocatorSize];
    if (!seek_to(context, uint64_t(uint32_t(archive_offset)) + locator_at) ||
        !archive_read(context, locator, kTreeLocatorSize))
        return kExitIoError;
    for (uint32_t k = 0; k < 4; ++k) {
        if (locator[k] != kTreeMagic[k]) return kExitInvalidArchive;
    }
    const uint64_t coded = load_u64(locator + 4);
    const uint64_t size = load_u64(locator + 12);
    // The frames lie between the header and the locator, and decode to no
    // more than the catalogue's counts allow.
    if (coded < 2 || coded > locator_at - kHeaderSize || coded > uint64_t(INT32_MAX) ||
        size < kTreeHeadSize || size > tree_plain_limit(catalogue.dir_count, catalogue.file_count))
        return kExitInvalidArchive;
    // One area of the size the catalogue's counts allow at most.
    if (size > uint64_t(UINT32_MAX) - 1) return kExitNoMemory;
    uint8_t* plain = static_cast<uint8_t*>(mem_alloc(uint32_t(size)));
    if (plain == nullptr) return kExitNoMemory;
    const int result = decode_supplement(context, archive_offset, locator_at - coded, locator,
                                         catalogue, plain, tree);
    if (result != 0) {
        mem_free(plain);
        *tree = TreeSupplement{};
        return result;
    }
    tree->plain = plain;
    return 0;
}

TreeFolder tree_folder(const TreeSupplement& tree, uint32_t entry) {
    const uint8_t* at = tree.folders + uint64_t(entry) * kTreeFolderSize;
    return TreeFolder{
        load_u32(at),      load_u16(at + 4), int32_t(load_u32(at + 8)), int32_t(load_u32(at + 12)),
        load_u32(at + 16), load_u32(at + 20)};
}

int64_t tree_link_first(const TreeSupplement& tree, uint32_t file) {
    const int64_t at = find_entry(tree.links, kTreeLinkSize, tree.link_count, file);
    return at < 0 ? -1 : int64_t(load_u32(tree.links + uint64_t(at) * kTreeLinkSize + 4));
}

bool tree_file_owner(const TreeSupplement& tree, uint32_t file, uint32_t* uid, uint32_t* gid) {
    const int64_t at = find_entry(tree.owners_table, kTreeOwnerSize, tree.owner_count, file);
    if (at < 0) return false;
    const uint8_t* entry = tree.owners_table + uint64_t(at) * kTreeOwnerSize;
    *uid = load_u32(entry + 4);
    *gid = load_u32(entry + 8);
    return true;
}

}  // namespace zq
