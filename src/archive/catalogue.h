// The archive container and its catalogue, as the extractor reads them.
//
// Container: [program image][archive][4-byte LE trailer = file offset of the
// archive], and in a signed Windows self-extractor the certificate table
// behind that. Archive: 10-byte header, file data, catalogue (name pools, optional
// password block, directory table, file table). Offsets inside the archive
// count from its first byte.
#pragma once

#include <cstdint>

#include "archive/names.h"
#include "archive/stream.h"
#include "status.h"

namespace zq {

constexpr uint32_t kHeaderSize = 10;
constexpr uint32_t kDirRecordSize = 10;
constexpr uint32_t kFileRecordSize = 40;
constexpr uint32_t kRecordsPerChunk = 128;
constexpr uint32_t kMaxPath = 511;  // paths live in 512-byte buffers
// The most memory the name pools may take, spare bytes included. 65535 files
// and 65535 folders with names of 255 bytes need 33,554,953 bytes in 1033
// full pools; a catalogue that asks for more is refused as out of memory, so
// no archive can make the extractor hold more than about 40 MiB.
constexpr uint32_t kMaxNameBytes = 34u << 20;

// Header flag bits.
constexpr uint16_t kFlagTypeMask = 0x0070;
constexpr uint16_t kFlagTypeBits = 0x0050;
constexpr uint16_t kFlagPassword = 0x0080;
constexpr uint16_t kFlagFullPath = 0x0100;
constexpr uint8_t kOptionDirTree = 0x40;

// FileRecord.method
constexpr uint16_t kMethodCodedMask = 0xFF00;  // high byte nonzero: block-coded
constexpr uint16_t kMethodMarker = 0x0040;     // print "+" before the name

// The record extension in bytes 34-39: a CRC-32 of the plain bytes (34-37)
// and a word (38-39) of the Unix permission bits and presence flags. Six zero
// bytes mean none of it, and the file is handled exactly as without the
// extension.
constexpr uint32_t kExtCrcOffset = 34;
constexpr uint32_t kExtWordOffset = 38;
constexpr uint16_t kExtModeMask = 0x0FFF;  // mode & 07777
constexpr uint16_t kExtHasCrc = 0x1000;    // bytes 34-37 hold the CRC
constexpr uint16_t kExtHasMode = 0x2000;   // bits 0-11 hold the mode
constexpr uint16_t kExtSymlink = 0x4000;   // the data is a symbolic link's target
constexpr uint16_t kExtRunAfter = 0x8000;  // run this file after a successful extraction

inline uint16_t load_u16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t load_u32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Records are kept as their stored bytes, since table frames fill them byte by
// byte across block boundaries; the accessors decode the little-endian fields.
struct DirRecord {
    uint8_t bytes[kDirRecordSize];
    int16_t id() const { return int16_t(load_u16(bytes)); }
    uint32_t name() const { return load_u32(bytes + 2); }
    uint16_t next() const { return load_u16(bytes + 6); }
    uint16_t child() const { return load_u16(bytes + 8); }
};

struct FileRecord {
    uint8_t bytes[kFileRecordSize];
    uint16_t attributes() const { return load_u16(bytes); }
    uint16_t dir_id() const { return load_u16(bytes + 2); }
    int32_t access_time() const { return int32_t(load_u32(bytes + 4)); }
    int32_t write_time() const { return int32_t(load_u32(bytes + 8)); }
    int32_t create_time() const { return int32_t(load_u32(bytes + 12)); }
    uint32_t original_size() const { return load_u32(bytes + 16); }
    uint32_t stored_size() const { return load_u32(bytes + 20); }
    uint32_t data_offset() const { return load_u32(bytes + 24); }
    uint32_t name() const { return load_u32(bytes + 28); }
    uint16_t method() const { return load_u16(bytes + 32); }
    bool block_coded() const { return (method() & kMethodCodedMask) != 0; }
    uint32_t crc32() const { return load_u32(bytes + kExtCrcOffset); }
    uint16_t ext_word() const { return load_u16(bytes + kExtWordOffset); }
    bool has_crc() const { return (ext_word() & kExtHasCrc) != 0; }
    bool has_mode() const { return (ext_word() & kExtHasMode) != 0; }
    uint16_t mode() const { return ext_word() & kExtModeMask; }
    bool is_symlink() const { return (ext_word() & kExtSymlink) != 0; }
    bool runs_after() const { return (ext_word() & kExtRunAfter) != 0; }
};

// The catalogue in memory; filled once by read_catalogue, then only read.
struct Catalogue {
    uint16_t pool_count;
    uint8_t** name_pools;  // pool_count areas, or null
    uint16_t* pool_sizes;  // decoded size of each pool
    uint16_t dir_count;
    DirRecord* dir_table;  // dir_count records, or null
    // The folder index, built once the tree has passed its checks: each
    // record's parent (record + 1, 0 at the top level), and for each id the
    // first folder in walk order that carries it (record + 1, 0 for none).
    uint16_t* dir_parent;  // dir_count entries, or null
    uint16_t* dir_by_id;   // 65536 entries, or null
    uint16_t file_count;
    FileRecord** file_table;  // file_count pointers into chunks of 128 records
    uint16_t full_path;       // 0 or 1
    uint16_t dir_tree;        // 0 or 1
    uint16_t header_nibble;   // bits 0-3 of flags; kept, not used
    uint8_t code_page_mark;   // header byte 3: the code page the names were packed for (names.h)
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
// second time, it ends the reading with kExitPasswordFail.
struct GivenPassword {
    const char* text;
    bool offered;
};
PasswordDialogue given_password_dialogue(GivenPassword* given);

// Follows the trailer of the container open as `file`: stores the archive's
// offset and leaves the file at the archive's first byte. The trailer ends
// the file, or, in a PE image whose security entry names a certificate table
// that ends the file (a signed self-extractor), it ends in front of that
// table and the zero padding a signing tool puts before it (container.cpp).
// 0; kExitIoError when the file is too short or too large for a trailer, or
// cannot be read; kExitInvalidArchive when the trailer points outside the
// file or leaves no room for the archive's header.
int read_trailer(FileHandle file, int32_t* archive_offset);

// Reads and checks the whole catalogue of the archive at `archive_offset`
// (the context's archive_file stands at the archive's first byte), holding
// `dialogue` when the archive has a password. Returns 0 and stores the file
// count, or an exit code: kExitIoError, kExitNoMemory, kExitInvalidArchive or
// what the dialogue ended with. A catalogue that names anything outside its
// tables, holds an unsafe name, a cycle or a path longer than 511 bytes is
// refused with kExitInvalidArchive before anything is written.
int read_catalogue(StreamContext* context, Catalogue* catalogue, int32_t archive_offset,
                   uint16_t* file_count, const PasswordDialogue& dialogue);

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
