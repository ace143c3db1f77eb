#include "archive/release.h"

#include "archive/sealed.h"

namespace zq {

namespace {
void release(void* block) {
    if (block != nullptr) mem_free(block);
}
}  // namespace

void release_catalogue(Catalogue* catalogue) {
    if (catalogue->name_pools != nullptr) {
        for (uint32_t i = 0; i < catalogue->pool_count; ++i) release(catalogue->name_pools[i]);
        release(catalogue->name_pools);
    }
    release(catalogue->pool_sizes);
    release(catalogue->dir_table);
    release(catalogue->dir_parent);
    release(catalogue->dir_by_id);
    if (catalogue->file_table != nullptr) {
        // One chunk per 128 records, reached through its first record.
        // The table may have stopped short of file_count when reading failed.
        for (uint32_t i = 0; i < catalogue->file_slots; i += kRecordsPerChunk)
            release(catalogue->file_table[i]);
        release(catalogue->file_table);
    }
    *catalogue = Catalogue{};
}

void release_stream(StreamContext* context) {
    if (kReadsSealed) sealed_release(context);
    codec_free(context->codec);
    release(context->coded_buf);
    release(context->plain_buf);
    release(context->read_buf);
    context->coded_buf = nullptr;
    context->plain_buf = nullptr;
    context->read_buf = nullptr;
}

}  // namespace zq
