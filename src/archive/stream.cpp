// Block streams: frames are read one at a time into coded_buf, expanded into
// plain_buf and handed on, so the memory in use never depends on the size of
// what is being extracted.
#include "archive/stream.h"

#include "archive/pipeline.h"
#include "archive/source.h"
#include "archive/stream_frames.h"
#include "codec/crc32.h"

namespace zq {

namespace {

// The same routine copy_raw and stream_to_memory use; a plain loop because the
// stub links no C runtime.
void copy_bytes(uint8_t* to, const uint8_t* from, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) to[i] = from[i];
}

// The per-stream state; `status` is the caller's to clear.
void clear_counters(StreamContext* context) {
    context->block_len = 0;
    context->cursor = 0;
    context->coded_done = 0;
    context->plain_done = 0;
    context->plain_total = 0;
    context->coded_left = -1;
    context->crc = kCrc32Start;
}

}  // namespace

StreamStatus next_block(StreamContext* context, uint16_t* produced) {
    uint8_t* coded = context->coded_buf;
    if (!archive_read(context, coded, 2)) return kStreamShortRead;
    const FrameHeader header = parse_frame_header(coded);
    const uint32_t length = header.payload;
    context->block_len = int32_t(length);
    // The payload goes over the header: coded_buf holds exactly one payload.
    if (!archive_read(context, coded, length)) return kStreamShortRead;
    uint16_t n = 0;
    context->status = int16_t(decode_block(context->codec, coded, context->plain_buf,
                                           uint16_t(length), &n, header.substituted));
    if (context->status != kCodecOk) return kStreamBadBlock;
    count_block(context, length, n);
    *produced = n;
    return kStreamOk;
}

StreamStatus stream_init(StreamContext* context) {
    if (context == nullptr) return kStreamBadBlock;
    context->archive_file = kNoFile;
    crc32_prepare();
    context->crc_wanted = true;
    context->pipeline = nullptr;
    context->sealed = nullptr;
    const CodecAllocator allocator{mem_alloc, mem_free};
    if (codec_init(context->codec, allocator) != kCodecOk) return kStreamNoMemory;
    context->coded_buf = static_cast<uint8_t*>(mem_alloc(kBlockSize));
    if (context->coded_buf == nullptr) return kStreamNoMemory;
    context->plain_buf = static_cast<uint8_t*>(mem_alloc(kPlainBufferSize));
    if (context->plain_buf == nullptr) return kStreamNoMemory;
    context->read_buf = nullptr;
    if (platform_reads_ahead()) {
        context->read_buf = static_cast<uint8_t*>(mem_alloc(kArchiveBufferSize));
        if (context->read_buf == nullptr) return kStreamNoMemory;
    }
    context->read_start = 0;
    context->read_length = 0;
    context->position = -1;
    clear_counters(context);
    return kStreamOk;
}

void stream_start(StreamContext* context, FileOffset coded_size) {
    // Frames a pipeline read ahead for this stream are kept, those of an
    // abandoned one dropped.
    if (context->pipeline != nullptr)
        pipeline_begin(context->pipeline, archive_position(context), coded_size);
    clear_counters(context);
    context->status = kCodecOk;
    context->coded_left = coded_size;
}

void checksum_start(StreamContext* context, bool wanted) {
    context->crc = kCrc32Start;
    context->crc_wanted = wanted;
}

StreamStatus stream_next(StreamContext* context, uint16_t* produced) {
    if (context->pipeline != nullptr) return pipeline_next(context->pipeline, context, produced);
    return next_block(context, produced);
}

StreamStatus stream_to_file(StreamContext* context, FileHandle output, StreamCallback callback) {
    int16_t stop = 0;
    while (context->coded_left > 0) {
        if (stop != 0) return kStreamStopped;
        uint16_t n = 0;
        StreamStatus result = stream_next(context, &n);
        if (result != kStreamOk) return result;
        if (output != kNoFile && file_write(output, context->plain_buf, n) != int32_t(n))
            return kStreamShortWrite;
        if (context->crc_wanted) context->crc = crc32_update(context->crc, context->plain_buf, n);
        if (callback != nullptr) callback(context, &stop);
    }
    return kStreamOk;
}

StreamStatus stream_to_memory(StreamContext* context, uint8_t* area, uint32_t bound) {
    uint8_t* p = area;
    while (context->coded_left > 0) {
        uint16_t n = 0;
        StreamStatus result = next_block(context, &n);
        if (result != kStreamOk) return result;
        if (context->plain_done > bound) {
            // Fill the area exactly up to its bound and no further.
            copy_bytes(p, context->plain_buf, bound - uint32_t(p - area));
            return kStreamOverBound;
        }
        copy_bytes(p, context->plain_buf, n);
        p += n;
    }
    return kStreamOk;
}

StreamStatus copy_raw(StreamContext* context, FileHandle output, uint32_t count) {
    for (;;) {
        uint32_t k = count < kPlainBufferSize ? count : kPlainBufferSize;
        if (!archive_read(context, context->plain_buf, k)) return kStreamCopyFailed;
        if (output != kNoFile && file_write(output, context->plain_buf, k) != int32_t(k))
            return kStreamCopyFailed;
        if (context->crc_wanted) context->crc = crc32_update(context->crc, context->plain_buf, k);
        if (k == count) return kStreamOk;
        count -= k;
    }
}

}  // namespace zq
