// Parallel block decoding. Every block starts from fresh models, so blocks
// can be decoded in any order on any thread: the pipeline reads frames ahead
// in order on the calling thread, has worker threads decode them (each with
// a CodecState of its own) and hands the plain blocks back in order, one at
// a time, on the calling thread. With a plan (pipeline_plan) it reads on
// past the stream in hand into the coded sections of the files to come, so
// that a tree of small files keeps the workers as busy as one large file;
// a stream that starts where frames read ahead begin takes them, any other
// start drops what was read ahead. A stream whose context carries a pipeline
// (StreamContext::pipeline) goes through it; what comes out, the counters,
// the statuses and the block at which a failure is reported are those of the
// serial path.
//
// Memory: workers x (one codec state, ~210 KiB). Where the reader reads
// ahead (platform_reads_ahead) the frames' bytes sit packed in two rings,
// the plain one of (workers + kReadAhead) blocks and the coded one of half
// that, each rounded up to a power of two: a run of small files then holds
// hundreds of frames in the room of a few blocks. Every worker decodes into
// a block of its own there. The Windows stub gives each slot its two block
// buffers. Two workers take about 2 MiB, kMaxWorkers about 6 MiB.
#pragma once

#include <cstdint>

#include "archive/stream.h"
#include "codec/codec.h"
#include "platform/platform.h"

namespace zq {

// More threads than this buy nothing on a disk-bound extraction and cost
// memory; the count is capped here whatever the machine or the caller says.
constexpr uint32_t kMaxWorkers = 16;
// Blocks read beyond one per worker (the rings' room, or the Windows stub's
// frame slots), so that a worker finishing a block finds the next already
// read while the caller writes. The calling thread shares
// the processors with the workers and may wait a few milliseconds for one;
// 28 frames keep two workers busy through that (4 left them waiting: 10 %
// longer on a large file, and less steady).
constexpr uint32_t kReadAhead = 28;
// Frames in flight beyond one per worker where they are packed in the
// rings: enough for rings full of files of a few KiB.
constexpr uint32_t kFramesAhead = platform_reads_ahead() ? 480 : kReadAhead;
constexpr uint32_t kMaxSlots = kMaxWorkers + kFramesAhead;
// Set to a number of workers (1 = the serial path) to override the
// processor count.
constexpr char kWorkersVariable[] = "ZQSFX_WORKERS";

struct BlockPipeline;

// One frame on its way: read by the caller's thread, decoded by a worker.
struct PipelineSlot {
    uint8_t* coded;        // its payload: kBlockSize bytes, or its length in the ring
    uint8_t* plain;        // its plain block: kPlainBufferSize bytes, or `room` in the ring
    Semaphore decoded;     // posted by the worker when the slot is done
    int32_t length;        // payload length; -1 when not even the header came
    uint16_t substituted;  // the header's flag
    uint16_t produced;     // plain bytes of the block
    bool short_read;       // the frame could not be read whole
    bool first;            // the first frame of its section
    bool done;             // set before `decoded` is posted (atomic)
    int decode_status;     // decode_block's result
    int64_t section_at;    // its section: where it starts, and its coded size
    int64_t section_coded;
    // In the rings only:
    bool overrun;        // it decoded to more than `room`: decoded again in hand
    uint32_t room;       // plain bytes the ring holds for it
    uint64_t coded_end;  // the rings' ends once its bytes were placed
    uint64_t plain_end;
};

// The coded sections a reader will ask for next, in order: `next` gives the
// first at or after *cursor (its file position, its coded size with the
// frame headers, and the plain size it should decode to) and moves *cursor
// past it; false when none is left. A cursor of 0 is no place: nothing is
// read ahead from there.
struct SectionPlan {
    bool (*next)(void* user, uint32_t* cursor, int64_t* position, int64_t* coded, int64_t* plain);
    void* user;
};

struct PipelineWorker {
    BlockPipeline* pipeline;
    Thread thread;
    CodecState codec;
    bool codec_ready;
    uint8_t* block;  // kPlainBufferSize bytes to decode into (rings only)
};

// Bytes placed in order and freed in order: [begin, end) counts every byte
// ever placed, a stretch skipped at the wrap included; `size` is a power
// of two.
struct ByteRing {
    uint8_t* bytes;
    uint32_t size;
    uint64_t begin;
    uint64_t end;
};

struct BlockPipeline {
    uint32_t worker_count;
    uint32_t slot_count;
    // Frame k goes to slot k % slot_count. The workers share one queue: each
    // post of `queued` is one frame read, and whichever worker is free takes
    // the oldest frame not yet taken. A worker that the machine slows (other
    // programs, or this one's reading and writing on the same processors)
    // then holds up only the frames it has in hand, never the others' share.
    Semaphore queued;
    uint32_t next_claim;  // slot of the next frame a worker takes (atomic)
    uint64_t frames_read;
    uint64_t frames_taken;
    int64_t read_left;  // coded bytes the reader has still to fetch
    bool read_failed;   // no more reading until the stream is taken up to here
    bool quit;
    SectionPlan plan;       // none: reading stops at the end of the stream in hand
    uint32_t plan_cursor;   // where the plan's next look starts
    uint32_t plan_restart;  // the announced stream's: see pipeline_plan_from
    int64_t read_position;  // where the next frame is read; -1: where the file stands
    int64_t section_at;     // the section being read: its position and coded size
    int64_t section_coded;
    bool section_first;  // the next frame read is its first
    PipelineWorker workers[kMaxWorkers];
    PipelineSlot slots[kMaxSlots];
    // In the rings only (see Memory above):
    int64_t section_plain;  // its plain size as planned; -1: unknown
    ByteRing coded_ring;
    ByteRing plain_ring;
};

// The number of workers to use: `asked` when nonzero, else the environment
// variable, else one more than the processors (one processor: 1, the serial
// path); at most kMaxWorkers.
uint32_t pipeline_worker_count(uint32_t asked);

// Sets up `workers` (2..kMaxWorkers) threads on a zeroed pipeline. 0, or
// kStreamNoMemory after releasing whatever was set up.
StreamStatus pipeline_start(BlockPipeline* pipeline, uint32_t workers);
// The stream's next block, as next_block gives it: the plain block in
// context->plain_buf, the counters brought up to date.
StreamStatus pipeline_next(BlockPipeline* pipeline, StreamContext* context, uint16_t* produced);
// Starts a stream of `coded` bytes at file position `position` (-1: where the
// file stands): the frames read ahead for it are kept, those before it
// dropped; with none ahead, reading starts afresh there.
void pipeline_begin(BlockPipeline* pipeline, int64_t position, int64_t coded);
// Reads ahead into the sections `plan` gives once a stream's own frames are
// read. The plan is only a guess at what comes: a stream it got wrong
// drops the frames read for it.
void pipeline_plan(BlockPipeline* pipeline, SectionPlan plan);
// The stream about to start is the plan's entry `index` (the cursor's value
// once moved past it, less one): when nothing was read ahead for it, the
// plan goes on from the entry after it. A stream started unannounced reads
// nothing beyond itself (a link's target, say, which no plan lists).
void pipeline_plan_from(BlockPipeline* pipeline, uint32_t index);
// Waits for every frame read ahead and drops them: the stream in hand is
// abandoned and the next one starts from its context.
void pipeline_drain(BlockPipeline* pipeline);
// Stops the workers and releases everything; the pipeline is zero again.
void pipeline_finish(BlockPipeline* pipeline);

}  // namespace zq
