// The one path of a file's data: raw bytes or frames, counted by a 64-bit
// count that never passes original_size, then the size and the CRC-32.
#include "archive/file_data.h"

#include "archive/source.h"
#include "codec/crc32.h"

namespace zq {

namespace {

// Where the plain bytes go: a file, memory (a link's target, never more
// than original_size bytes), or nowhere.
struct DataSink {
    FileHandle file;
    uint8_t* area;
};

bool sink_write(const DataSink& sink, FileSize at, const uint8_t* bytes, uint32_t count) {
    if (sink.area != nullptr) {
        for (uint32_t i = 0; i < count; ++i) sink.area[at + i] = bytes[i];
        return true;
    }
    return sink.file == kNoFile || file_write(sink.file, bytes, count) == int32_t(count);
}

// The archive's offset lies in [0, kMaxFileOffset], so the data's position
// is within a seek's reach exactly when the data's offset is at most the
// room left above the archive's, and then the sum cannot wrap. (A sum
// checked for a wrap is an overflow check, a pair of values that 32-bit code
// keeps in an 8-byte aligned slot, and the function realigns its stack.)
bool seek_to_data(StreamContext* context, FileOffset archive_offset, const FileRecord& file) {
    const FileSize room = FileSize(kMaxFileOffset) - FileSize(archive_offset);
    return file.data_offset() <= room &&
           archive_seek(context, FileOffset(FileSize(archive_offset) + file.data_offset()));
}

// The next piece of the data into plain_buf, its size in *count: a raw
// file's bytes a buffer at a time up to original_size, a coded file's
// blocks while its frames last. False at the end; `outcome` holds a failure.
bool next_piece(StreamContext* context, const FileRecord& file, FileSize done, uint32_t* count,
                DataOutcome* outcome) {
    if (file.block_coded()) {
        if (context->coded_left <= 0) return false;
        uint16_t n = 0;
        const StreamStatus status = stream_next(context, &n);
        *count = n;
        if (status == kStreamOk) return true;
        *outcome = status == kStreamShortRead ? kDataCutShort : kDataBadBlock;
        return false;
    }
    const FileSize left = file.original_size() - done;
    if (left == 0) return false;
    *count = left < kPlainBufferSize ? uint32_t(left) : kPlainBufferSize;
    if (archive_read(context, context->plain_buf, *count)) return true;
    *outcome = kDataCutShort;
    return false;
}

// Hands every piece on to the sink and the CRC-32. A piece that takes the
// count past original_size ends the reading once it has been handed on
// (into memory, only the part that fits), so no stream runs on for long.
// The count in hand therefore never passes original_size and cannot wrap;
// the total reported is 64 bits wide for the piece that went past.
DataOutcome transfer(StreamContext* context, const FileRecord& file, const DataSink& sink,
                     DataProgress progress, FileData* data) {
    const FileSize size = file.original_size();
    if (file.block_coded()) {
        // Where sizes are 64-bit, one beyond any file simply reads short; in
        // 32 bits a size past 2 GiB leaves no bytes to read.
        const FileSize stored = file.stored_size();
        stream_start(context, platform_reads_wide() && stored > FileSize(kMaxFileOffset)
                                  ? kMaxFileOffset
                                  : FileOffset(stored));
        context->plain_total = size;
        if (progress != nullptr) progress(context);
    } else {
        progress = nullptr;  // a raw copy has no bar
    }
    DataOutcome outcome = kDataOk;
    FileSize done = 0;
    uint32_t n = 0;
    while (next_piece(context, file, done, &n, &outcome)) {
        const bool over = n > size - done;
        const uint32_t kept = sink.area != nullptr && over ? uint32_t(size - done) : n;
        if (!sink_write(sink, done, context->plain_buf, kept)) return kDataShortWrite;
        if (context->crc_wanted) context->crc = crc32_update(context->crc, context->plain_buf, n);
        if (progress != nullptr) progress(context);
        if (over) {
            data->bytes = uint64_t(done) + n;
            return kDataTooLong;
        }
        done += n;
        data->bytes = done;
    }
    return outcome;
}

// The sink comes as two plain values, so that where only files are read
// (the Windows stub makes no links) the memory path folds away.
FileData read_data(StreamContext* context, FileOffset archive_offset, const FileRecord& file,
                   FileHandle output, uint8_t* area, DataProgress progress) {
    const DataSink sink{output, area};
    FileData data{kDataOk, 0, 0};
    if (!seek_to_data(context, archive_offset, file)) {
        data.outcome = kDataOutside;
        return data;
    }
    checksum_start(context, file.has_crc());
    if (file.original_size() != 0) data.outcome = transfer(context, file, sink, progress, &data);
    // Without a recorded CRC-32 none is computed: crc stays at its start, 0 once final.
    data.crc = crc32_final(context->crc);
    // Past original_size the transfer has already said so: only short is left.
    if (data.outcome != kDataOk) return data;
    if (data.bytes < file.original_size()) {
        data.outcome = kDataTooShort;
    } else if (file.has_crc() && data.crc != file.crc32()) {
        data.outcome = kDataBadCrc;
    }
    return data;
}

}  // namespace

FileData read_file_data(StreamContext* context, FileOffset archive_offset, const FileRecord& file,
                        FileHandle output, DataProgress progress) {
    return read_data(context, archive_offset, file, output, nullptr, progress);
}

FileData read_link_target(StreamContext* context, FileOffset archive_offset, const FileRecord& file,
                          char* target) {
    const FileSize size = file.original_size();
    if (size == 0 || size > kMaxPath) return FileData{kDataBadLink, 0, 0};
    uint8_t* area = reinterpret_cast<uint8_t*>(target);
    const FileData data = read_data(context, archive_offset, file, kNoFile, area, nullptr);
    target[data.bytes < size ? uint32_t(data.bytes) : uint32_t(size)] = '\0';
    return data;
}

int extraction_status(DataOutcome outcome, bool block_coded) {
    // Indexed by DataOutcome.
    static const uint8_t kStatus[] = {kExitOk,           kExitIoError,      kExitIoError,
                                      kExitIoError,      kExitNoDiskSpace,  kExitDecodeFailed,
                                      kExitDecodeFailed, kExitDecodeFailed, kExitInvalidArchive};
    static_assert(sizeof kStatus == kDataBadLink + 1, "a status for every outcome");
    if (outcome == kDataShortWrite && !block_coded) return kExitIoError;
    return kStatus[outcome];
}

}  // namespace zq
