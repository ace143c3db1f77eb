// Image level of the archive writer: lays out exactly what it is given.
#include "writer/writer.h"

#include "codec/crc32.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace zq {

namespace {

void* heap_allocate(uint32_t bytes) { return std::calloc(bytes, 1); }
void heap_release(void* block) { std::free(block); }

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

template <typename Entry>
Bytes plain_records(const std::vector<Entry>& entries, bool wide) {
    Bytes plain;
    for (const Entry& entry : entries) {
        if constexpr (std::is_same_v<Entry, DirEntry>) {
            append(plain, dir_record_bytes(entry, wide));
        } else {
            append(plain, file_record_bytes(entry, wide));
        }
    }
    return plain;
}

uint16_t narrow16(size_t value, const char* what, size_t limit = 0xFFFF) {
    if (value > limit) throw NarrowLimit(std::string("archive too large: ") + what);
    return uint16_t(value);
}

// Narrow records keep the low bits; a value they would lose needs the wide form.
void refuse_narrow(const DirEntry& dir) {
    if (dir.id > 0xFFFF || dir.next > 0xFFFF || dir.child > 0xFFFF)
        throw NarrowLimit("archive too large: folder numbers");
}

void refuse_narrow(const FileEntry& file) {
    if (file.dir_id > 0xFFFF || file.original_size > kNarrowMaxFileSize ||
        file.stored_size > kNarrowMaxFileSize || file.data_offset > kNarrowMaxFileSize) {
        throw NarrowLimit("archive too large: file sizes or offsets");
    }
}

// The pools and the password block, which both forms share but for the
// pool count's width.
void put_names(CodecState& codec, const ArchiveImage& image, Bytes& out) {
    if (image.wide) {
        if (image.pools.size() > 0x10000) throw std::runtime_error("too many name pools");
        put_u32(out, uint32_t(image.pools.size()));
    } else {
        put_u16(out, narrow16(image.pools.size(), "too many name pools"));
    }
    for (const Bytes& pool : image.pools) {
        Bytes frames = code_frames(codec, pool, image.frame_plain);
        put_u16(out, uint16_t(pool.size()));
        put_u16(out, uint16_t(frames.size()));
        if (pool.size() > 0xFFFF || frames.size() > 0xFFFF)
            throw std::runtime_error("archive too large: name pool");
        append(out, frames);
    }
    if (image.password) {
        // One frame, whatever its size.
        Bytes frame = code_frames(codec, *image.password, kBlockSize);
        put_u16(out, narrow16(frame.size(), "password"));
        append(out, frame);
    }
}

}  // namespace

OwnedCodec::OwnedCodec() {
    if (codec_init(state_, CodecAllocator{heap_allocate, heap_release}) != kCodecOk)
        throw std::bad_alloc();
}

OwnedCodec::~OwnedCodec() { codec_free(state_); }

void put_u16(Bytes& out, uint16_t value) {
    out.push_back(uint8_t(value));
    out.push_back(uint8_t(value >> 8));
}

void put_u32(Bytes& out, uint32_t value) {
    put_u16(out, uint16_t(value));
    put_u16(out, uint16_t(value >> 16));
}

void put_u64(Bytes& out, uint64_t value) {
    put_u32(out, uint32_t(value));
    put_u32(out, uint32_t(value >> 32));
}

Bytes dir_record_bytes(const DirEntry& dir, bool wide) {
    Bytes out;
    put_u16(out, uint16_t(dir.id));
    put_u32(out, dir.name);
    put_u16(out, uint16_t(dir.next));
    put_u16(out, uint16_t(dir.child));
    if (wide) {
        put_u16(out, uint16_t(dir.id >> 16));
        put_u16(out, uint16_t(dir.next >> 16));
        put_u16(out, uint16_t(dir.child >> 16));
    }
    return out;
}

Bytes file_record_bytes(const FileEntry& file, bool wide) {
    Bytes out;
    put_u16(out, file.attributes);
    put_u16(out, uint16_t(file.dir_id));
    put_u32(out, uint32_t(file.access_time));
    put_u32(out, uint32_t(file.write_time));
    put_u32(out, uint32_t(file.create_time));
    put_u32(out, uint32_t(file.original_size));
    put_u32(out, uint32_t(file.stored_size));
    put_u32(out, uint32_t(file.data_offset));
    put_u32(out, file.name);
    put_u16(out, file.method);
    put_u32(out, file.crc32);
    put_u16(out, file.ext_word);
    if (wide) {
        put_u32(out, uint32_t(file.original_size >> 32));
        put_u32(out, uint32_t(file.stored_size >> 32));
        put_u32(out, uint32_t(file.data_offset >> 32));
        put_u16(out, uint16_t(file.dir_id >> 16));
        put_u16(out, 0);
    }
    return out;
}

Bytes code_frames(CodecState& codec, const uint8_t* plain, size_t size, uint32_t frame_plain,
                  bool* substituted_only) {
    if (frame_plain == 0 || frame_plain > kBlockSize)
        throw std::invalid_argument("frame size out of range");
    Bytes out;
    bool all_substituted = true;
    uint8_t frame[kFrameCapacity];
    for (size_t at = 0; at < size; at += frame_plain) {
        uint32_t count = uint32_t(std::min<size_t>(frame_plain, size - at));
        uint32_t length = 0;
        if (encode_block(codec, plain + at, frame, count, &length) != kCodecOk) {
            throw std::runtime_error("block encoder refused a block");
        }
        if (parse_frame_header(frame).substituted == 0) all_substituted = false;
        out.insert(out.end(), frame, frame + length);
    }
    if (substituted_only != nullptr) *substituted_only = all_substituted;
    return out;
}

FileEntry& add_file_data(ArchiveImage& image, CodecState& codec, FileEntry entry,
                         const Bytes& plain, bool coded, uint32_t frame_plain) {
    const Bytes stored = coded ? code_frames(codec, plain, frame_plain) : plain;
    entry.original_size = plain.size();
    entry.stored_size = stored.size();
    entry.method = coded ? kMethodCoded : kMethodRaw;
    entry.data_offset = kHeaderSize + image.data.size();
    append(image.data, stored);
    image.files.push_back(entry);
    return image.files.back();
}

Bytes header_bytes(uint16_t flags, uint8_t options, uint64_t catalogue_offset,
                   uint8_t code_page_mark, bool wide) {
    if (!wide && catalogue_offset > kNarrowMaxEnd) throw NarrowLimit("archive too large");
    Bytes out;
    put_u16(out, uint16_t(wide ? flags | kFlagWide : flags));
    out.push_back(options);
    out.push_back(code_page_mark);
    out.push_back('Z');
    out.push_back('Q');
    put_u32(out, wide ? kWideMark : uint32_t(catalogue_offset));
    return out;
}

Bytes container_tail(uint64_t archive_start, uint64_t catalogue_offset, bool wide) {
    Bytes out;
    if (!wide) {
        if (archive_start > kNarrowMaxEnd) throw NarrowLimit("archive too large");
        put_u32(out, uint32_t(archive_start));
        return out;
    }
    out.assign(kLocatorMagic, kLocatorMagic + 4);
    put_u64(out, archive_start);
    put_u64(out, catalogue_offset);
    put_u32(out, crc32_of(out.data(), out.size()));
    put_u32(out, kWideMark);
    return out;
}

Bytes catalogue_bytes(CodecState& codec, const ArchiveImage& image) {
    const bool wide = image.wide;
    Bytes out;
    put_names(codec, image, out);
    if (!wide) {
        if (image.dirs.size() > kNarrowMaxDirs || image.files.size() > kNarrowMaxFiles)
            throw NarrowLimit("archive too large: too many files or folders");
        for (const DirEntry& dir : image.dirs) refuse_narrow(dir);
        for (const FileEntry& file : image.files) refuse_narrow(file);
    }
    if (wide) {
        put_u32(out, uint32_t(image.dirs.size()));
    } else {
        put_u16(out, uint16_t(image.dirs.size()));
    }
    if (wide || !image.dirs.empty()) {
        Bytes frames = code_frames(codec, plain_records(image.dirs, wide), image.frame_plain);
        if (wide) {
            put_u64(out, frames.size());
        } else {
            put_u16(out, narrow16(frames.size(), "directory table", kNarrowMaxDirTable));
        }
        append(out, frames);
    }
    Bytes frames = code_frames(codec, plain_records(image.files, wide), image.frame_plain);
    put_u32(out, uint32_t(image.files.size()));
    if (wide) {
        put_u64(out, frames.size());
    } else {
        if (frames.size() > kNarrowMaxEnd) throw NarrowLimit("archive too large: file table");
        put_u32(out, uint32_t(frames.size()));
    }
    append(out, frames);
    return out;
}

Bytes archive_bytes(CodecState& codec, const ArchiveImage& image) {
    const uint64_t catalogue_offset = kHeaderSize + image.data.size();
    Bytes out = header_bytes(image.flags, image.options, catalogue_offset, 0, image.wide);
    append(out, image.data);
    append(out, catalogue_bytes(codec, image));
    return out;
}

Bytes self_extractor_bytes(const Bytes& stub, const Bytes& archive, bool wide,
                           uint64_t catalogue_offset) {
    Bytes out = stub;
    append(out, archive);
    append(out, container_tail(stub.size(), catalogue_offset, wide));
    return out;
}

// A name reference holds a 16-bit pool index.
void NamePools::new_pool_for(size_t length) {
    if (!pools_.empty() && pools_.back().size() + length + 1 <= kPoolLimit) return;
    if (pools_.size() == 0x10000) throw std::runtime_error("too many names for one archive");
    pools_.emplace_back();
}

uint32_t NamePools::add_with_arguments(const std::string& name, const std::string& arguments) {
    const std::string both = name + std::string(1, '\0') + arguments;
    if (both.size() + 1 > kPoolLimit || arguments.find('\0') != std::string::npos) {
        throw std::runtime_error("name and arguments too long or not text: " + name);
    }
    new_pool_for(both.size());
    Bytes& pool = pools_.back();
    const uint32_t ref = make_name_ref(uint16_t(pools_.size() - 1), uint16_t(pool.size()));
    pool.insert(pool.end(), both.begin(), both.end());
    pool.push_back(0);
    return ref;
}

uint32_t NamePools::add(const std::string& name) {
    auto found = index_.find(name);
    if (found != index_.end()) return found->second;
    if (name.size() + 1 > kPoolLimit) throw std::runtime_error("name too long: " + name);
    new_pool_for(name.size());
    Bytes& pool = pools_.back();
    uint32_t ref = make_name_ref(uint16_t(pools_.size() - 1), uint16_t(pool.size()));
    pool.insert(pool.end(), name.begin(), name.end());
    pool.push_back(0);
    index_.emplace(name, ref);
    return ref;
}

}  // namespace zq
