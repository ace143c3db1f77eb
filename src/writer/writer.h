// The image level of the archive writer, for zqpack and for tests: it writes
// exactly the records, pools, password and data it is given, whatever their
// values, so tests can build broken archives as easily as good ones. The
// packer (packer.h) builds sound archives from files and folders on top of it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "format/archive_format.h"

namespace zq {

using Bytes = std::vector<uint8_t>;

// ------------------------------------------------------------ image level

// The narrow form stores the low 16 bits of id, next and child.
struct DirEntry {
    uint32_t id = 0;
    uint32_t name = 0;  // NameRef
    uint32_t next = 0;
    uint32_t child = 0;
};

struct FileEntry {
    uint16_t attributes = 0x20;  // the archive bit
    uint32_t dir_id = 0;
    int32_t access_time = -1;
    int32_t write_time = 0;
    int32_t create_time = -1;
    // The narrow form stores the low 32 bits of these (the low 16 of dir_id).
    uint64_t original_size = 0;
    uint64_t stored_size = 0;
    uint64_t data_offset = 0;  // from the archive's first byte
    uint32_t name = 0;         // NameRef
    uint16_t method = 0;
    // The record extension (bytes 34-39); all zero means no checksum, no
    // mode and no link mark.
    uint32_t crc32 = 0;
    uint16_t ext_word = 0;  // kExtModeMask bits and the kExt* flags
};

// Everything an archive holds, as plain values. Nothing is checked: the flags
// are written as given (the password block is written when `password` is set,
// whatever the flag says).
struct ArchiveImage {
    uint16_t flags = kFlagTypeBits | kFlagFullPath;
    uint8_t options = 0;
    Bytes data;                // written from archive offset 10, before the catalogue
    std::vector<Bytes> pools;  // decoded pools: NUL-terminated names back to back
    std::optional<Bytes> password;
    std::vector<DirEntry> dirs;
    std::vector<FileEntry> files;
    uint32_t frame_plain = kBlockSize;  // plain bytes per frame of the catalogue's sections
    bool wide = false;                  // the wide catalogue (and header flag)
};

// What does not fit the narrow form; the packer then writes the wide one.
struct NarrowLimit : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A CodecState with tables from the C heap, released on destruction.
class OwnedCodec {
public:
    OwnedCodec();  // throws std::bad_alloc when the tables cannot be had
    ~OwnedCodec();
    OwnedCodec(const OwnedCodec&) = delete;
    OwnedCodec& operator=(const OwnedCodec&) = delete;
    CodecState& state() { return state_; }

private:
    CodecState state_{};
};

void put_u16(Bytes& out, uint16_t value);
void put_u32(Bytes& out, uint32_t value);
void put_u64(Bytes& out, uint64_t value);
// A record as the narrow or the wide table stores it.
Bytes dir_record_bytes(const DirEntry& dir, bool wide = false);
Bytes file_record_bytes(const FileEntry& file, bool wide = false);

// Frames of `frame_plain` plain bytes but the last (1..32768); no frame for no
// bytes. `substituted_only`, when given, tells whether every frame came out
// substituted.
Bytes code_frames(CodecState& codec, const uint8_t* plain, size_t size,
                  uint32_t frame_plain = kBlockSize, bool* substituted_only = nullptr);
inline Bytes code_frames(CodecState& codec, const Bytes& plain, uint32_t frame_plain = kBlockSize) {
    return code_frames(codec, plain.data(), plain.size(), frame_plain);
}

// Appends `plain` to the image's data, block-coded or raw, and `entry` to its
// files with the original and stored sizes, the method and the data offset
// filled in; the entry's other fields stay as given. The new entry.
FileEntry& add_file_data(ArchiveImage& image, CodecState& codec, FileEntry entry,
                         const Bytes& plain, bool coded, uint32_t frame_plain = kBlockSize);

// The catalogue in the image's form; a narrow one that cannot hold the image
// throws NarrowLimit.
Bytes catalogue_bytes(CodecState& codec, const ArchiveImage& image);
// `code_page_mark` goes to the reserved byte 3 (archive/names.h). A wide
// header carries kFlagWide and kWideMark where the narrow one has the
// catalogue's offset.
Bytes header_bytes(uint16_t flags, uint8_t options, uint64_t catalogue_offset,
                   uint8_t code_page_mark = 0, bool wide = false);
// What follows the catalogue: the 4-byte trailer holding the archive's file
// offset, or, wide, the locator and a trailer of kWideMark.
Bytes container_tail(uint64_t archive_start, uint64_t catalogue_offset, bool wide);
// Header, data, catalogue.
Bytes archive_bytes(CodecState& codec, const ArchiveImage& image);
// Stub, archive, and the tail (archive offset 0 for no stub: a bare
// archive). A wide archive's tail needs its catalogue's offset.
Bytes self_extractor_bytes(const Bytes& stub, const Bytes& archive, bool wide = false,
                           uint64_t catalogue_offset = 0);

// Collects names into pools, each small enough that its single frame stays
// within the reader's 32767-byte limit even when it comes out substituted
// (two bytes longer than its plain bytes). Equal names share one entry.
class NamePools {
public:
    static constexpr size_t kPoolLimit = 32765;
    uint32_t add(const std::string& name);
    // The name followed by a second string (the arguments of the file to
    // run), never shared with another record.
    uint32_t add_with_arguments(const std::string& name, const std::string& arguments);
    const std::vector<Bytes>& pools() const { return pools_; }

private:
    void new_pool_for(size_t length);  // a new pool unless the last one has room
    std::vector<Bytes> pools_;
    std::map<std::string, uint32_t> index_;
};

}  // namespace zq
