// Image level of the archive writer: lays out exactly what it is given.
#include "writer/writer.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace zq {

namespace {

void* heap_allocate(uint32_t bytes) { return std::calloc(bytes, 1); }
void heap_release(void* block) { std::free(block); }

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

Bytes plain_records(const std::vector<DirEntry>& dirs) {
    Bytes plain;
    for (const DirEntry& dir : dirs) append(plain, dir_record_bytes(dir));
    return plain;
}

Bytes plain_records(const std::vector<FileEntry>& files) {
    Bytes plain;
    for (const FileEntry& file : files) append(plain, file_record_bytes(file));
    return plain;
}

uint16_t narrow16(size_t value, const char* what) {
    if (value > 0xFFFF) throw std::runtime_error(std::string("archive too large: ") + what);
    return uint16_t(value);
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

Bytes dir_record_bytes(const DirEntry& dir) {
    Bytes out;
    put_u16(out, uint16_t(dir.id));
    put_u32(out, dir.name);
    put_u16(out, dir.next);
    put_u16(out, dir.child);
    return out;
}

Bytes file_record_bytes(const FileEntry& file) {
    Bytes out;
    put_u16(out, file.attributes);
    put_u16(out, file.dir_id);
    put_u32(out, uint32_t(file.access_time));
    put_u32(out, uint32_t(file.write_time));
    put_u32(out, uint32_t(file.create_time));
    put_u32(out, file.original_size);
    put_u32(out, file.stored_size);
    put_u32(out, file.data_offset);
    put_u32(out, file.name);
    put_u16(out, file.method);
    put_u32(out, file.crc32);
    put_u16(out, file.ext_word);
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
    entry.original_size = uint32_t(plain.size());
    entry.stored_size = uint32_t(stored.size());
    entry.method = coded ? kMethodCoded : kMethodRaw;
    entry.data_offset = uint32_t(kHeaderSize + image.data.size());
    append(image.data, stored);
    image.files.push_back(entry);
    return image.files.back();
}

Bytes header_bytes(uint16_t flags, uint8_t options, uint32_t catalogue_offset,
                   uint8_t code_page_mark) {
    Bytes out;
    put_u16(out, flags);
    out.push_back(options);
    out.push_back(code_page_mark);
    out.push_back('Z');
    out.push_back('Q');
    put_u32(out, catalogue_offset);
    return out;
}

Bytes catalogue_bytes(CodecState& codec, const ArchiveImage& image) {
    Bytes out;
    put_u16(out, narrow16(image.pools.size(), "too many name pools"));
    for (const Bytes& pool : image.pools) {
        Bytes frames = code_frames(codec, pool, image.frame_plain);
        put_u16(out, narrow16(pool.size(), "name pool"));
        put_u16(out, narrow16(frames.size(), "coded name pool"));
        append(out, frames);
    }
    if (image.password) {
        // One frame, whatever its size.
        Bytes frame = code_frames(codec, *image.password, kBlockSize);
        put_u16(out, narrow16(frame.size(), "password"));
        append(out, frame);
    }
    put_u16(out, narrow16(image.dirs.size(), "too many directories"));
    if (!image.dirs.empty()) {
        Bytes frames = code_frames(codec, plain_records(image.dirs), image.frame_plain);
        put_u16(out, narrow16(frames.size(), "directory table"));
        append(out, frames);
    }
    Bytes frames = code_frames(codec, plain_records(image.files), image.frame_plain);
    put_u32(out, uint32_t(image.files.size()));
    put_u32(out, uint32_t(frames.size()));
    append(out, frames);
    return out;
}

Bytes archive_bytes(CodecState& codec, const ArchiveImage& image) {
    Bytes out = header_bytes(image.flags, image.options, uint32_t(kHeaderSize + image.data.size()));
    append(out, image.data);
    append(out, catalogue_bytes(codec, image));
    return out;
}

Bytes self_extractor_bytes(const Bytes& stub, const Bytes& archive) {
    Bytes out = stub;
    append(out, archive);
    put_u32(out, uint32_t(stub.size()));
    return out;
}

uint32_t NamePools::add_with_arguments(const std::string& name, const std::string& arguments) {
    const std::string both = name + std::string(1, '\0') + arguments;
    if (both.size() + 1 > kPoolLimit || arguments.find('\0') != std::string::npos) {
        throw std::runtime_error("name and arguments too long or not text: " + name);
    }
    if (pools_.empty() || pools_.back().size() + both.size() + 1 > kPoolLimit)
        pools_.emplace_back();
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
    if (pools_.empty() || pools_.back().size() + name.size() + 1 > kPoolLimit)
        pools_.emplace_back();
    Bytes& pool = pools_.back();
    uint32_t ref = make_name_ref(uint16_t(pools_.size() - 1), uint16_t(pool.size()));
    pool.insert(pool.end(), name.begin(), name.end());
    pool.push_back(0);
    index_.emplace(name, ref);
    return ref;
}

}  // namespace zq
