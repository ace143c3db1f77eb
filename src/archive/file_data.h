// A file's data as its record describes it: the one routine that every
// reader of an archive (the extractor, its test mode, zqpack's test and
// extract) follows, so that all of them reach the same verdict on the same
// archive.
#pragma once

#include <cstdint>

#include "archive/catalogue.h"
#include "archive/stream.h"

namespace zq {

// What reading a file's data came to. The verdict is the plain bytes': a
// file is sound when they are exactly `original_size` bytes and, when the
// record carries a CRC-32, match it. A block-coded file's data is the frames
// that begin within its `stored_size`; a last frame that ends past it is
// read whole, as its header says, and its bytes count as the file's.
enum DataOutcome : int16_t {
    kDataOk = 0,
    kDataOutside,     // the data's position lies beyond what a seek reaches
    kDataCutShort,    // the archive ends (or a read fails) within the data
    kDataBadBlock,    // a frame does not decode
    kDataShortWrite,  // the output took fewer bytes than it was given
    kDataTooLong,     // more plain bytes than original_size
    kDataTooShort,    // fewer plain bytes than original_size
    kDataBadCrc,      // the plain bytes' CRC-32 is not the recorded one
    kDataBadLink,     // a link's target is empty or longer than a path may be
};

// The count, in 32-bit code at the alignment of a 32-bit word: there a result
// of 8-byte alignment, which the caller keeps in its frame, makes that caller
// realign its stack and reach every local through 4-byte displacements. In
// 64-bit code a 64-bit number has its natural alignment, which a reference
// to it assumes.
#if UINTPTR_MAX == 0xFFFFFFFFu
using DataCount [[gnu::aligned(4)]] = uint64_t;
#else
using DataCount = uint64_t;
#endif

struct FileData {
    DataOutcome outcome;
    DataCount bytes;  // plain bytes produced (written, when there is an output)
    uint32_t crc;     // their CRC-32 when the record carries one, else 0 (none computed)
};

// Called with the context before the first block of a block-coded file
// (plain_done 0, plain_total original_size) and after each block.
using DataProgress = void (*)(StreamContext* context);

// Reads the data of `file` from the archive at `archive_offset` (the
// context's archive_file) and writes it to `output`, or nowhere for kNoFile.
// Stops at the first block that takes the count past original_size, so at
// most one block beyond it is written. `progress` may be null.
FileData read_file_data(StreamContext* context, FileOffset archive_offset, const FileRecord& file,
                        FileHandle output, DataProgress progress);

// A link record's target into `target` (room for kMaxPath + 1 bytes),
// NUL-terminated; the same checks as read_file_data, and kDataBadLink for a
// size of 0 or above kMaxPath.
FileData read_link_target(StreamContext* context, FileOffset archive_offset, const FileRecord& file,
                          char* target);

// Whether a failed outcome lies in the reading (the data could not be read
// or written: the run cannot go on) rather than in what was read.
// They come first among the failures (kDataOutside to kDataShortWrite).
constexpr bool is_transfer_failure(DataOutcome outcome) {
    return uint32_t(outcome) - kDataOutside <= uint32_t(kDataShortWrite - kDataOutside);
}

// The status an extraction ends with for a failed outcome: what could not be
// read is a file I/O error (an undecodable block too), an output that takes
// no more is no disk space for coded data and a file I/O error for a raw
// copy, a link that is no link makes the archive invalid, and data that came
// out other than recorded failed to decode.
int extraction_status(DataOutcome outcome, bool block_coded);

}  // namespace zq
