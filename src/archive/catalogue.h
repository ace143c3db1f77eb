// The archive container and its catalogue, as the extractor reads them; the
// layout itself is in format/archive_format.h.
#pragma once

#include <cstdint>

#include "archive/names.h"
#include "archive/stream.h"
#include "format/archive_format.h"
#include "status.h"

namespace zq {

constexpr uint32_t kRecordsPerChunk = 128;
// The most memory the name pools may take, spare bytes included. 65535 files
// and 65535 folders with names of 255 bytes need 33,554,953 bytes in 1033
// full pools; a catalogue that asks for more is refused as out of memory, so
// no archive can make the extractor hold more than about 40 MiB.
constexpr uint32_t kMaxNameBytes = 34u << 20;
// The same for a wide catalogue: at most 65536 pools (a name reference holds
// a 16-bit pool index) and 512 MiB of names, far more than the names of
// kWideMaxEntries files need when equal names are shared.
constexpr uint32_t kWideMaxPools = 0x10000;
constexpr uint32_t kWideMaxNameBytes = 512u << 20;

// The catalogue in memory; filled once by read_catalogue, then only read.
struct Catalogue {
    uint32_t pool_count;
    uint8_t** name_pools;  // pool_count areas, or null
    uint16_t* pool_sizes;  // decoded size of each pool
    uint32_t dir_count;
    DirRecord* dir_table;  // dir_count records, or null
    // The folder index, built once the tree has passed its checks: each
    // record's parent (record + 1, 0 at the top level), and for each id the
    // first folder in walk order that carries it (record + 1, 0 for none).
    uint32_t* dir_parent;  // dir_count entries, or null
    uint32_t* dir_by_id;   // id_count entries, or null
    uint32_t id_count;     // 65536 (narrow ids are any 16-bit value), or dir_count + 1 (wide)
    uint32_t file_count;
    FileRecord** file_table;  // file_count pointers into chunks of 128 records
    uint32_t file_slots;      // pointers the table has room for (file_count once read whole)
    bool wide_form;           // the catalogue is in the wide form
    bool wide() const { return platform_reads_wide() && (wide_form || !platform_reads_narrow()); }
    uint16_t full_path;      // 0 or 1
    uint16_t dir_tree;       // 0 or 1
    uint8_t check_first;     // 0 or 1: kOptionCheckFirst
    uint8_t temp_folder;     // 0 or 1: kOptionTempFolder
    uint16_t header_nibble;  // bits 0-3 of flags; kept, not used
    uint8_t code_page_mark;  // header byte 3: the code page the names were packed for (names.h)
    // 1 when a tree supplement ends where the catalogue begins (archive/tree.h),
    // and the catalogue's offset from the archive's first byte.
    uint16_t tree_supplement;
    FileSize catalogue_offset;
    // Set by a reader on another system before read_catalogue; null in the
    // extractor. Called once the tables are read and before they are checked,
    // it may rewrite the names into the reader's own character set and choose
    // the lead bytes they are checked with (preset to the platform's). 0 or an
    // exit code.
    int (*host_names)(Catalogue* catalogue, LeadBytes* lead);
    void* host_names_context;
};

constexpr uint32_t kPasswordSize = 256;  // a typed password and its NUL

// How the reader obtains the password of a protected archive; it never talks
// to anyone itself. `ask` writes a candidate (at most kPasswordSize bytes,
// NUL included) into `typed` and returns 0, or an exit code that ends the
// reading; `answer` then hears whether the candidate was right. After a wrong
// one the reader asks again.
struct PasswordDialogue {
    int (*ask)(void* user, char* typed);
    void (*answer)(void* user, bool accepted);
    void* user;
};

// A password known beforehand (a tool's command line): offered once; asked a
// second time after a wrong answer, it ends the reading with
// kExitPasswordFail. Once right, it is offered again to the next lock (an
// encrypted archive's, then the gate of the archive inside).
struct GivenPassword {
    const char* text;
    bool offered;
};
PasswordDialogue given_password_dialogue(GivenPassword* given);

// Where the archive lies in its container. The archive's offset is the file
// offset of its first byte, which everything else counts from.
struct ArchiveSpot {
    FileOffset archive_offset;
    FileOffset catalogue_offset;  // wide form: from the locator; narrow: 0, the header holds it
    bool wide_form;
    // Always false where the wide form is not read, as the compiler sees.
    bool wide() const { return platform_reads_wide() && (wide_form || !platform_reads_narrow()); }
};

// Follows the trailer of the container open as `file` (and, when the trailer
// holds kWideMark, the locator in front of it): stores where the archive and
// its catalogue lie and leaves the file at the archive's first byte. The trailer ends
// the file, or, in a PE image whose security entry names a certificate table
// that ends the file (a signed self-extractor), it ends in front of that
// table and the zero padding a signing tool puts before it (container.cpp).
// 0; kExitIoError when the file is too short for a trailer or cannot be
// read; kExitInvalidArchive when the trailer (or the locator) points outside
// the file or leaves no room for the archive's header.
int read_trailer(FileHandle file, ArchiveSpot* spot);

// The catalogue's offset from the archive's first byte, in either form: the
// locator's (wide) or the 10-byte header's (narrow).
FileOffset catalogue_offset(const ArchiveSpot& spot, const uint8_t* header);

// Reads and checks the whole catalogue of the archive at `spot`
// (the context's archive_file stands at the archive's first byte), holding
// `dialogue` when the archive has a password. Returns 0 and stores the file
// count, or an exit code: kExitIoError, kExitNoMemory, kExitInvalidArchive or
// what the dialogue ended with. A catalogue that names anything outside its
// tables, holds an unsafe name, a cycle or a path longer than 511 bytes is
// refused with kExitInvalidArchive before anything is written.
int read_catalogue(StreamContext* context, Catalogue* catalogue, const ArchiveSpot& spot,
                   uint32_t* file_count, const PasswordDialogue& dialogue);

// The checks read_catalogue ends with, on tables already in memory; builds
// the folder index (the catalogue's to release). 0, kExitNoMemory or
// kExitInvalidArchive.
int check_catalogue(Catalogue* catalogue, const LeadBytes& lead);

// Text of a NameRef that read_catalogue has checked.
const char* name_text(const Catalogue& catalogue, uint32_t name_ref);

// The arguments stored for the file marked to run: a second NUL-terminated
// string right after its name in the same pool. Null when that string does
// not end inside the pool.
const char* run_arguments(const Catalogue& catalogue, uint32_t name_ref);

}  // namespace zq
