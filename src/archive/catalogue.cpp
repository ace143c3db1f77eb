// The catalogue reader. It loads the name pools, the password block, the
// directory table and the file table, then checks that everything the tables
// name lies inside them and that every stored name is one safe path
// component, so that nothing later can be led outside the target directory or
// outside a buffer. All of it happens before the first file is written.
#include "archive/catalogue.h"

#include "archive/names.h"
#include "archive/stream_frames.h"
#include "platform/console.h"

namespace zq {

namespace {

// No answer at the password prompt ends the run as an abort (the driver's
// code 1, "Abort !").
constexpr int kExitNoAnswer = 1;
constexpr int kExitWrongPassword = 4;
constexpr uint32_t kMaxSection = 0x7FFF;  // largest pool or password frame run

bool read_u16(FileHandle file, uint16_t* value) {
    uint8_t bytes[2];
    if (!read_exact(file, bytes, 2)) return false;
    *value = load_u16(bytes);
    return true;
}

bool read_u32(FileHandle file, uint32_t* value) {
    uint8_t bytes[4];
    if (!read_exact(file, bytes, 4)) return false;
    *value = load_u32(bytes);
    return true;
}

int read_pools(StreamContext* context, Catalogue* catalogue) {
    FileHandle file = context->archive_file;
    if (!read_u16(file, &catalogue->pool_count)) return kExitIoError;
    uint16_t count = catalogue->pool_count;
    if (count == 0) return 0;
    catalogue->name_pools = static_cast<uint8_t**>(mem_alloc(count * uint32_t(sizeof(uint8_t*))));
    catalogue->pool_sizes = static_cast<uint16_t*>(mem_alloc(count * uint32_t(sizeof(uint16_t))));
    if (catalogue->name_pools == nullptr || catalogue->pool_sizes == nullptr) return kExitNoMemory;
    for (uint16_t i = 0; i < count; ++i) {
        uint16_t size = 0;
        uint16_t coded = 0;
        if (!read_u16(file, &size) || !read_u16(file, &coded)) return kExitIoError;
        // Both sizes are signed 16-bit quantities in the format: a pool of
        // 32768 bytes or more is an allocation the format cannot ask for.
        if (size > kMaxSection) return kExitNoMemory;
        if (coded > kMaxSection) return kExitInvalidArchive;
        // One spare byte so that even an empty pool is a real area.
        uint8_t* area = static_cast<uint8_t*>(mem_alloc(uint32_t(size) + 1));
        if (area == nullptr) return kExitNoMemory;
        catalogue->name_pools[i] = area;
        catalogue->pool_sizes[i] = size;
        stream_reset(context);
        context->coded_left = coded;
        if (stream_to_memory(context, area, size) != kStreamOk) return kExitIoError;
    }
    return 0;
}

int ask_password(StreamContext* context, const char* given) {
    FileHandle file = context->archive_file;
    stream_reset(context);
    uint16_t length = 0;
    if (!read_u16(file, &length)) return kExitIoError;
    // Exactly one frame: a header and a payload that fit coded_buf.
    if (length < 3 || length > kMaxSection) return kExitInvalidArchive;
    uint8_t* coded = context->coded_buf;
    if (!read_exact(file, coded, length)) return kExitIoError;
    const FrameHeader header = parse_frame_header(coded);
    if (header.payload != uint32_t(length) - 2) return kExitInvalidArchive;
    uint16_t n = 0;
    context->status = int16_t(decode_block(context->codec, coded + 2, context->plain_buf,
                                           uint16_t(header.payload), &n, header.substituted));
    if (context->status != 0) return kExitIoError;
    context->plain_buf[n] = 0;
    const char* password = reinterpret_cast<const char*>(context->plain_buf);

    if (given != nullptr) return str_compare_nocase(given, password) == 0 ? 0 : kExitWrongPassword;
    char typed[kPasswordBufferSize];
    for (;;) {
        console_write("Password: ", kEndNone);
        if (read_password(typed) != 0) return kExitNoAnswer;
        if (str_compare_nocase(typed, password) == 0) break;
        console_write("", kEndCrLf);
        console_write("Password fail", kEndCrLf);
    }
    // The typed Enter was not echoed.
    console_write("", kEndCr);
    return 0;
}

uint8_t* dir_slot(Catalogue* catalogue, uint32_t i) { return catalogue->dir_table[i].bytes; }
uint8_t* file_slot(Catalogue* catalogue, uint32_t i) { return catalogue->file_table[i]->bytes; }

// Spreads the decoded bytes of a record table over its records; a record may
// start in one block and end in the next. Plain bytes beyond the last record
// make the archive invalid rather than being written anywhere.
int fill_records(StreamContext* context, Catalogue* catalogue, uint32_t count, uint32_t size,
                 uint8_t* (*slot)(Catalogue*, uint32_t), int short_read_code) {
    uint32_t i = 0;
    uint32_t w = 0;
    while (i < count) {
        uint16_t n = 0;
        int16_t result = next_block(context, &n);
        if (result == kStreamShortRead) return short_read_code;
        if (result != kStreamOk) return kExitInvalidArchive;
        for (context->cursor = 0; context->cursor < n;) {
            if (i == count) return kExitInvalidArchive;
            uint32_t k = n - context->cursor;
            if (k > size - w) k = size - w;
            uint8_t* record = slot(catalogue, i);
            const uint8_t* from = context->plain_buf + context->cursor;
            for (uint32_t j = 0; j < k; ++j) record[w + j] = from[j];
            context->cursor += k;
            w += k;
            if (w == size) {
                ++i;
                w = 0;
            }
        }
    }
    return 0;
}

int read_dirs(StreamContext* context, Catalogue* catalogue) {
    FileHandle file = context->archive_file;
    if (!read_u16(file, &catalogue->dir_count)) return kExitIoError;
    uint16_t count = catalogue->dir_count;
    if (count == 0) return 0;
    uint16_t coded = 0;
    if (!read_u16(file, &coded)) return kExitIoError;
    catalogue->dir_table = static_cast<DirRecord*>(mem_alloc(count * kDirRecordSize));
    if (catalogue->dir_table == nullptr) return kExitNoMemory;
    stream_reset(context);
    context->coded_left = coded;
    // A directory frame that does not decode is a broken archive, as for the
    // file table; a short read is an I/O error, as for the other sections.
    return fill_records(context, catalogue, count, kDirRecordSize, dir_slot, kExitIoError);
}

int read_files(StreamContext* context, Catalogue* catalogue) {
    FileHandle file = context->archive_file;
    uint32_t stored_count = 0;
    if (!read_u32(file, &stored_count)) return kExitIoError;
    uint16_t count = uint16_t(stored_count & 0xFFFF);
    catalogue->file_count = count;
    if (count != 0) {
        catalogue->file_table = static_cast<FileRecord**>(mem_alloc(count * uint32_t(sizeof(FileRecord*))));
        if (catalogue->file_table == nullptr) return kExitNoMemory;
    }
    stream_reset(context);
    uint32_t coded = 0;
    if (!read_u32(file, &coded)) return kExitIoError;
    context->coded_left = int32_t(coded);
    FileRecord* chunk = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        if (i % kRecordsPerChunk == 0) {
            chunk = static_cast<FileRecord*>(mem_alloc(kRecordsPerChunk * kFileRecordSize));
            if (chunk == nullptr) return kExitNoMemory;
        }
        catalogue->file_table[i] = chunk + i % kRecordsPerChunk;
    }
    return fill_records(context, catalogue, count, kFileRecordSize, file_slot, kExitInvalidArchive);
}

// ------------------------------------------------------------------ checks

// Length of the checked name behind `ref`, or -1 when it lies outside the
// pools, runs to the end of its pool without a NUL, or is unsafe.
int32_t checked_name_length(const Catalogue* catalogue, uint32_t ref, const LeadBytes& lead) {
    uint32_t pool = ref >> 16;
    uint32_t offset = ref & 0xFFFF;
    if (pool >= catalogue->pool_count) return -1;
    uint32_t size = catalogue->pool_sizes[pool];
    const uint8_t* text = catalogue->name_pools[pool];
    uint32_t end = offset;
    while (end < size && text[end] != 0) ++end;
    if (end >= size) return -1;
    if (!is_safe_name(text + offset, end - offset, lead)) return -1;
    return int32_t(end - offset);
}

constexpr uint32_t kMaxDepth = (kMaxPath + 1) / 2;  // each level takes at least 2 bytes

// Walks the tree from record 0 in the order the driver's search does, refusing
// a record met twice (a cycle or a shared subtree) and a directory path
// (names each followed by '\') longer than kMaxPath. Records the path length
// of the first directory in walk order for every id in `id_path`.
int walk_tree(const Catalogue* catalogue, const LeadBytes& lead, uint16_t* path_len, uint16_t* id_path) {
    struct Level {
        uint16_t record;
        uint16_t base;  // path length of the parent
    };
    Level stack[kMaxDepth];
    uint32_t depth = 0;
    stack[0] = {0, 0};
    for (;;) {
        const DirRecord& dir = catalogue->dir_table[stack[depth].record];
        if (path_len[stack[depth].record] != 0) return kExitInvalidArchive;
        uint32_t length = stack[depth].base + uint32_t(checked_name_length(catalogue, dir.name(), lead)) + 1;
        if (length > kMaxPath) return kExitInvalidArchive;
        path_len[stack[depth].record] = uint16_t(length);
        uint16_t& first = id_path[uint16_t(dir.id())];
        if (first == 0) first = uint16_t(length);
        if (dir.child() != 0) {
            if (depth + 1 >= kMaxDepth) return kExitInvalidArchive;
            stack[++depth] = {dir.child(), uint16_t(length)};
            continue;
        }
        for (;;) {
            uint16_t next = catalogue->dir_table[stack[depth].record].next();
            if (next != 0) {
                stack[depth].record = next;
                break;
            }
            if (depth == 0) return 0;
            --depth;
        }
    }
}

int check_dirs(const Catalogue* catalogue, const LeadBytes& lead, uint16_t* id_path) {
    uint16_t count = catalogue->dir_count;
    for (uint32_t i = 0; i < count; ++i) {
        const DirRecord& dir = catalogue->dir_table[i];
        if (checked_name_length(catalogue, dir.name(), lead) < 0) return kExitInvalidArchive;
        if (dir.next() >= count || dir.child() >= count) return kExitInvalidArchive;
    }
    uint16_t* path_len = static_cast<uint16_t*>(mem_alloc(count * uint32_t(sizeof(uint16_t))));
    if (path_len == nullptr) return kExitNoMemory;
    int result = walk_tree(catalogue, lead, path_len, id_path);
    mem_free(path_len);
    return result;
}

int check_files(const Catalogue* catalogue, const LeadBytes& lead, const uint16_t* id_path) {
    for (uint32_t i = 0; i < catalogue->file_count; ++i) {
        const FileRecord& file = *catalogue->file_table[i];
        int32_t length = checked_name_length(catalogue, file.name(), lead);
        if (length < 0) return kExitInvalidArchive;
        uint32_t full = uint32_t(length);
        // Without directories the driver gives every file its bare name.
        if (catalogue->dir_count != 0 && file.dir_id() != 0) {
            uint16_t dir_path = id_path[file.dir_id()];
            if (dir_path == 0) return kExitInvalidArchive;
            full += dir_path;
        }
        if (full > kMaxPath) return kExitInvalidArchive;
    }
    return 0;
}

int check_catalogue(const Catalogue* catalogue, const LeadBytes& lead) {
    uint16_t* id_path = nullptr;
    if (catalogue->dir_count != 0) {
        id_path = static_cast<uint16_t*>(mem_alloc(0x10000 * uint32_t(sizeof(uint16_t))));
        if (id_path == nullptr) return kExitNoMemory;
    }
    int result = catalogue->dir_count != 0 ? check_dirs(catalogue, lead, id_path) : 0;
    if (result == 0) result = check_files(catalogue, lead, id_path);
    if (id_path != nullptr) mem_free(id_path);
    return result;
}

}  // namespace

int read_catalogue_with_password(StreamContext* context, Catalogue* catalogue,
                                 int32_t archive_offset, uint16_t* file_count,
                                 const char* password) {
    FileHandle file = context->archive_file;
    uint8_t header[kHeaderSize];
    if (!read_exact(file, header, kHeaderSize)) return kExitIoError;
    uint16_t flags = load_u16(header);
    uint8_t options = header[2];
    if ((flags & kFlagTypeMask) != kFlagTypeBits || header[4] != 'Z' || header[5] != 'Q') {
        return kExitInvalidArchive;
    }
    catalogue->full_path = (flags & kFlagFullPath) != 0 ? 1 : 0;
    catalogue->header_nibble = flags & 0x000F;
    catalogue->code_page_mark = header[3];
    catalogue->dir_tree = (options & kOptionDirTree) != 0 ? 1 : 0;

    int64_t position = int64_t(archive_offset) + int32_t(load_u32(header + 6));
    if (position < 0 || position > 0x7FFFFFFF) return kExitIoError;
    if (file_seek(file, int32_t(position), kSeekSet) != int32_t(position)) return kExitIoError;

    int result = read_pools(context, catalogue);
    if (result == 0 && (flags & kFlagPassword) != 0) result = ask_password(context, password);
    if (result == 0) result = read_dirs(context, catalogue);
    if (result == 0) result = read_files(context, catalogue);
    // Names are checked with the rule of the code that will use them.
    LeadBytes lead = platform_lead_bytes();
    if (result == 0 && catalogue->host_names != nullptr) result = catalogue->host_names(catalogue, &lead);
    if (result == 0) result = check_catalogue(catalogue, lead);
    if (result != 0) return result;
    *file_count = catalogue->file_count;
    return 0;
}

int read_catalogue(StreamContext* context, Catalogue* catalogue, int32_t archive_offset,
                   uint16_t* file_count) {
    return read_catalogue_with_password(context, catalogue, archive_offset, file_count, nullptr);
}

const char* name_text(const Catalogue& catalogue, uint32_t name_ref) {
    uint32_t pool = name_ref >> 16;
    uint32_t offset = name_ref & 0xFFFF;
    if (pool >= catalogue.pool_count || offset >= catalogue.pool_sizes[pool]) return "";
    return reinterpret_cast<const char*>(catalogue.name_pools[pool] + offset);
}

}  // namespace zq
