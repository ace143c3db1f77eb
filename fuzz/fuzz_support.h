// Helpers shared by the fuzz targets: the archive layer reads through file
// handles, so untrusted bytes are handed to it through an anonymous memory
// file that is refilled for every input.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "archive/catalogue.h"
#include "format/sealed_format.h"

namespace zq::fuzz {

// Aborts (a crash the fuzzer reports) when an invariant does not hold.
inline void check(bool condition) {
    if (!condition) std::abort();
}

// One memory file for the life of the process, holding exactly the bytes of
// the current input, positioned at its start.
class MemoryFile {
public:
    MemoryFile() : fd_(int(memfd_create("zq_fuzz", MFD_CLOEXEC))) { check(fd_ > 2); }
    int fd() const { return fd_; }
    void fill(const uint8_t* data, size_t size) {
        check(ftruncate(fd_, 0) == 0);
        size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd_, data + done, size - done, off_t(done));
            check(n > 0);
            done += size_t(n);
        }
        check(lseek(fd_, 0, SEEK_SET) == 0);
    }

private:
    int fd_;
};

// Any key derivation the caps allow could take seconds per input, tens under
// the sanitizers, and a flip of a single bit in log2(N), r or p reaches one.
// In every envelope header within the input (an archive may start anywhere
// the trailer says) each is kept to its two low bits (0 included, which the
// reader refuses); every other byte is left as it is.
inline void keep_key_derivations_cheap(uint8_t* bytes, size_t size) {
    for (size_t at = 0; at + kSealedHeaderSize <= size; ++at) {
        uint8_t* header = bytes + at;
        if (!is_sealed_magic(header)) continue;
        header[8] &= 3;
        store_u32(header + 12, load_u32(header + 12) & 3);
        store_u32(header + 16, load_u32(header + 16) & 3);
    }
}

// A catalogue's tables taken straight from the input, without the codec, so
// that the checks behind the reader are reached at full speed. Layout:
//   byte 0: folders (D), byte 1: files (F), byte 2: bits 5-7 split the names
//   into two pools at that many eighths (0: one pool), bits 0-4 are the
//   target's own; then D folder records of 10 bytes, F shortened
//   file records of 8 bytes (folder id, name reference, extension word),
//   then the name bytes (at most 32767 per pool).
// Everything is taken from the platform allocator, as the reader takes it,
// so that release_catalogue gives it back. False when the input is too short.
inline bool catalogue_from_bytes(const uint8_t* data, size_t size, Catalogue* out) {
    if (size < 3) return false;
    const uint32_t dirs = data[0];
    const uint32_t files = data[1];
    const size_t tables = 3 + size_t(dirs) * kDirRecordSize + size_t(files) * 8;
    if (size < tables) return false;
    *out = Catalogue{};
    const uint8_t* at = data + 3;
    if (dirs != 0) {
        out->dir_count = dirs;
        out->dir_table = static_cast<DirRecord*>(mem_alloc(dirs * uint32_t(sizeof(DirRecord))));
        // Narrow records: the first bytes of each, the high parts zero.
        for (uint32_t i = 0; i < dirs; ++i, at += kDirRecordSize)
            std::memcpy(out->dir_table[i].bytes, at, kDirRecordSize);
    }
    if (files != 0) {
        out->file_count = files;
        out->file_slots = files;
        out->file_table = static_cast<FileRecord**>(mem_alloc(files * sizeof(FileRecord*)));
        FileRecord* chunk = nullptr;  // chunks of 128 records, as the reader makes them
        for (uint32_t i = 0; i < files; ++i, at += 8) {
            if (i % kRecordsPerChunk == 0)
                chunk = static_cast<FileRecord*>(
                    mem_alloc(kRecordsPerChunk * uint32_t(sizeof(FileRecord))));
            FileRecord& record = chunk[i % kRecordsPerChunk];
            out->file_table[i] = &record;
            std::memcpy(record.bytes + 2, at, 2);                   // folder id
            std::memcpy(record.bytes + 28, at + 2, 4);              // name reference
            std::memcpy(record.bytes + kExtWordOffset, at + 6, 2);  // extension word
        }
    }
    const size_t names = size - tables;
    const uint32_t eighths = data[2] >> 5;
    const size_t split = eighths == 0 ? names : names * eighths / 8;
    const size_t pieces[2] = {split, names - split};
    out->pool_count = eighths == 0 ? 1 : 2;
    out->name_pools = static_cast<uint8_t**>(mem_alloc(2 * sizeof(uint8_t*)));
    out->pool_sizes = static_cast<uint16_t*>(mem_alloc(2 * sizeof(uint16_t)));
    for (uint32_t p = 0; p < out->pool_count; ++p) {
        const size_t length = pieces[p] > 0x7FFF ? 0x7FFF : pieces[p];
        out->name_pools[p] = static_cast<uint8_t*>(mem_alloc(uint32_t(length) + 1));
        std::memcpy(out->name_pools[p], at, length);
        out->pool_sizes[p] = uint16_t(length);
        at += pieces[p];
    }
    return true;
}

// The NUL-terminated text behind `ref`, checked as the reader checks it
// (inside the pools, ending before the pool does); false otherwise.
inline bool text_at(const Catalogue& catalogue, uint32_t ref, const char** text, size_t* length) {
    const uint32_t pool = ref >> 16;
    const uint32_t offset = ref & 0xFFFF;
    if (pool >= catalogue.pool_count || offset >= catalogue.pool_sizes[pool]) return false;
    const uint8_t* begin = catalogue.name_pools[pool] + offset;
    const void* nul = std::memchr(begin, 0, catalogue.pool_sizes[pool] - offset);
    if (nul == nullptr) return false;
    *text = reinterpret_cast<const char*>(begin);
    *length = size_t(static_cast<const uint8_t*>(nul) - begin);
    return true;
}

}  // namespace zq::fuzz
