// The tree supplement as the extractor reads it (layout: format/tree_format.h):
// folder modes, times and owners, hard links, and file owners. It is read
// and checked whole against the catalogue before anything is written.
#pragma once

#include <cstdint>

#include "archive/catalogue.h"
#include "format/tree_format.h"

namespace zq {

// The checked supplement in memory: its plain bytes and the three tables in
// them. All zero when the archive carries none.
struct TreeSupplement {
    uint8_t* plain;
    bool owners;  // the publisher stored numeric owners
    uint32_t folder_count;
    uint32_t link_count;
    uint32_t owner_count;
    const uint8_t* folders;
    const uint8_t* links;
    const uint8_t* owners_table;
};

struct TreeFolder {
    uint32_t record;  // index in the catalogue's folder table
    uint16_t mode;    // & kTreeFolderModeMask
    int32_t access_time;
    int32_t write_time;
    uint32_t uid;  // meaningful only when the supplement has owners
    uint32_t gid;
};

// The most plain bytes a supplement may hold for a catalogue of these
// counts: a folder entry per folder, a link and an owner entry per file.
uint64_t tree_plain_limit(uint32_t dir_count, uint32_t file_count);

// Reads the supplement in front of the catalogue at `catalogue_offset` (from
// the archive's first byte, at file offset `archive_offset`) and checks it
// against the catalogue, which read_catalogue has read and checked. 0, or
// kExitIoError (it cannot be read), kExitNoMemory, kExitInvalidArchive (a
// bad locator, size, checksum, entry, order or reference).
int read_tree_supplement(StreamContext* context, int64_t archive_offset, uint64_t catalogue_offset,
                         const Catalogue& catalogue, TreeSupplement* tree);

// The same checks on plain bytes already in memory (`plain` stays the
// caller's); 0 or kExitInvalidArchive.
int check_tree_supplement(const uint8_t* plain, uint64_t size, const Catalogue& catalogue,
                          TreeSupplement* tree);

TreeFolder tree_folder(const TreeSupplement& tree, uint32_t entry);
// The earlier file whose second name file `file` is; -1 for none.
int64_t tree_link_first(const TreeSupplement& tree, uint32_t file);
// The owner stored for file `file`; false for none.
bool tree_file_owner(const TreeSupplement& tree, uint32_t file, uint32_t* uid, uint32_t* gid);

}  // namespace zq
