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
#pragma once

#include <cstdint>

namespace zq {

constexpr uint32_t kHeaderSize = 10;
constexpr uint32_t kDirRecordSize = 10;
constexpr uint32_t kFileRecordSize = 40;
constexpr uint32_t kMaxPath = 511;  // paths live in 512-byte buffers

// Header flag bits.
constexpr uint16_t kFlagTypeMask = 0x0070;
constexpr uint16_t kFlagTypeBits = 0x0050;
constexpr uint16_t kFlagPassword = 0x0080;
constexpr uint16_t kFlagFullPath = 0x0100;
// A tree supplement (format/tree_format.h) lies in front of the catalogue.
constexpr uint16_t kFlagTreeSupplement = 0x0200;
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

// A NameRef: the pool's index in the high half, the name's offset inside
// the pool in the low half.
inline uint32_t make_name_ref(uint16_t pool, uint16_t offset) {
    return (uint32_t(pool) << 16) | offset;
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

}  // namespace zq
