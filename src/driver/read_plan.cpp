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
bool next_coded_file(void*, uint32_t* cursor, int64_t* position, int32_t* coded) {
    while (*cursor < driver.file_count) {
        const FileRecord& file = *catalogue.file_table[(*cursor)++];
        if (!file.block_coded() || file.is_symlink() || file.original_size() == 0) continue;
        const uint32_t at = uint32_t(driver.archive_offset) + file.data_offset();
        const uint32_t size = file.stored_size();
        if (at < file.data_offset() || at > uint32_t(INT32_MAX) || size == 0 ||
            size > uint32_t(INT32_MAX))
            continue;
        *position = int64_t(at);
        *coded = int32_t(size);
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
