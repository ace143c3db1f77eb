// The archive container and its catalogue, as the extractor reads them.
//
// Container: [program image][archive][4-byte LE trailer = file offset of the
// archive]. Archive: 10-byte header, file data, catalogue (name pools, optional
// password block, directory table, file table). Offsets inside the archive
// count from its first byte.
#pragma once

#include <cstdint>

#include "archive/names.h"
#include "archive/stream.h"

namespace zq {

// Exit codes the reader returns (shared with the driver's message table).
constexpr int kExitIoError = 3;
constexpr int kExitNoMemory = 5;
constexpr int kExitInvalidArchive = 8;

constexpr uint32_t kHeaderSize = 10;
constexpr uint32_t kDirRecordSize = 10;
constexpr uint32_t kFileRecordSize = 40;
constexpr uint32_t kRecordsPerChunk = 128;
constexpr uint32_t kMaxPath = 511;  // paths live in 512-byte buffers

// Header flag bits.
constexpr uint16_t kFlagTypeMask = 0x0070;
constexpr uint16_t kFlagTypeBits = 0x0050;
constexpr uint16_t kFlagPassword = 0x0080;
constexpr uint16_t kFlagFullPath = 0x0100;
constexpr uint8_t kOptionDirTree = 0x40;

// FileRecord.method
constexpr uint16_t kMethodCodedMask = 0xFF00;  // high byte nonzero: block-coded
constexpr uint16_t kMethodMarker = 0x0040;     // print "+" before the name

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
};

// The catalogue in memory; filled once by read_catalogue, then only read.
struct Catalogue {
    uint16_t pool_count;
    uint8_t** name_pools;     // pool_count areas, or null
    uint16_t* pool_sizes;     // decoded size of each pool
    uint16_t dir_count;
    DirRecord* dir_table;     // dir_count records, or null
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

// Reads and checks the whole catalogue of the archive at `archive_offset`
// (the context's archive_file stands at the archive's first byte), holding the
// password dialogue when the archive has a password. Returns 0 and stores the
// file count, or an exit code (3, 5 or 8). A catalogue that names anything
// outside its tables, holds an unsafe name, a cycle or a path longer than 511
// bytes is refused with 8 before anything is written.
int read_catalogue(StreamContext* context, Catalogue* catalogue, int32_t archive_offset,
                   uint16_t* file_count);

// The same for tools that take the password from their command line instead
// of the console: a wrong `password` returns 4 (the "Password fail" code)
// without asking. With a null `password` it is read_catalogue.
int read_catalogue_with_password(StreamContext* context, Catalogue* catalogue,
                                 int32_t archive_offset, uint16_t* file_count,
                                 const char* password);

// Text of a NameRef that read_catalogue has checked.
const char* name_text(const Catalogue& catalogue, uint32_t name_ref);

}  // namespace zq
