// Finding the archive in its container: the trailer, at the end of the file
// or, in a Windows self-extractor signed with Authenticode, in front of the
// certificate table that signing appends.
#include "archive/catalogue.h"
#include "archive/stream_frames.h"
#include "codec/crc32.h"
#include "format/reader_mark.h"

namespace zq {
namespace {

// The mark of a reader of the wide form (platform_reads_wide), of the wide
// form alone where the narrow one is not read; the narrow Windows stubs have
// no copy.
#if !defined(_WIN32)
static_assert(platform_reads_wide() && platform_reads_narrow(), "the mark says both forms");
ZQ_KEPT_MARK constexpr auto kWideMarkText = copy_of_mark(kWideReaderMark);
#elif defined(ZQ_WIDE_FILES)
static_assert(platform_reads_wide() && !platform_reads_narrow(), "the mark says the wide form");
ZQ_KEPT_MARK constexpr auto kWideMarkText = copy_of_mark(kWideOnlyReaderMark);
#endif

// Signing tools start the certificate table on an 8-byte boundary and fill
// the gap in front of it with zero bytes.
constexpr uint32_t kMaxPadding = 7;

// The PE headers read for a signature: the signature, the file header, and
// the optional header up to the end of the security entry in either form.
constexpr uint32_t kPeFileHeader = 24;
constexpr uint32_t kPeHeadRead = kPeFileHeader + 152;
constexpr uint32_t kSectionHeader = 40;
constexpr uint16_t kMaxSections = 96;  // the most the Windows loader takes
constexpr uint32_t kSecurityEntry = 4;

// Offsets are held in a FileSize (32 bits in the Windows stub): the file's
// size fits a FileOffset (file_seek's range), and each sum below is either
// bounded by the file's size or checked for the carry out of a FileSize,
// which no offset of the file can have.
bool read_at(FileHandle file, FileSize at, void* bytes, uint32_t count) {
    return at <= FileSize(kMaxFileOffset) &&
           file_seek(file, FileOffset(at), kSeekSet) == FileOffset(at) &&
           read_exact(file, bytes, count);
}

// What the PE headers say about a signature: where the certificate table
// starts, when the security entry names one that ends the file (0 else), and
// where the image's last section ends in the file, which is where a packer
// puts the archive. Both are 32-bit: the headers hold 32-bit file offsets.
struct Signature {
    uint32_t table = 0;
    uint32_t image_end = 0;
};

// 0 as well for a section whose end passes 32 bits: the trailer that names
// the image's end holds 32 bits, so such an image ends nowhere it could name.
uint32_t image_end(FileHandle file, FileSize sections_at, uint16_t sections) {
    uint32_t end = 0;
    for (uint32_t i = 0; i < sections; ++i) {
        uint8_t section[kSectionHeader];
        if (!read_at(file, sections_at + i * kSectionHeader, section, kSectionHeader)) return 0;
        const uint32_t raw_size = load_u32(section + 16);
        uint32_t raw_end;
        if (__builtin_add_overflow(load_u32(section + 20), raw_size, &raw_end)) return 0;
        if (raw_size != 0 && raw_end > end) end = raw_end;
    }
    return end;
}

Signature read_signature(FileHandle file, FileSize size) {
    Signature none;
    uint8_t dos[64];
    if (!read_at(file, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return none;
    const uint32_t pe = load_u32(dos + 0x3C);
    uint8_t head[kPeHeadRead];
    if (size < kPeHeadRead || pe > size - kPeHeadRead || !read_at(file, pe, head, kPeHeadRead) ||
        load_u32(head) != 0x00004550) {  // "PE\0\0"
        return none;
    }
    const uint16_t sections = load_u16(head + 6);
    const uint16_t optional_size = load_u16(head + 20);
    const uint16_t magic = load_u16(head + kPeFileHeader);
    // The data directories follow the fixed fields: 96 bytes in PE32, 112
    // in PE32+, each preceded by their count.
    const uint32_t directories = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
    if (directories == 0 || sections > kMaxSections) return none;
    const uint32_t entry = directories + kSecurityEntry * 8;
    if (load_u32(head + kPeFileHeader + directories - 4) <= kSecurityEntry ||
        optional_size < entry + 8) {
        return none;
    }
    // The entry holds a file offset, not an address in the image.
    const uint32_t table = load_u32(head + kPeFileHeader + entry);
    const uint32_t table_size = load_u32(head + kPeFileHeader + entry + 4);
    // A table that does not end the file leaves the trailer at the end.
    if (table == 0 || table >= size || table_size != size - table) return none;
    Signature found;
    found.table = table;
    found.image_end = image_end(file, pe + kPeFileHeader + optional_size, sections);
    return found;
}

// Where the self-extractor's own bytes end, its trailer last: the end of the
// file, or the start of the certificate table less the zero padding that
// the signing tool put in front of it. The trailer's own top bytes may be
// zero too, so the padding is not simply the run of zeros there: the
// trailer is the candidate that holds the image's end, the archive's place.
// No two candidates can both hold the same nonzero offset (one would be the
// other shifted by 1 to 7 bytes over zeros, which only 0 survives). When
// none holds it (an archive that starts elsewhere), the trailer is taken
// right in front of the table, where the packer, which writes files a
// multiple of 8 bytes long, leaves it.
FileSize data_end(FileHandle file, FileSize size) {
    const Signature signature = read_signature(file, size);
    if (signature.table == 0) return size;
    uint8_t window[kTrailerSize + kMaxPadding];
    if (signature.image_end == 0 || signature.table < sizeof window ||
        !read_at(file, signature.table - sizeof window, window, sizeof window)) {
        return signature.table;
    }
    for (uint32_t padding = 0; padding <= kMaxPadding; ++padding) {
        if (padding != 0 && window[sizeof window - padding] != 0) break;
        const uint8_t* trailer = window + sizeof window - padding - kTrailerSize;
        if (load_u32(trailer) == signature.image_end) return signature.table - padding;
    }
    return signature.table;
}

// The wide form's locator, right in front of the trailer that ends at `end`:
// its magic and CRC-32 must hold, the archive must start before it with room
// for its header, and the catalogue must start behind the header and before
// the locator. 0 or kExitInvalidArchive.
int read_locator(FileHandle file, FileOffset end, ArchiveSpot* spot) {
    const FileOffset at = end - FileOffset(kTrailerSize + kLocatorSize);
    uint8_t locator[kLocatorSize];
    if (at < 0) return kExitInvalidArchive;
    if (!read_at(file, FileSize(at), locator, kLocatorSize)) return kExitIoError;
    if (load_u32(locator) != load_u32(kLocatorMagic)) return kExitInvalidArchive;
    crc32_prepare();
    const uint32_t crc = crc32_final(crc32_update(kCrc32Start, locator, kLocatorSize - 4));
    if (crc != load_u32(locator + kLocatorSize - 4)) return kExitInvalidArchive;
    const uint64_t archive = load_u64(locator + 4);
    const uint64_t catalogue = load_u64(locator + 12);
    // The catalogue at most the room between the archive's start and the
    // locator, which is to say both in front of the locator, with no sum to
    // wrap.
    if (archive > uint64_t(at) || catalogue > uint64_t(at) - archive || catalogue < kHeaderSize)
        return kExitInvalidArchive;
    spot->archive_offset = FileOffset(archive);
    spot->catalogue_offset = FileOffset(catalogue);
    spot->wide_form = true;
    return 0;
}

}  // namespace

int read_trailer(FileHandle file, ArchiveSpot* spot) {
    const FileOffset size = file_seek(file, 0, kSeekEnd);
    if (size < FileOffset(kHeaderSize + kTrailerSize)) return kExitIoError;
    // At most the size, so the sums below stay within a FileOffset.
    const FileOffset end = FileOffset(data_end(file, FileSize(size)));
    uint8_t trailer[kTrailerSize];
    if (end < FileOffset(kTrailerSize) ||
        !read_at(file, FileSize(end) - kTrailerSize, trailer, kTrailerSize))
        return kExitIoError;
    spot->catalogue_offset = 0;
    spot->wide_form = false;
    const uint32_t stored = load_u32(trailer);
    // Where the wide form is not read, its mark is the signed offset -1,
    // which points outside the file; where it alone is read, a narrow
    // trailer has no locator in front of it.
    if (platform_reads_wide() && (stored == kWideMark || !platform_reads_narrow())) {
        const int found = read_locator(file, end, spot);
        if (found != 0) return found;
    } else {
        // The narrow form: a signed 32-bit offset.
        const int32_t offset = int32_t(stored);
        if (offset < 0 || offset > end - FileOffset(kHeaderSize + kTrailerSize))
            return kExitInvalidArchive;
        spot->archive_offset = offset;
    }
    if (file_seek(file, spot->archive_offset, kSeekSet) != spot->archive_offset)
        return kExitIoError;
    return 0;
}

}  // namespace zq
