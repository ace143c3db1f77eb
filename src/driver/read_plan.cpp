// What the decoding threads read ahead: the coded data of the files the run
// will ask for next, in catalogue order, so that they decode the next files
// while this thread writes the one in hand.
#include "archive/pipeline.h"
#include "driver/state.h"

namespace zq {

namespace {

// The first file at or after *cursor whose coded data the run will read
// through the pipeline (links are read on their own, and a position or size
// no seek or stream reaches is left to the file's own reading to report).
bool next_coded_file(void*, uint32_t* cursor, int64_t* position, int64_t* coded, int64_t* plain) {
    // The archive's offset is never negative; the bounds below are those
    // the file's own seek and stream apply (file_data.cpp).
    const int64_t archive_offset = driver().spot.archive_offset;
    if (archive_offset < 0) return false;
    while (*cursor < driver().file_count) {
        const FileRecord& file = *catalogue.file_table[(*cursor)++];
        if (!file.block_coded() || file.is_symlink() || file.original_size() == 0) continue;
        const uint64_t offset = file.data_offset();
        const uint64_t size = file.stored_size();
        if (offset > uint64_t(INT64_MAX - archive_offset) || size == 0 ||
            size > uint64_t(INT64_MAX))
            continue;
        *position = archive_offset + int64_t(offset);
        *coded = int64_t(size);
        const uint64_t plain_size = file.original_size();
        *plain = plain_size > uint64_t(INT64_MAX) ? -1 : int64_t(plain_size);
        return true;
    }
    return false;
}

}  // namespace

void plan_reading() {
    // A caller's selection is asked once per file, in order; the guess at
    // what comes does not ask it again.
    if (!platform_reads_ahead() || stream_context.pipeline == nullptr ||
        caller_options.select != nullptr)
        return;
    pipeline_plan(stream_context.pipeline, SectionPlan{next_coded_file, nullptr});
}

void reading_file(uint32_t index) {
    if (platform_reads_ahead() && stream_context.pipeline != nullptr)
        pipeline_plan_from(stream_context.pipeline, index);
}

}  // namespace zq
