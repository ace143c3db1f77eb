// The catalogue reader. It loads the name pools, the password block, the
// directory table and the file table, then checks that everything the tables
// name lies inside them and that every stored name is one safe path
// component, so that nothing later can be led outside the target directory or
// outside a buffer. All of it happens before the first file is written.
#include "archive/catalogue.h"

#include "archive/dir_index.h"
#include "archive/names.h"
#include "archive/sealed.h"
#include "archive/source.h"
#include "archive/stream_frames.h"

namespace zq {

namespace {

constexpr uint32_t kMaxSection = 0x7FFF;  // largest pool or password frame run

bool read_u16(StreamContext* file, uint16_t* value) {
    uint8_t bytes[2];
    if (!archive_read(file, bytes, 2)) return false;
    *value = load_u16(bytes);
    return true;
}

bool read_u32(StreamContext* file, uint32_t* value) {
    uint8_t bytes[4];
    if (!archive_read(file, bytes, 4)) return false;
    *value = load_u32(bytes);
    return true;
}

// Reads one pool through `decoded` (kMaxSection bytes) into an area of its
// own, of the decoded size and a spare NUL so that even an empty pool is a
// real area. A pool that decodes short of its declared size ends in a NUL
// inside its size, so a name running to its end still stops inside the pool.
int read_pool(StreamContext* context, uint8_t* decoded, uint8_t** pool, uint16_t* pool_size) {
    uint16_t size = 0;
    uint16_t coded = 0;
    if (!read_u16(context, &size) || !read_u16(context, &coded)) return kExitIoError;
    // Both sizes are signed 16-bit quantities in the format: a pool of
    // 32768 bytes or more is an allocation the format cannot ask for.
    if (size > kMaxSection) return kExitNoMemory;
    if (coded > kMaxSection) return kExitInvalidArchive;
    stream_start(context, coded);
    if (stream_to_memory(context, decoded, size) != kStreamOk) return kExitIoError;
    const uint32_t length = context->plain_done;  // at most `size`
    const uint32_t kept = length < size ? length + 1 : size;
    uint8_t* area = static_cast<uint8_t*>(mem_alloc(kept + 1));
    if (area == nullptr) return kExitNoMemory;
    for (uint32_t k = 0; k < length; ++k) area[k] = decoded[k];
    for (uint32_t k = length; k <= kept; ++k) area[k] = 0;
    *pool = area;
    *pool_size = uint16_t(kept);
    return 0;
}

int read_pools(StreamContext* context, Catalogue* catalogue) {
    StreamContext* file = context;
    if (!read_u16(file, &catalogue->pool_count)) return kExitIoError;
    uint16_t count = catalogue->pool_count;
    if (count == 0) return 0;
    catalogue->name_pools = static_cast<uint8_t**>(mem_alloc(count * uint32_t(sizeof(uint8_t*))));
    catalogue->pool_sizes = static_cast<uint16_t*>(mem_alloc(count * uint32_t(sizeof(uint16_t))));
    if (catalogue->name_pools == nullptr || catalogue->pool_sizes == nullptr) return kExitNoMemory;
    // Each pool is decoded here first and then kept at the size it really
    // has: a header's size alone never decides an allocation.
    uint8_t* decoded = static_cast<uint8_t*>(mem_alloc(kMaxSection));
    if (decoded == nullptr) return kExitNoMemory;
    uint32_t total = 0;
    int result = 0;
    for (uint16_t i = 0; i < count && result == 0; ++i) {
        result = read_pool(context, decoded, &catalogue->name_pools[i], &catalogue->pool_sizes[i]);
        if (result == 0) {
            total += uint32_t(catalogue->pool_sizes[i]) + 1;
            if (total > kMaxNameBytes) result = kExitNoMemory;
        }
    }
    mem_free(decoded);
    return result;
}

int ask_password(StreamContext* context, const PasswordDialogue& dialogue) {
    StreamContext* file = context;
    uint16_t length = 0;
    if (!read_u16(file, &length)) return kExitIoError;
    // Exactly one frame: a header and a payload that fit coded_buf.
    if (length < 3 || length > kMaxSection) return kExitInvalidArchive;
    uint8_t* coded = context->coded_buf;
    if (!archive_read(file, coded, length)) return kExitIoError;
    stream_start(context, length);
    const FrameHeader header = parse_frame_header(coded);
    if (header.payload != uint32_t(length) - 2) return kExitInvalidArchive;
    uint16_t n = 0;
    context->status = int16_t(decode_block(context->codec, coded + 2, context->plain_buf,
                                           uint16_t(header.payload), &n, header.substituted));
    if (context->status != kCodecOk) return kExitIoError;
    context->plain_buf[n] = 0;
    const char* password = reinterpret_cast<const char*>(context->plain_buf);

    char typed[kPasswordSize];
    for (;;) {
        typed[0] = 0;
        const int asked = dialogue.ask(dialogue.user, typed);
        if (asked != 0) return asked;
        typed[kPasswordSize - 1] = 0;
        const bool accepted = str_compare_nocase(typed, password) == 0;
        dialogue.answer(dialogue.user, accepted);
        if (accepted) return 0;
    }
}

int offer_given_password(void* user, char* typed) {
    GivenPassword* given = static_cast<GivenPassword*>(user);
    if (given->offered || given->text == nullptr) return kExitPasswordFail;
    given->offered = true;
    uint32_t i = 0;
    for (; given->text[i] != 0; ++i) {
        // Longer than any typed password: it cannot be the right one.
        if (i + 1 == kPasswordSize) return kExitPasswordFail;
        typed[i] = given->text[i];
    }
    typed[i] = 0;
    return 0;
}

// A right password may be asked for again by the next lock: the gate of
// the archive inside an encrypted one.
void note_answer(void* user, bool accepted) {
    if (accepted) static_cast<GivenPassword*>(user)->offered = false;
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
    StreamContext* file = context;
    if (!read_u16(file, &catalogue->dir_count)) return kExitIoError;
    uint16_t count = catalogue->dir_count;
    if (count == 0) return 0;
    uint16_t coded = 0;
    if (!read_u16(file, &coded)) return kExitIoError;
    catalogue->dir_table = static_cast<DirRecord*>(mem_alloc(count * kDirRecordSize));
    if (catalogue->dir_table == nullptr) return kExitNoMemory;
    stream_start(context, coded);
    // A directory frame that does not decode is a broken archive, as for the
    // file table; a short read is an I/O error, as for the other sections.
    return fill_records(context, catalogue, count, kDirRecordSize, dir_slot, kExitIoError);
}

int read_files(StreamContext* context, Catalogue* catalogue) {
    StreamContext* file = context;
    uint32_t stored_count = 0;
    if (!read_u32(file, &stored_count)) return kExitIoError;
    uint16_t count = uint16_t(stored_count & 0xFFFF);
    catalogue->file_count = count;
    if (count != 0) {
        catalogue->file_table =
            static_cast<FileRecord**>(mem_alloc(count * uint32_t(sizeof(FileRecord*))));
        if (catalogue->file_table == nullptr) return kExitNoMemory;
    }
    uint32_t coded = 0;
    if (!read_u32(file, &coded)) return kExitIoError;
    stream_start(context, int32_t(coded));
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

// Walks the tree in the order the driver's lookups see it, refusing a record
// met twice (a cycle or a shared subtree) and a folder path (names each
// followed by '\') longer than kMaxPath, and builds the catalogue's folder
// index. `path_len` (dir_count entries, zero) receives each record's path
// length.
int index_dirs(Catalogue* catalogue, const LeadBytes& lead, uint16_t* path_len) {
    return walk_dirs(*catalogue, [&](uint16_t record, uint16_t parent) {
        if (path_len[record] != 0) return kExitInvalidArchive;
        const DirRecord& dir = catalogue->dir_table[record];
        const uint32_t base = parent == 0 ? 0 : path_len[parent - 1];
        const uint32_t length =
            base + uint32_t(checked_name_length(catalogue, dir.name(), lead)) + 1;
        if (length > kMaxPath) return kExitInvalidArchive;
        path_len[record] = uint16_t(length);
        catalogue->dir_parent[record] = parent;
        uint16_t& first = catalogue->dir_by_id[uint16_t(dir.id())];
        if (first == 0) first = uint16_t(record + 1);
        return 0;
    });
}

int check_dirs(Catalogue* catalogue, const LeadBytes& lead, uint16_t* path_len) {
    const uint16_t count = catalogue->dir_count;
    for (uint32_t i = 0; i < count; ++i) {
        const DirRecord& dir = catalogue->dir_table[i];
        if (checked_name_length(catalogue, dir.name(), lead) < 0) return kExitInvalidArchive;
        if (dir.next() >= count || dir.child() >= count) return kExitInvalidArchive;
    }
    catalogue->dir_parent = static_cast<uint16_t*>(mem_alloc(count * uint32_t(sizeof(uint16_t))));
    catalogue->dir_by_id = static_cast<uint16_t*>(mem_alloc(0x10000 * uint32_t(sizeof(uint16_t))));
    if (catalogue->dir_parent == nullptr || catalogue->dir_by_id == nullptr) return kExitNoMemory;
    return index_dirs(catalogue, lead, path_len);
}

int check_files(const Catalogue* catalogue, const LeadBytes& lead, const uint16_t* path_len) {
    for (uint32_t i = 0; i < catalogue->file_count; ++i) {
        const FileRecord& file = *catalogue->file_table[i];
        int32_t length = checked_name_length(catalogue, file.name(), lead);
        if (length < 0) return kExitInvalidArchive;
        uint32_t full = uint32_t(length);
        // Without folders the driver gives every file its bare name.
        if (catalogue->dir_count != 0 && file.dir_id() != 0) {
            const uint16_t folder = catalogue->dir_by_id[file.dir_id()];
            if (folder == 0) return kExitInvalidArchive;
            full += path_len[folder - 1];
        }
        if (full > kMaxPath) return kExitInvalidArchive;
    }
    return 0;
}

}  // namespace

PasswordDialogue given_password_dialogue(GivenPassword* given) {
    given->offered = false;
    return PasswordDialogue{offer_given_password, note_answer, given};
}

// Out of line although the stub calls it once: inlined into that caller, a
// long function already, it compiles about 430 bytes larger for 32 bits.
[[gnu::noinline]] int read_catalogue(StreamContext* context, Catalogue* catalogue,
                                     int32_t archive_offset, uint16_t* file_count,
                                     const PasswordDialogue& dialogue) {
    // An encrypted archive is read through its view from here on, as a
    // plain one; its own catalogue then says whether there is a gate too.
    // A program without the decryption reads the envelope's magic as a
    // header that is not one.
    if (kReadsSealed && context->sealed == nullptr &&
        archive_is_sealed(context->archive_file, archive_offset)) {
        const int unlocked = sealed_unlock(context, archive_offset, dialogue);
        if (unlocked != 0) return unlocked;
    }
    StreamContext* file = context;
    uint8_t header[kHeaderSize];
    if (!archive_read(file, header, kHeaderSize)) return kExitIoError;
    uint16_t flags = load_u16(header);
    uint8_t options = header[2];
    if ((flags & kFlagTypeMask) != kFlagTypeBits || header[4] != 'Z' || header[5] != 'Q') {
        return kExitInvalidArchive;
    }
    catalogue->full_path = (flags & kFlagFullPath) != 0 ? 1 : 0;
    catalogue->header_nibble = flags & 0x000F;
    catalogue->code_page_mark = header[3];
    catalogue->dir_tree = (options & kOptionDirTree) != 0 ? 1 : 0;
    catalogue->check_first = (options & kOptionCheckFirst) != 0 ? 1 : 0;
    catalogue->temp_folder = (options & kOptionTempFolder) != 0 ? 1 : 0;
    catalogue->tree_supplement = (flags & kFlagTreeSupplement) != 0 ? 1 : 0;
    catalogue->catalogue_offset = load_u32(header + 6);

    // The catalogue's offset is signed; the sum must land in a seek's reach.
    int32_t position = 0;
    if (__builtin_add_overflow(archive_offset, int32_t(load_u32(header + 6)), &position) ||
        position < 0) {
        return kExitIoError;
    }
    if (!archive_seek(file, position)) return kExitIoError;

    int result = read_pools(context, catalogue);
    if (result == 0 && (flags & kFlagPassword) != 0) result = ask_password(context, dialogue);
    if (result == 0) result = read_dirs(context, catalogue);
    if (result == 0) result = read_files(context, catalogue);
    // Names are checked with the rule of the code that will use them.
    LeadBytes lead = platform_lead_bytes();
    if (result == 0 && catalogue->host_names != nullptr)
        result = catalogue->host_names(catalogue, &lead);
    if (result == 0) result = check_catalogue(catalogue, lead);
    if (result != 0) return result;
    *file_count = catalogue->file_count;
    return 0;
}

int check_catalogue(Catalogue* catalogue, const LeadBytes& lead) {
    uint16_t* path_len = nullptr;
    if (catalogue->dir_count != 0) {
        path_len =
            static_cast<uint16_t*>(mem_alloc(catalogue->dir_count * uint32_t(sizeof(uint16_t))));
        if (path_len == nullptr) return kExitNoMemory;
    }
    int result = catalogue->dir_count != 0 ? check_dirs(catalogue, lead, path_len) : 0;
    if (result == 0) result = check_files(catalogue, lead, path_len);
    if (path_len != nullptr) mem_free(path_len);
    return result;
}

const char* run_arguments(const Catalogue& catalogue, uint32_t name_ref) {
    const uint32_t pool = name_ref >> 16;
    if (pool >= catalogue.pool_count) return nullptr;
    const uint32_t size = catalogue.pool_sizes[pool];
    const uint8_t* text = catalogue.name_pools[pool];
    uint32_t at = name_ref & 0xFFFF;
    while (at < size && text[at] != 0) ++at;  // the name
    const uint32_t start = at + 1;
    for (at = start; at < size && text[at] != 0; ++at) {}
    if (at >= size) return nullptr;
    return reinterpret_cast<const char*>(text + start);
}

const char* name_text(const Catalogue& catalogue, uint32_t name_ref) {
    uint32_t pool = name_ref >> 16;
    uint32_t offset = name_ref & 0xFFFF;
    if (pool >= catalogue.pool_count || offset >= catalogue.pool_sizes[pool]) return "";
    return reinterpret_cast<const char*>(catalogue.name_pools[pool] + offset);
}

}  // namespace zq
