#include "archive/dir_index.h"

namespace zq {

int32_t record_path(const Catalogue& catalogue, uint32_t record, char separator, char* out) {
    // The chain up to the top, deepest first.
    uint32_t chain[kMaxDirDepth + 1];
    uint32_t levels = 0;
    for (uint32_t at = uint32_t(record) + 1; at != 0; at = catalogue.dir_parent[at - 1]) {
        if (levels == kMaxDirDepth + 1 || at > catalogue.dir_count) return -1;
        chain[levels++] = at - 1;
    }
    uint32_t length = 0;
    while (levels != 0) {
        const char* name = name_text(catalogue, catalogue.dir_table[chain[--levels]].name());
        for (; *name != 0; ++name) {
            if (length == kMaxPath) return -1;
            out[length++] = *name;
        }
        if (length == kMaxPath) return -1;
        out[length++] = separator;
    }
    out[length] = 0;
    return int32_t(length);
}

int32_t dir_path(const Catalogue& catalogue, uint32_t id, char separator, char* out) {
    out[0] = 0;
    if (catalogue.dir_by_id == nullptr || id >= catalogue.id_count) return -1;
    const uint32_t at = catalogue.dir_by_id[id];
    if (at == 0) return -1;
    return record_path(catalogue, at - 1, separator, out);
}

}  // namespace zq
