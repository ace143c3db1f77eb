// Framed block streams: every coded section of an archive is a run of frames,
// each a 2-byte big-endian header (bit 15: substituted; bits 0-14: payload
// length, 0 meaning 32768) followed by the payload.
#pragma once

#include <cstdint>

#include "codec/codec.h"
#include "platform/platform.h"

namespace zq {

// What a stream routine ends with. The numbers are fixed: tests and the
// fuzzers' replays compare them.
enum StreamStatus : int16_t {
    kStreamOk = 0,
    kStreamShortRead = 1,   // the archive ends within a frame
    kStreamShortWrite = 2,  // the output took fewer bytes than it was given
    kStreamCopyFailed = 3,  // a raw copy could not read or write
    kStreamOverBound = 10,  // more plain bytes than the memory area holds
    kStreamNoMemory = 20,
    kStreamStopped = 70,   // the callback asked to stop
    kStreamBadBlock = 99,  // a frame does not decode (or no context)
};

constexpr uint32_t kPlainBufferSize = kBlockSize + 2;  // one block and a NUL
// What one read of a plain archive fetches: a tree of small files then takes
// one read for many files' frames instead of two per frame and a seek each.
constexpr uint32_t kArchiveBufferSize = 65536;

struct BlockPipeline;
struct SealedView;

struct StreamContext {
    FileHandle archive_file;  // -1 until the driver stores the open archive
    uint8_t* coded_buf;       // 32768 bytes: one header, then one payload
    int32_t block_len;        // payload length of the block in hand
    uint8_t* plain_buf;       // 32770 bytes: one decoded block (+ room for a NUL)
    uint32_t cursor;          // read position in plain_buf (record tables)
    int16_t status;           // result of the last decode_block
    FileSize coded_done;      // coded bytes consumed, headers included
    FileSize plain_done;      // plain bytes produced
    FileSize plain_total;     // plain bytes the caller expects (progress only)
    FileOffset coded_left;    // coded bytes still to consume; -1 after a reset
    uint32_t crc;             // running CRC-32 of what stream_to_file and copy_raw wrote
    bool crc_wanted;          // false: the writers leave crc alone (see checksum_start)
    CodecState codec;         // the codec state every block of this context uses
    // Null: this thread decodes every block with `codec`. Otherwise the
    // pipeline's workers decode the blocks of stream_to_file and stream_next
    // (the catalogue's blocks stay on this thread).
    BlockPipeline* pipeline;
    // Null: the archive is read from archive_file as it is. Otherwise every
    // read goes through this decrypting view of an encrypted archive.
    SealedView* sealed;
    // A plain archive's bytes [read_start, read_start + read_length) as last
    // read into read_buf (kArchiveBufferSize bytes). Reads are served from
    // `position`, where the archive layer stands; -1 until its first seek,
    // and until then every read goes to the file as it stands.
    uint8_t* read_buf;
    FileOffset read_start;
    uint32_t read_length;
    FileOffset position;
};

// Called after each block by stream_to_file; may set *stop to end the stream.
using StreamCallback = void (*)(StreamContext* context, int16_t* stop);

// kStreamOk; kStreamNoMemory; kStreamBadBlock for a null context.
StreamStatus stream_init(StreamContext* context);
// Starts a coded section of `coded_size` bytes (frame headers included) at the
// archive file's position: counters, status and the bytes left begin afresh;
// frames a pipeline read ahead for this section are kept, any others dropped.
void stream_start(StreamContext* context, FileOffset coded_size);
// The next block into plain_buf, its plain count in *produced: kStreamOk,
// kStreamShortRead or kStreamBadBlock.
StreamStatus stream_next(StreamContext* context, uint16_t* produced);
// Starts the running CRC-32 of one file's data. A record without a checksum
// has nothing to compare it with, so the writers skip it (`wanted` false)
// and spend nothing on it.
void checksum_start(StreamContext* context, bool wanted);
// Both writers below add what they write to the context's running crc (when
// wanted), in the same pass, so checking a file costs no second reading. An `output` of
// kNoFile writes nothing: the data is only decoded and checked.
// kStreamOk, kStreamShortRead, kStreamShortWrite, kStreamStopped or kStreamBadBlock.
StreamStatus stream_to_file(StreamContext* context, FileHandle output, StreamCallback callback);
// Never writes more than `bound` bytes into `area`. kStreamOk, kStreamShortRead,
// kStreamOverBound or kStreamBadBlock.
StreamStatus stream_to_memory(StreamContext* context, uint8_t* area, uint32_t bound);
// Copies `count` bytes verbatim from the archive; kStreamOk or kStreamCopyFailed.
StreamStatus copy_raw(StreamContext* context, FileHandle output, uint32_t count);

}  // namespace zq
