// The block pipeline. Only the calling thread touches the archive file, the
// stream context and the rings' ends; a worker touches nothing but the slot
// it claims (with its bytes in the rings) and its own codec and block,
// between its `queued` wait and the slot's `decoded` post.
#include "archive/pipeline.h"

#include "archive/source.h"
#include "archive/stream_frames.h"
#include "platform/divide.h"

namespace zq {

namespace {

// How many frames the calling thread lets the workers finish before it
// wakes for the oldest: each wake costs it a sleep and a worker a wake call,
// about 1,900 of each for a tree of 8,000 small files frame by frame.
constexpr uint64_t kWakeBatch = 8;

PipelineSlot& slot_of(BlockPipeline* pipeline, uint64_t frame) {
    return pipeline->slots[remainder_u64_u32(frame, pipeline->slot_count)];
}

// Takes the slot of the oldest frame no worker has taken yet; the caller has
// had a post of `queued` for it. Counted in slots rather than frames, so the
// count never runs past what a word holds. The claims pass each other what
// their waits saw: the post for this frame may have ended another worker's
// wait, the one that took the frame before.
PipelineSlot& claim_slot(BlockPipeline* pipeline) {
    uint32_t claimed = __atomic_load_n(&pipeline->next_claim, __ATOMIC_ACQUIRE);
    uint32_t next = 0;
    do {
        next = claimed + 1 == pipeline->slot_count ? 0 : claimed + 1;
    } while (!__atomic_compare_exchange_n(&pipeline->next_claim, &claimed, next, true,
                                          __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    return pipeline->slots[claimed];
}

// Decodes the slot's frame. In the rings a frame whose room is a whole
// block is decoded in place; one with less room is decoded into the
// worker's own block and copied over when it fits, since the decoder may
// write anywhere in a block's bytes before it ends.
void decode_slot(PipelineWorker* worker, PipelineSlot& slot) {
    const bool in_place = !platform_reads_ahead() || slot.room >= kBlockSize;
    uint8_t* out = in_place ? slot.plain : worker->block;
    uint16_t produced = 0;
    slot.decode_status = decode_block(worker->codec, slot.coded, out, uint16_t(slot.length),
                                      &produced, slot.substituted);
    slot.produced = produced;
    if (in_place || slot.decode_status != 0) return;
    slot.overrun = produced > slot.room;
    if (!slot.overrun) __builtin_memcpy(slot.plain, out, produced);
}

void run_worker(void* argument) {
    PipelineWorker* worker = static_cast<PipelineWorker*>(argument);
    BlockPipeline* pipeline = worker->pipeline;
    for (;;) {
        semaphore_wait(pipeline->queued);
        if (pipeline->quit) return;
        PipelineSlot& slot = claim_slot(pipeline);
        if (!slot.short_read) decode_slot(worker, slot);
        if (platform_reads_ahead()) __atomic_store_n(&slot.done, true, __ATOMIC_RELEASE);
        semaphore_post(slot.decoded);
    }
}

// Where `count` contiguous bytes would go at the ring's end (skipping the
// stretch before the wrap when they would cross it); false when the ring
// has not that much room free.
bool ring_place(const ByteRing& ring, uint32_t count, uint64_t* at) {
    uint64_t start = ring.end;
    const uint32_t offset = uint32_t(start) & (ring.size - 1);
    if (count > ring.size - offset) start += ring.size - offset;
    *at = start;
    return start + count - ring.begin <= ring.size;
}

uint8_t* ring_take(ByteRing& ring, uint32_t count) {
    uint64_t at = 0;
    ring_place(ring, count, &at);
    ring.end = at + count;
    return ring.bytes + (uint32_t(at) & (ring.size - 1));
}

bool ring_has_room(const ByteRing& ring, uint32_t count) {
    uint64_t at = 0;
    return ring_place(ring, count, &at);
}

bool ring_half_free(const ByteRing& ring) { return ring.end - ring.begin <= ring.size / 2; }

// The plain room of each frame of the section being read: a whole block,
// or the section's plain size when that is less (no frame of it can honestly
// decode to more, whatever size the packer cut its blocks to).
uint32_t next_room(const BlockPipeline* pipeline) {
    const int64_t plain = pipeline->section_plain;
    return plain < 0 || plain >= int64_t(kBlockSize) ? kBlockSize : uint32_t(plain);
}

// Reads one frame into its slot, as next_block would read it.
void read_frame(BlockPipeline* pipeline, StreamContext* context, PipelineSlot& slot) {
    uint8_t header[2];
    slot.length = -1;
    slot.short_read = !archive_read(context, header, 2);
    if (slot.short_read) return;
    const FrameHeader frame = parse_frame_header(header);
    slot.length = int32_t(frame.payload);
    slot.substituted = frame.substituted;
    if (platform_reads_ahead()) slot.coded = ring_take(pipeline->coded_ring, frame.payload);
    slot.short_read = !archive_read(context, slot.coded, frame.payload);
}

uint64_t in_flight(const BlockPipeline* pipeline) {
    return pipeline->frames_read - pipeline->frames_taken;
}

// Moves the reader on to the plan's next section; false when there is none
// (or the reader does not know where it stands in the file).
bool next_planned_section(BlockPipeline* pipeline) {
    if (!platform_reads_ahead() || pipeline->plan.next == nullptr || pipeline->plan_cursor == 0 ||
        pipeline->read_position < 0)
        return false;
    int64_t at = 0;
    int64_t coded = 0;
    int64_t plain = -1;
    if (!pipeline->plan.next(pipeline->plan.user, &pipeline->plan_cursor, &at, &coded, &plain))
        return false;
    pipeline->read_position = at;
    pipeline->read_left = coded;
    pipeline->section_at = at;
    pipeline->section_coded = coded;
    pipeline->section_plain = plain;
    pipeline->section_first = true;
    return true;
}

// Gives the next frame its plain room, when both rings have room for it
// (a whole block of coded room: its length is not read yet).
bool place_frame(BlockPipeline* pipeline, PipelineSlot& slot) {
    const uint32_t room = next_room(pipeline);
    if (!ring_has_room(pipeline->coded_ring, kBlockSize) ||
        !ring_has_room(pipeline->plain_ring, room))
        return false;
    slot.room = room;
    slot.overrun = false;
    slot.plain = ring_take(pipeline->plain_ring, room);
    slot.plain_end = pipeline->plain_ring.end;
    return true;
}

// Fills the free slots with the stream's next frames, then the planned
// sections' frames, and queues each for the workers. A frame that cannot be
// read still goes round (a worker passes it straight back), so that frames
// and slots stay in step; reading stops there, and the failure surfaces
// when the stream reaches that frame.
void read_ahead(BlockPipeline* pipeline, StreamContext* context) {
    while (!pipeline->read_failed && in_flight(pipeline) < pipeline->slot_count) {
        if (pipeline->read_left <= 0 && !next_planned_section(pipeline)) return;
        PipelineSlot& slot = slot_of(pipeline, pipeline->frames_read);
        if (platform_reads_ahead() && !place_frame(pipeline, slot)) return;
        // The caller reads raw files and link targets between its streams.
        // (Without reading ahead the position is never known: -1.)
        const bool placed = platform_reads_ahead() && pipeline->read_position >= 0;
        if (placed && !archive_seek(context, pipeline->read_position)) {
            slot.length = -1;
            slot.short_read = true;
        } else {
            read_frame(pipeline, context, slot);
        }
        if (platform_reads_ahead()) {
            slot.coded_end = pipeline->coded_ring.end;
            slot.first = pipeline->section_first;
            slot.section_at = pipeline->section_at;
            slot.section_coded = pipeline->section_coded;
            pipeline->section_first = false;
        }
        if (slot.short_read) {
            pipeline->read_failed = true;
        } else {
            // Counted modulo 2^64, as the stream's own coded_left is.
            pipeline->read_left =
                int64_t(uint64_t(pipeline->read_left) - uint32_t(slot.length + 2));
            if (placed) pipeline->read_position += slot.length + 2;
        }
        semaphore_post(pipeline->queued);
        ++pipeline->frames_read;
    }
}

// Reads ahead once half the slots are free, rather than a frame each time
// one is: the workers are then woken once for many frames, not once per
// frame (a tree of small files has one frame per file), and still hold
// half the slots' frames while the caller writes. The Windows stub, which
// reads one file's frames at a time, refills a slot as soon as it is free.
void top_up(BlockPipeline* pipeline, StreamContext* context) {
    if (!platform_reads_ahead() ||
        (in_flight(pipeline) <= pipeline->slot_count / 2 && ring_half_free(pipeline->coded_ring) &&
         ring_half_free(pipeline->plain_ring)))
        read_ahead(pipeline, context);
}

// Takes the oldest frame's post; the slot is the caller's again.
void take_oldest(PipelineSlot& slot) {
    semaphore_wait(slot.decoded);
    __atomic_store_n(&slot.done, false, __ATOMIC_RELAXED);
}

// The oldest frame's bytes go back to the rings.
void free_oldest(BlockPipeline* pipeline, const PipelineSlot& slot) {
    ++pipeline->frames_taken;
    if (!platform_reads_ahead()) return;
    pipeline->coded_ring.begin = slot.coded_end;
    pipeline->plain_ring.begin = slot.plain_end;
}

void drop_oldest(BlockPipeline* pipeline) {
    PipelineSlot& slot = slot_of(pipeline, pipeline->frames_taken);
    take_oldest(slot);
    free_oldest(pipeline, slot);
}

// The slot's plain block out of the ring into the context's buffer, or
// decoded again on this thread when it overran its room.
int copy_from_ring(PipelineSlot& slot, StreamContext* context) {
    if (!slot.overrun) {
        __builtin_memcpy(context->plain_buf, slot.plain, slot.produced);
        return kCodecOk;
    }
    uint16_t produced = 0;
    const int status = decode_block(context->codec, slot.coded, context->plain_buf,
                                    uint16_t(slot.length), &produced, slot.substituted);
    slot.produced = produced;
    return status;
}

// When the oldest frame is not decoded yet, waits for the frame kWakeBatch
// later first (or the last read), and gives its post back: the workers,
// which take the frames in order, have then finished the ones before it as
// well, and this thread wakes once for the batch rather than once a frame.
void wait_for_batch(BlockPipeline* pipeline) {
    if (__atomic_load_n(&slot_of(pipeline, pipeline->frames_taken).done, __ATOMIC_ACQUIRE)) return;
    uint64_t later = pipeline->frames_taken + kWakeBatch;
    if (later >= pipeline->frames_read) later = pipeline->frames_read - 1;
    PipelineSlot& last = slot_of(pipeline, later);
    semaphore_wait(last.decoded);
    semaphore_post(last.decoded);
}

void release_slot(PipelineSlot& slot) {
    if (!platform_reads_ahead()) {
        if (slot.coded != nullptr) mem_free(slot.coded);
        if (slot.plain != nullptr) mem_free(slot.plain);
    }
    semaphore_destroy(slot.decoded);
}

// A ring of at least `blocks` blocks.
bool start_ring(ByteRing& ring, uint32_t blocks) {
    uint32_t size = kBlockSize;
    while (size < blocks * kBlockSize) size *= 2;
    ring = ByteRing{static_cast<uint8_t*>(mem_alloc(size)), size, 0, 0};
    return ring.bytes != nullptr;
}

void release_ring(ByteRing& ring) {
    if (ring.bytes != nullptr) mem_free(ring.bytes);
}

}  // namespace

uint32_t pipeline_worker_count(uint32_t asked) {
    uint32_t count = asked != 0 ? asked : environment_number(kWorkersVariable);
    if (count == 0) {
        // One worker more than the processors: the calling thread sleeps for
        // each block it waits on and wakes to write it, and a worker per
        // processor then lost its processor to it over and over (3,500 to
        // 4,200 context switches and 1.85 to 1.97 s of processor time for a
        // 94 MB file on two processors, where a spare worker took 1,000 and
        // 1.56 s, and one thread alone 1.30 s).
        count = processor_count();
        if (count > 1) ++count;
    }
    return count > kMaxWorkers ? kMaxWorkers : count;
}

StreamStatus pipeline_start(BlockPipeline* pipeline, uint32_t workers) {
    if (workers < 2 || workers > kMaxWorkers) return kStreamNoMemory;
    pipeline->worker_count = workers;
    pipeline->slot_count = workers + kFramesAhead;
    if (platform_reads_ahead()) pipeline->section_plain = -1;
    pipeline->queued = semaphore_create();
    if (pipeline->queued == nullptr) return kStreamNoMemory;
    // A large file reads as far ahead as with a block buffer per slot; its
    // payloads take a quarter of a block or so, and those that take a whole
    // one (stored noise) decode much faster than they can be read.
    if (platform_reads_ahead() && (!start_ring(pipeline->coded_ring, (workers + kReadAhead) / 2) ||
                                   !start_ring(pipeline->plain_ring, workers + kReadAhead))) {
        pipeline_finish(pipeline);
        return kStreamNoMemory;
    }
    for (uint32_t i = 0; i < pipeline->slot_count; ++i) {
        PipelineSlot& slot = pipeline->slots[i];
        if (!platform_reads_ahead()) {
            slot.coded = static_cast<uint8_t*>(mem_alloc(kBlockSize));
            slot.plain = static_cast<uint8_t*>(mem_alloc(kPlainBufferSize));
        }
        slot.decoded = semaphore_create();
        if ((!platform_reads_ahead() && (slot.coded == nullptr || slot.plain == nullptr)) ||
            slot.decoded == nullptr) {
            pipeline_finish(pipeline);
            return kStreamNoMemory;
        }
    }
    const CodecAllocator allocator{mem_alloc, mem_free};
    for (uint32_t i = 0; i < workers; ++i) {
        PipelineWorker& worker = pipeline->workers[i];
        worker.pipeline = pipeline;
        worker.codec_ready = codec_init(worker.codec, allocator) == kCodecOk;
        if (platform_reads_ahead()) {
            worker.block = static_cast<uint8_t*>(mem_alloc(kPlainBufferSize));
            if (worker.block == nullptr) worker.codec_ready = false;
        }
        if (worker.codec_ready) worker.thread = thread_start(run_worker, &worker);
        if (worker.thread == nullptr) {
            pipeline_finish(pipeline);
            return kStreamNoMemory;
        }
    }
    return kStreamOk;
}

void pipeline_begin(BlockPipeline* pipeline, int64_t position, int64_t coded) {
    const uint32_t announced = pipeline->plan_restart;
    pipeline->plan_restart = 0;
    while (platform_reads_ahead() && in_flight(pipeline) != 0) {
        const PipelineSlot& head = slot_of(pipeline, pipeline->frames_taken);
        if (platform_reads_ahead() && position >= 0 && head.first && head.section_at == position &&
            head.section_coded == coded)
            return;
        drop_oldest(pipeline);
    }
    pipeline_drain(pipeline);
    pipeline->read_position = position;
    pipeline->read_left = coded;
    pipeline->read_failed = false;
    pipeline->section_at = position;
    pipeline->section_coded = coded;
    if (platform_reads_ahead()) pipeline->section_plain = -1;
    pipeline->section_first = true;
    pipeline->plan_cursor = announced;
}

void pipeline_plan(BlockPipeline* pipeline, SectionPlan plan) { pipeline->plan = plan; }

void pipeline_plan_from(BlockPipeline* pipeline, uint32_t index) {
    pipeline->plan_restart = index + 1;
}

StreamStatus pipeline_next(BlockPipeline* pipeline, StreamContext* context, uint16_t* produced) {
    top_up(pipeline, context);
    if (in_flight(pipeline) == 0) return kStreamShortRead;

    PipelineSlot& slot = slot_of(pipeline, pipeline->frames_taken);
    if (platform_reads_ahead()) wait_for_batch(pipeline);
    take_oldest(slot);
    if (slot.length >= 0) context->block_len = slot.length;
    if (platform_reads_ahead() && !slot.short_read && slot.decode_status == 0)
        slot.decode_status = copy_from_ring(slot, context);
    free_oldest(pipeline, slot);
    if (slot.short_read) return kStreamShortRead;
    context->status = int16_t(slot.decode_status);
    if (slot.decode_status != 0) return kStreamBadBlock;
    if (!platform_reads_ahead()) {
        // The block changes hands instead of being copied: the context's
        // spare buffer becomes the slot's, to be filled by a frame read later.
        uint8_t* block = slot.plain;
        slot.plain = context->plain_buf;
        context->plain_buf = block;
    }
    count_block(context, uint32_t(slot.length), slot.produced);
    *produced = slot.produced;
    // Topped up before the caller writes the block, so the workers have work
    // while it does.
    top_up(pipeline, context);
    return kStreamOk;
}

void pipeline_drain(BlockPipeline* pipeline) {
    while (in_flight(pipeline) != 0) drop_oldest(pipeline);
}

void pipeline_finish(BlockPipeline* pipeline) {
    pipeline_drain(pipeline);
    // Every frame is back, so each post now wakes one worker to find `quit`.
    pipeline->quit = true;
    for (PipelineWorker& worker : pipeline->workers) {
        if (worker.thread != nullptr) semaphore_post(pipeline->queued);
    }
    for (PipelineWorker& worker : pipeline->workers) {
        thread_join(worker.thread);
        if (worker.codec_ready) codec_free(worker.codec);
    }
    semaphore_destroy(pipeline->queued);
    for (PipelineSlot& slot : pipeline->slots) release_slot(slot);
    if (platform_reads_ahead()) {
        for (PipelineWorker& worker : pipeline->workers) {
            if (worker.block != nullptr) mem_free(worker.block);
        }
        release_ring(pipeline->coded_ring);
        release_ring(pipeline->plain_ring);
    }
    *pipeline = BlockPipeline{};
}

}  // namespace zq
