// The catalogue reader. It loads the name pools, the password block, the
// directory table and the file table, then has check_catalogue
// (catalogue_checks.cpp) check that everything the tables name lies inside
// them and that every stored name is one safe path component, so that nothing
// later can be led outside the target directory or outside a buffer. All of
// it happens before the first file is written.
#include "archive/catalogue.h"

#include "archive/sealed.h"
#include "archive/source.h"
#include "archive/stream_frames.h"

namespace zq {

namespace {

constexpr uint32_t kMaxSection = 0x7FFF;  // largest pool or password frame run

// A little-endian number of `width` bytes (2 or 4).
bool read_number(StreamContext* file, uint32_t width, uint32_t* value) {
    uint8_t bytes[4] = {};
    if (!archive_read(file, bytes, width)) return false;
    *value = load_u32(bytes);
    return true;
}

// Reads one pool through `decoded` (kMaxSection bytes) into an area of its
// own, of the decoded size and a spare NUL so that even an empty pool is a
// real area. A pool that decodes short of its declared size ends in a NUL
// inside its size, so a name running to its end still stops inside the pool.
int read_pool(StreamContext* context, uint8_t* decoded, uint8_t** pool, uint16_t* pool_size) {
    uint32_t size = 0;
    uint32_t coded = 0;
    if (!read_number(context, 2, &size) || !read_number(context, 2, &coded)) return kExitIoError;
    // Both sizes are signed 16-bit quantities in the format: a pool of
    // 32768 bytes or more is an allocation the format cannot ask for.
    if (size > kMaxSection) return kExitNoMemory;
    if (coded > kMaxSection) return kExitInvalidArchive;
    stream_start(context, coded);
    if (stream_to_memory(context, decoded, size) != kStreamOk) return kExitIoError;
    const uint32_t length = uint32_t(context->plain_done);  // at most `size`
    const uint32_t kept = length < size ? length + 1 : size;
    uint8_t* area = static_cast<uint8_t*>(mem_alloc(kept + 1));
    if (area == nullptr) return kExitNoMemory;
    for (uint32_t k = 0; k < length; ++k) area[k] = decoded[k];
    for (uint32_t k = length; k <= kept; ++k) area[k] = 0;
    *pool = area;
    *pool_size = uint16_t(kept);
    return 0;
}

// A count: 16-bit in the narrow form, 32-bit in the wide one.
bool read_count(StreamContext* file, bool wide, uint32_t* count) {
    return read_number(file, wide ? 4 : 2, count);
}

int read_pools(StreamContext* context, Catalogue* catalogue) {
    if (!read_count(context, catalogue->wide(), &catalogue->pool_count)) return kExitIoError;
    const uint32_t count = catalogue->pool_count;
    if (count == 0) return 0;
    // A name reference holds a 16-bit pool index: more pools could never be named.
    if (count > kWideMaxPools) return kExitInvalidArchive;
    catalogue->name_pools = static_cast<uint8_t**>(mem_alloc(count * uint32_t(sizeof(uint8_t*))));
    catalogue->pool_sizes = static_cast<uint16_t*>(mem_alloc(count * uint32_t(sizeof(uint16_t))));
    if (catalogue->name_pools == nullptr || catalogue->pool_sizes == nullptr) return kExitNoMemory;
    // Each pool is decoded here first and then kept at the size it really
    // has: a header's size alone never decides an allocation.
    uint8_t* decoded = static_cast<uint8_t*>(mem_alloc(kMaxSection));
    if (decoded == nullptr) return kExitNoMemory;
    const uint32_t limit = catalogue->wide() ? kWideMaxNameBytes : kMaxNameBytes;
    uint32_t total = 0;
    int result = 0;
    for (uint32_t i = 0; i < count && result == 0; ++i) {
        result = read_pool(context, decoded, &catalogue->name_pools[i], &catalogue->pool_sizes[i]);
        if (result == 0) {
            total += uint32_t(catalogue->pool_sizes[i]) + 1;
            if (total > limit) result = kExitNoMemory;
        }
    }
    mem_free(decoded);
    return result;
}

int ask_password(StreamContext* context, const PasswordDialogue& dialogue) {
    StreamContext* file = context;
    uint32_t length = 0;
    if (!read_number(file, 2, &length)) return kExitIoError;
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

// A growing table's next size in entries: doubled (`first` when empty), at
// most the table's count.
uint32_t grown_capacity(uint32_t capacity, uint32_t first, uint32_t count) {
    const uint32_t grown = capacity == 0 ? first : capacity * 2;
    return grown < count ? grown : count;
}

// A zero-filled block of `bytes` with the `kept` bytes of `table` (when
// there is one) in front, `table` freed; null, `table` left, when memory
// runs out.
void* grown_table(void* table, uint32_t kept, uint32_t bytes) {
    uint8_t* to = static_cast<uint8_t*>(mem_alloc(bytes));
    if (to == nullptr) return nullptr;
    if (table != nullptr) {
        const uint8_t* from = static_cast<const uint8_t*>(table);
        for (uint32_t k = 0; k < kept; ++k) to[k] = from[k];
        mem_free(table);
    }
    return to;
}

// Record i's place in the folder table, which grows (doubling, zero-filled)
// as records arrive: its memory follows what the frames decoded, never the
// count alone. Null when memory runs out.
struct DirSlots {
    uint32_t capacity;
    uint8_t* operator()(Catalogue* catalogue, uint32_t i) {
        if (i >= capacity) {
            const uint32_t grown = grown_capacity(capacity, 64, catalogue->dir_count);
            constexpr uint32_t kBytes = sizeof(DirRecord);
            void* table = grown_table(catalogue->dir_table, capacity * kBytes, grown * kBytes);
            if (table == nullptr) return nullptr;
            catalogue->dir_table = static_cast<DirRecord*>(table);
            capacity = grown;
        }
        return catalogue->dir_table[i].bytes;
    }
};

// The same for the file table: its pointers grow by doubling, its records
// come in chunks of kRecordsPerChunk as the first of each arrives. Records
// arrive in order, each after the one before, so a chunk's first record is
// the first of it asked for.
struct FileSlots {
    uint32_t capacity;
    FileRecord* chunk;
    uint8_t* operator()(Catalogue* catalogue, uint32_t i) {
        if (i >= capacity) {
            const uint32_t grown =
                grown_capacity(capacity, kRecordsPerChunk, catalogue->file_count);
            constexpr uint32_t kBytes = sizeof(FileRecord*);
            void* table = grown_table(catalogue->file_table, capacity * kBytes, grown * kBytes);
            if (table == nullptr) return nullptr;
            catalogue->file_table = static_cast<FileRecord**>(table);
            catalogue->file_slots = grown;
            capacity = grown;
        }
        if (catalogue->file_table[i] == nullptr) {
            if (i % kRecordsPerChunk == 0) {
                chunk = static_cast<FileRecord*>(
                    mem_alloc(kRecordsPerChunk * uint32_t(sizeof(FileRecord))));
                if (chunk == nullptr) return nullptr;
            }
            catalogue->file_table[i] = chunk + i % kRecordsPerChunk;
        }
        return catalogue->file_table[i]->bytes;
    }
};

// Where only the narrow form is read, each table (at most 65535 records) is
// taken whole once its count is known, as a frame's records fill it.
struct WholeDirTable {
    uint8_t* operator()(Catalogue* catalogue, uint32_t i) { return catalogue->dir_table[i].bytes; }
};
struct WholeFileTable {
    uint8_t* operator()(Catalogue* catalogue, uint32_t i) {
        return catalogue->file_table[i]->bytes;
    }
};

bool take_dir_table(Catalogue* catalogue, uint32_t count) {
    catalogue->dir_table = static_cast<DirRecord*>(mem_alloc(count * uint32_t(sizeof(DirRecord))));
    return catalogue->dir_table != nullptr;
}

bool take_file_table(Catalogue* catalogue, uint32_t count) {
    if (count == 0) return true;
    catalogue->file_table =
        static_cast<FileRecord**>(mem_alloc(count * uint32_t(sizeof(FileRecord*))));
    if (catalogue->file_table == nullptr) return false;
    catalogue->file_slots = count;
    FileRecord* chunk = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        if (i % kRecordsPerChunk == 0) {
            chunk = static_cast<FileRecord*>(
                mem_alloc(kRecordsPerChunk * uint32_t(sizeof(FileRecord))));
            if (chunk == nullptr) return false;
        }
        catalogue->file_table[i] = chunk + i % kRecordsPerChunk;
    }
    return true;
}

// Record i's place through the table's slots (one of the structs above).
using SlotOf = uint8_t* (*)(void* slots, Catalogue* catalogue, uint32_t i);
template <typename Slots>
uint8_t* slot_of(void* slots, Catalogue* catalogue, uint32_t i) {
    return (*static_cast<Slots*>(slots))(catalogue, i);
}

// Spreads the decoded bytes of a record table over its records (of `size`
// stored bytes); a record may start in one block and end in the next. Plain
// bytes beyond the last record make the archive invalid rather than being
// written anywhere. One copy for both tables, their slots reached through a
// pointer: a copy of the loop for each costs more than the indirect calls.
[[gnu::noinline]] int fill_records(StreamContext* context, Catalogue* catalogue, uint32_t count,
                                   uint32_t size, SlotOf slot_fn, void* slots,
                                   int short_read_code) {
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
            uint8_t* record = slot_fn(slots, catalogue, i);
            if (record == nullptr) return kExitNoMemory;
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

// A table's coded size: 16 or 32 bits in the narrow form, 64 in the wide one.
bool read_table_size(StreamContext* file, bool wide, bool narrow32, FileOffset* size) {
    uint8_t bytes[8] = {};
    if (!archive_read(file, bytes, wide ? 8 : narrow32 ? 4 : 2)) return false;
    if (wide) {
        const uint64_t value = load_u64(bytes);
        // Beyond any file: the stream reads short, as it would at the file's end.
        *size = value > uint64_t(kMaxFileOffset) ? kMaxFileOffset : FileOffset(value);
        return true;
    }
    // The narrow file table's size is signed.
    const uint32_t value = load_u32(bytes);
    *size = narrow32 ? FileOffset(int32_t(value)) : FileOffset(value);
    return true;
}

int read_dirs(StreamContext* context, Catalogue* catalogue) {
    StreamContext* file = context;
    const bool wide = catalogue->wide();
    if (!read_count(file, wide, &catalogue->dir_count)) return kExitIoError;
    const uint32_t count = catalogue->dir_count;
    if (count > kWideMaxEntries) return kExitNoMemory;
    // The narrow form leaves the size out for no folders; the wide one has it.
    if (count == 0 && !wide) return 0;
    FileOffset coded = 0;
    if (!read_table_size(file, wide, false, &coded)) return kExitIoError;
    if (count == 0) return 0;
    stream_start(context, coded);
    // A directory frame that does not decode is a broken archive, as for the
    // file table; a short read is an I/O error, as for the other sections.
    if (!platform_reads_wide()) {
        WholeDirTable whole;
        if (!take_dir_table(catalogue, count)) return kExitNoMemory;
        return fill_records(context, catalogue, count, kDirRecordSize, slot_of<WholeDirTable>,
                            &whole, kExitIoError);
    }
    DirSlots slots{0};
    return fill_records(context, catalogue, count, wide ? kWideDirRecordSize : kDirRecordSize,
                        slot_of<DirSlots>, &slots, kExitIoError);
}

int read_files(StreamContext* context, Catalogue* catalogue) {
    StreamContext* file = context;
    const bool wide = catalogue->wide();
    uint32_t stored_count = 0;
    if (!read_number(file, 4, &stored_count)) return kExitIoError;
    // Narrow: only the low 16 bits count.
    const uint32_t count = wide ? stored_count : stored_count & 0xFFFF;
    if (count > kWideMaxEntries) return kExitNoMemory;
    catalogue->file_count = count;
    FileOffset coded = 0;
    if (!read_table_size(file, wide, true, &coded)) return kExitIoError;
    stream_start(context, coded);
    if (!platform_reads_wide()) {
        WholeFileTable whole;
        if (!take_file_table(catalogue, count)) return kExitNoMemory;
        return fill_records(context, catalogue, count, kFileRecordSize, slot_of<WholeFileTable>,
                            &whole, kExitInvalidArchive);
    }
    FileSlots slots{0, nullptr};
    return fill_records(context, catalogue, count, wide ? kWideFileRecordSize : kFileRecordSize,
                        slot_of<FileSlots>, &slots, kExitInvalidArchive);
}

}  // namespace

FileOffset catalogue_offset(const ArchiveSpot& spot, const uint8_t* header) {
    // Narrow: signed 32-bit.
    return spot.wide() ? spot.catalogue_offset : FileOffset(int32_t(load_u32(header + 6)));
}

PasswordDialogue given_password_dialogue(GivenPassword* given) {
    given->offered = false;
    return PasswordDialogue{offer_given_password, note_answer, given};
}

// Out of line although the stub calls it once: inlined into that caller, a
// long function already, it compiles about 430 bytes larger for 32 bits.
[[gnu::noinline]] int read_catalogue(StreamContext* context, Catalogue* catalogue,
                                     const ArchiveSpot& spot, uint32_t* file_count,
                                     const PasswordDialogue& dialogue) {
    // An encrypted archive is read through its view from here on, as a
    // plain one; its own catalogue then says whether there is a gate too.
    // A program without the decryption reads the envelope's magic as a
    // header that is not one. Encrypted archives are narrow: the envelope
    // holds a narrow archive.
    if (kReadsSealed && !spot.wide() && context->sealed == nullptr &&
        archive_is_sealed(context->archive_file, spot.archive_offset)) {
        const int unlocked = sealed_unlock(context, spot.archive_offset, dialogue);
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
    // The header and the container agree on the form, or the archive is not
    // what either says.
    catalogue->wide_form = spot.wide();
    if (((flags & kFlagWide) != 0) != spot.wide()) return kExitInvalidArchive;
    if (spot.wide() && load_u32(header + 6) != kWideMark) return kExitInvalidArchive;

    // The catalogue's offset is signed; the sum must land in a seek's reach,
    // and a narrow archive's within the first 2 GiB of its file. The
    // archive's offset lies in [0, kMaxFileOffset] (read_trailer), so the
    // sum taken modulo the width of a FileSize is at most kMaxFileOffset
    // exactly when the true sum lies in that range: a negative sum comes out
    // above it, and no sum of two such values reaches the modulus. (Through
    // an overflow check the sum is a pair of values that 32-bit code keeps
    // in an 8-byte aligned slot, and the whole function realigns its stack.)
    const FileOffset offset = catalogue_offset(spot, header);
    const FileSize sum = FileSize(spot.archive_offset) + FileSize(offset);
    if (sum > FileSize(kMaxFileOffset) || (!spot.wide() && sum > kNarrowMaxEnd)) {
        return kExitIoError;
    }
    const FileOffset position = FileOffset(sum);
    // A catalogue in front of the archive has no supplement in front of it:
    // offset 0 makes read_tree_supplement refuse one.
    catalogue->catalogue_offset = offset < 0 ? 0 : FileSize(offset);
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
