// For tools and tests that read more than one archive in a process: gives
// back what stream_init and read_catalogue took from the platform allocator.
// The extractor itself never releases anything; it ends instead.
#pragma once

#include "archive/catalogue.h"

namespace zq {

// Frees every table of the catalogue (also a partly filled one) and zeroes it.
void release_catalogue(Catalogue* catalogue);
// Frees the context's buffers and codec tables; the archive file stays open.
void release_stream(StreamContext* context);

}  // namespace zq
