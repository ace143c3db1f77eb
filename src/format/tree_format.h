// The tree supplement: folder modes and times, hard links and numeric owners,
// kept where a reader that knows only the catalogue never looks. Header flag
// kFlagTreeSupplement announces it. It is a run of block frames (as every
// coded section) followed by a fixed-size locator that ends exactly at the
// catalogue's offset, so a reader finds it from the catalogue's offset
// alone, and one that follows only offsets passes it by.
//
// Locator (kTreeLocatorSize bytes):
//   0-3   magic "ZQts"
//   4-11  u64 coded size of the frames right in front of the locator
//   12-19 u64 plain size of what they decode to
//   20-23 u32 CRC-32 of the plain bytes
// Plain bytes: a head, then three tables of fixed-size entries, each in
// strictly ascending order of its first field:
//   head (16): u16 version (1), u16 flags (kTreeOwners), u32 folder entries,
//              u32 link entries, u32 owner entries
//   folder (24): u32 folder record index, u16 mode (& 07777), u16 0,
//                i32 access time, i32 write time, u32 uid, u32 gid (the
//                ids mean something only with kTreeOwners)
//   link (8):  u32 file index, u32 index of the earlier file it is a second
//              name of
//   owner (12): u32 file index, u32 uid, u32 gid (only with kTreeOwners)
// Indexes are 32-bit, so the same supplement serves a catalogue of any width.
#pragma once

#include <cstdint>

namespace zq {

constexpr uint32_t kTreeLocatorSize = 24;
constexpr uint8_t kTreeMagic[4] = {'Z', 'Q', 't', 's'};
constexpr uint16_t kTreeVersion = 1;
constexpr uint16_t kTreeOwners = 0x0001;  // folder ids valid; owner entries allowed

constexpr uint32_t kTreeHeadSize = 16;
constexpr uint32_t kTreeFolderSize = 24;
constexpr uint32_t kTreeLinkSize = 8;
constexpr uint32_t kTreeOwnerSize = 12;

// Folder mode bits an archive may carry: permissions, set-group-id and
// sticky. Set-user-id means nothing on a folder and is refused.
constexpr uint16_t kTreeFolderModeMask = 03777;

}  // namespace zq
