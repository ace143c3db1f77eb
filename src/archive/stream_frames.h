// Internal to the archive reader: one frame at a time.
#pragma once

#include <cstdint>

#include "archive/stream.h"

namespace zq {

// Reads exactly `count` bytes; false on a short read or an error.
inline bool read_exact(FileHandle file, void* buffer, uint32_t count) {
    return file_read(file, buffer, count) == int32_t(count);
}

// Reads the next frame from the archive into coded_buf and expands it into
// plain_buf, bringing the stream counters up to date. Stores the plain count
// in *produced. 0, kStreamShortRead, or kStreamBadBlock (status holds the
// decoder's result).
int16_t next_block(StreamContext* context, uint16_t* produced);

}  // namespace zq
