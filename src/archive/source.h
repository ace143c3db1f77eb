// The archive layer's one way to the archive's bytes: straight from the file,
// through a read buffer, or through the decrypting view when the context
// has one (sealed.h).
#pragma once

#include <cstdint>

#include "archive/stream.h"

namespace zq {

// Reads exactly `count` bytes at the current position; false on a short
// read, a failed read, or a chunk that does not authenticate.
bool archive_read(StreamContext* context, void* buffer, uint32_t count);
// Moves to the file position `position`; false when no seek reaches it (in
// a view also before the archive). As in a file, a position past the end
// can be reached, and reading there fails.
bool archive_seek(StreamContext* context, FileOffset position);
// The file position the next archive_read starts from; -1 when the reads go
// to the file unbuffered, or before the first seek.
FileOffset archive_position(const StreamContext* context);

}  // namespace zq
