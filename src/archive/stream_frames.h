// Internal to the archive reader: one frame at a time.
#pragma once

#include <cstdint>

#include "archive/stream.h"

namespace zq {

// Reads exactly `count` bytes; false on a short read or an error.
inline bool read_exact(FileHandle file, void* buffer, uint32_t count) {
    return file_read(file, buffer, count) == int32_t(count);
}

// Brings the stream counters up to date after a block of `length` payload
// bytes that gave `produced` plain bytes.
inline void count_block(StreamContext* context, uint32_t length, uint16_t produced) {
    // The record tables read on past their recorded size, so coded_left may
    // keep falling below zero: it counts modulo the width of a FileSize, as
    // a register would, without signed overflow.
    context->coded_left = FileOffset(FileSize(context->coded_left) - (length + 2));
    context->coded_done += length + 2;
    context->plain_done += produced;
}

// Reads the next frame from the archive into coded_buf and expands it into
// plain_buf, bringing the stream counters up to date. Stores the plain count
// in *produced. 0, kStreamShortRead, or kStreamBadBlock (status holds the
// decoder's result).
StreamStatus next_block(StreamContext* context, uint16_t* produced);

}  // namespace zq
