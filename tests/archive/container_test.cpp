// Finding the archive in a Windows self-extractor that was signed: the
// trailer in front of the certificate table named by the security entry,
// behind the zero padding a signing tool may add.
#include <gtest/gtest.h>

#include "pe_image.h"
#include "platform/platform.h"
#include "support.h"

namespace zq::test {
namespace {

constexpr uint32_t kImageEnd = 1024;  // where minimal_pe's section ends

void append_u32(Bytes& bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(value >> (8 * i)));
}

// The offset read_trailer finds in `file`, or -1 - its status.
int64_t located(const ScratchDir& dir, const Bytes& file) {
    const fs::path path = dir / "sfx.exe";
    write_bytes(path, file);
    const FileHandle handle = file_open_read(path.string().c_str());
    EXPECT_NE(handle, kNoFile);
    ArchiveSpot spot{-1, 0, false};
    const int status = read_trailer(handle, &spot);
    file_close(handle);
    return status == 0 ? spot.archive_offset : -1 - status;
}

// Image, a stand-in archive of `archive_bytes` bytes at `archive_at`,
// the trailer, `padding` zero bytes and a certificate table the security
// entry names.
Bytes signed_file(uint32_t archive_at, uint32_t archive_bytes, uint32_t padding) {
    Bytes file = minimal_pe();
    file.resize(archive_at + archive_bytes, 0x5A);
    append_u32(file, archive_at);
    file.resize(file.size() + padding, 0);
    const uint32_t table_at = uint32_t(file.size());
    file.resize(table_at + 72, 0x30);
    set_security_entry(file, table_at, 72);
    return file;
}

TEST(SignedContainer, TrailerIsFoundBehindAnyPaddingEvenWhenItEndsInZeros) {
    ScratchDir dir("container");
    // The trailer 00 04 00 00 ends in two zero bytes, as the padding does:
    // only its value tells where it ends.
    for (uint32_t padding = 0; padding <= 7; ++padding) {
        SCOPED_TRACE(padding);
        EXPECT_EQ(located(dir, signed_file(kImageEnd, 37, padding)), kImageEnd);
    }
}

TEST(SignedContainer, ArchiveAwayFromTheImageEndIsTakenRightInFrontOfTheTable) {
    ScratchDir dir("container");
    EXPECT_EQ(located(dir, signed_file(kImageEnd + 16, 40, 0)), kImageEnd + 16);
}

TEST(SignedContainer, SecurityEntryIsBelievedOnlyForATableThatEndsTheFile) {
    ScratchDir dir("container");
    // A signed stub with an archive packed behind it: the table is inside
    // the file, the trailer at its end, as in any unsigned file.
    Bytes packed_behind = minimal_pe();
    packed_behind.resize(kImageEnd + 64, 0x30);
    set_security_entry(packed_behind, kImageEnd, 64);
    packed_behind.resize(kImageEnd + 64 + 30, 0x5A);
    append_u32(packed_behind, kImageEnd + 64);
    EXPECT_EQ(located(dir, packed_behind), kImageEnd + 64);

    // Entries that name no table, or one past the end, change nothing.
    for (uint32_t size : {0u, 72u, 0xFFFFFFF0u}) {
        SCOPED_TRACE(size);
        Bytes file = minimal_pe();
        file.resize(kImageEnd + 40, 0x5A);
        append_u32(file, kImageEnd);
        set_security_entry(file, size == 72 ? uint32_t(file.size()) : kImageEnd + 8, size);
        EXPECT_EQ(located(dir, file), kImageEnd);
    }
    // Nor does one whose offset and size add up to the file's size only
    // past 4 GiB.
    Bytes wrapped = minimal_pe();
    wrapped.resize(kImageEnd + 40, 0x5A);
    append_u32(wrapped, kImageEnd);
    set_security_entry(wrapped, uint32_t(wrapped.size()) + 16, 0u - 16);
    EXPECT_EQ(located(dir, wrapped), kImageEnd);
}

TEST(SignedContainer, SectionEndingPast4GiBNamesNoImageEnd) {
    ScratchDir dir("container");
    // The trailer 00 04 00 00 and four bytes of padding hold the value 4
    // three bytes in front of the table. A second section whose end wraps
    // past 4 GiB to 4 must not be taken for the image's end there: the
    // trailer is then the one right in front of the table.
    Bytes file = signed_file(kImageEnd, 37, 4);
    file[0x46] = 2;  // sections
    const size_t second = 0x40 + 24 + 224 + 40;
    for (int i = 0; i < 4; ++i) {
        file[second + 16 + i] = uint8_t(0x104u >> (8 * i));       // size
        file[second + 20 + i] = uint8_t(0xFFFFFF00u >> (8 * i));  // offset
    }
    EXPECT_EQ(located(dir, file), 0);
}

}  // namespace
}  // namespace zq::test
