// The archive's wire format: the container, the header's flags, the records
// of the directory and file tables, the method and extension bits, the
// limits, and the little-endian byte order every field is stored in. The
// reader (archive/) and the writer (writer/) both take the layout from here,
// so neither learns it from the other.
//
// Container: [program image][archive][4-byte LE trailer = file offset of the
// archive], and in a signed Windows self-extractor the certificate table
// behind that. Archive: 10-byte header, file data, optional tree supplement
// (format/tree_format.h), catalogue (name pools, optional password block,
// directory table, file table). Offsets inside the archive count from its
// first byte.
//
// The wide form, written only when a tree passes the narrow limits (or when
// asked for): a 24-byte locator in front of the trailer carries 64-bit archive
// and catalogue offsets, the trailer and the header's catalogue offset hold
// 0xFFFFFFFF (a narrow reader stops at the trailer as at any that points
// outside the file), header flags bit 10 is set, and the catalogue's counts
// are 32-bit, its table sizes 64-bit and its records longer: the narrow
// record's bytes with the high parts of its numbers behind them.
#pragma once

#include <cstdint>

namespace zq {

constexpr uint32_t kHeaderSize = 10;
constexpr uint32_t kDirRecordSize = 10;
constexpr uint32_t kFileRecordSize = 40;
constexpr uint32_t kMaxPath = 511;  // paths live in 512-byte buffers

// The wide form: records hold the narrow bytes, then the high parts.
constexpr uint32_t kWideDirRecordSize = 16;
constexpr uint32_t kWideFileRecordSize = 56;
constexpr uint32_t kTrailerSize = 4;
constexpr uint32_t kLocatorSize = 24;       // magic, archive offset, catalogue offset, CRC-32
constexpr uint32_t kWideMark = 0xFFFFFFFF;  // trailer and header catalogue offset
constexpr uint8_t kLocatorMagic[4] = {'Z', 'Q', 'W', 'L'};
// Every program that reads the wide form carries this text, so that zqpack
// can tell a Windows stub that reads it from one that does not.
inline constexpr char kWideReaderMark[] = "zqsfx:reads-wide";
// A program that reads the wide form only (the wide Windows stub) carries
// this text instead, so that zqpack writes the wide form behind it whatever
// the tree.
inline constexpr char kWideOnlyReaderMark[] = "zqsfx:reads-wide-only";
// Narrow limits: past any of them the packer writes the wide form.
constexpr uint32_t kNarrowMaxFiles = 0xFFFF;
constexpr uint32_t kNarrowMaxDirs = 0x7FFF;
constexpr uint64_t kNarrowMaxFileSize = 0xFFFFFFFF;
constexpr uint64_t kNarrowMaxEnd = 0x7FFFFFFF;   // the whole self-extractor's last byte
constexpr uint32_t kNarrowMaxDirTable = 0x7FFF;  // coded bytes of the folder table
// The most files and folders a wide catalogue may hold: far beyond any real
// tree, and a bound on what an archive can make a reader allocate.
constexpr uint32_t kWideMaxEntries = 0x1000000 - 1;

// Header flag bits.
constexpr uint16_t kFlagTypeMask = 0x0070;
constexpr uint16_t kFlagTypeBits = 0x0050;
constexpr uint16_t kFlagPassword = 0x0080;
constexpr uint16_t kFlagFullPath = 0x0100;
// A tree supplement (format/tree_format.h) lies in front of the catalogue.
constexpr uint16_t kFlagTreeSupplement = 0x0200;
constexpr uint16_t kFlagWide = 0x0400;  // the catalogue is in the wide form
constexpr uint8_t kOptionDirTree = 0x40;
// Every file is checked, as a test does, before the first is written.
constexpr uint8_t kOptionCheckFirst = 0x01;
// The file marked to run (kExtRunAfter) runs in a private temporary folder
// that the extractor makes, extracts into and removes at the end. Means
// nothing without that file.
constexpr uint8_t kOptionTempFolder = 0x02;

// FileRecord.method
constexpr uint16_t kMethodCodedMask = 0xFF00;  // high byte nonzero: block-coded
constexpr uint16_t kMethodMarker = 0x0040;     // print "+" before the name
constexpr uint16_t kMethodRaw = 0x0000;
constexpr uint16_t kMethodCoded = 0x0140;  // block-coded, "+" marker

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
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The field as it lies: one load, which the compiler sees as small
    // enough to inline wherever a field is read.
    uint32_t value;
    __builtin_memcpy(&value, p, sizeof value);
    return value;
#else
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
#endif
}
inline void store_u16(uint8_t* p, uint16_t value) {
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}
inline void store_u32(uint8_t* p, uint32_t value) {
    store_u16(p, uint16_t(value));
    store_u16(p + 2, uint16_t(value >> 16));
}
inline uint64_t load_u64(const uint8_t* p) {
    return uint64_t(load_u32(p)) | (uint64_t(load_u32(p + 4)) << 32);
}
inline void store_u64(uint8_t* p, uint64_t value) {
    store_u32(p, uint32_t(value));
    store_u32(p + 4, uint32_t(value >> 32));
}
// The number of a low and a high part stored apart.
inline uint64_t join_u64(const uint8_t* low, const uint8_t* high) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The two parts laid side by side as the number's bytes: 32-bit code
    // loads them straight into the two registers of the value, where the
    // shift and the or of the halves cost it five more instructions.
    const uint32_t parts[2] = {load_u32(low), load_u32(high)};
    uint64_t value;
    __builtin_memcpy(&value, parts, sizeof value);
    return value;
#else
    return uint64_t(load_u32(low)) | (uint64_t(load_u32(high)) << 32);
#endif
}

// The width a reader holds a record's sizes and offsets in: 64 bits, or 32 in
// the narrow Windows stubs, which read the narrow form only (the wide form's
// arithmetic would pass their byte budget; platform.h, platform_reads_wide).
// There the records' high parts are never read: a narrow record leaves them
// zero. Known when compiling, so that those stubs carry none of it.
#if defined(_WIN32) && !defined(ZQ_WIDE_FILES)
using RecordNumber = uint32_t;
#else
using RecordNumber = uint64_t;
#endif
constexpr bool kWideRecords = sizeof(RecordNumber) == 8;

// A record's number from its low part and, where the wide form is read, its
// high part stored apart.
inline RecordNumber record_number(const uint8_t* low, const uint8_t* high) {
    return kWideRecords ? RecordNumber(join_u64(low, high)) : load_u32(low);
}
inline uint32_t record_id(const uint8_t* low, const uint8_t* high) {
    return kWideRecords ? load_u16(low) | (uint32_t(load_u16(high)) << 16) : load_u16(low);
}

// A NameRef: the pool's index in the high half, the name's offset inside
// the pool in the low half.
inline uint32_t make_name_ref(uint16_t pool, uint16_t offset) {
    return (uint32_t(pool) << 16) | offset;
}

// Records are kept as their stored bytes, since table frames fill them byte by
// byte across block boundaries; the accessors decode the little-endian fields.
// In memory every record has the wide size: a narrow record fills the first
// bytes and leaves the high parts zero. Wide folder record: bytes 10-11 the
// id's high half, 12-13 next's, 14-15 child's.
struct DirRecord {
    uint8_t bytes[kWideDirRecordSize];
    uint32_t id() const { return record_id(bytes, bytes + 10); }
    uint32_t name() const { return load_u32(bytes + 2); }
    uint32_t next() const { return record_id(bytes + 6, bytes + 12); }
    uint32_t child() const { return record_id(bytes + 8, bytes + 14); }
};

// Wide file record: bytes 40-43, 44-47 and 48-51 the high halves of size,
// stored size and data offset, 52-53 the folder id's high half, 54-55 zero.
struct FileRecord {
    uint8_t bytes[kWideFileRecordSize];
    uint16_t attributes() const { return load_u16(bytes); }
    uint32_t dir_id() const { return record_id(bytes + 2, bytes + 52); }
    int32_t access_time() const { return int32_t(load_u32(bytes + 4)); }
    int32_t write_time() const { return int32_t(load_u32(bytes + 8)); }
    int32_t create_time() const { return int32_t(load_u32(bytes + 12)); }
    RecordNumber original_size() const { return record_number(bytes + 16, bytes + 40); }
    RecordNumber stored_size() const { return record_number(bytes + 20, bytes + 44); }
    RecordNumber data_offset() const { return record_number(bytes + 24, bytes + 48); }
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

}  // namespace zq
