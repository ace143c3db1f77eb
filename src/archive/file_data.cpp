// The one path of a file's data: raw bytes or frames, counted in 64 bits
// (the stream's plain_done wraps after 4 GiB), then the size and the CRC-32.
#include "archive/file_data.h"

#include "codec/crc32.h"

namespace zq {

namespace {

// Where the plain bytes go: a file, memory (a link's target, never more
// than original_size bytes), or nowhere.
struct DataSink {
    FileHandle file;
    uint8_t* area;
};

bool sink_write(const DataSink& sink, uint64_t at, const uint8_t* bytes, uint32_t count) {
    if (sink.area != nullptr) {
        for (uint32_t i = 0; i < count; ++i) sink.area[at + i] = bytes[i];
        return true;
    }
    return sink.file == kNoFile || file_write(sink.file, bytes, count) == int32_t(count);
}

bool seek_to_data(StreamContext* context, int32_t archive_offset, const FileRecord& file) {
    const int64_t position = int64_t(archive_offset) + file.data_offset();
    return position <= INT32_MAX &&
           file_seek(context->archive_file, int32_t(position), kSeekSet) == position;
}

// Raw data: exactly original_size bytes, in pieces of one buffer.
DataOutcome copy_raw_data(StreamContext* context, const FileRecord& file, const DataSink& sink,
                          FileData* data) {
    const uint32_t size = file.original_size();
    while (data->bytes < size) {
        const uint64_t left = size - data->bytes;
        const uint32_t k = left < kPlainBufferSize ? uint32_t(left) : kPlainBufferSize;
        if (file_read(context->archive_file, context->plain_buf, k) != int32_t(k))
            return kDataCutShort;
        if (!sink_write(sink, data->bytes, context->plain_buf, k)) return kDataShortWrite;
        if (context->crc_wanted) context->crc = crc32_update(context->crc, context->plain_buf, k);
        data->bytes += k;
    }
    return kDataOk;
}

// Coded data: the frames that begin within stored_size. A block that takes
// the count past original_size ends the reading once it has been handed on
// (for memory, only the part that fits), so no stream runs on for long.
DataOutcome decode_frames(StreamContext* context, const FileRecord& file, const DataSink& sink,
                          DataProgress progress, FileData* data) {
    const uint32_t size = file.original_size();
    stream_start(context, int32_t(file.stored_size()));
    context->plain_total = size;
    if (progress != nullptr) progress(context);
    while (context->coded_left > 0) {
        uint16_t n = 0;
        const StreamStatus status = stream_next(context, &n);
        if (status == kStreamShortRead) return kDataCutShort;
        if (status != kStreamOk) return kDataBadBlock;
        const bool over = data->bytes + n > size;
        const uint32_t kept = sink.area != nullptr && over ? uint32_t(size - data->bytes) : n;
        if (!sink_write(sink, data->bytes, context->plain_buf, kept)) return kDataShortWrite;
        if (context->crc_wanted) context->crc = crc32_update(context->crc, context->plain_buf, n);
        data->bytes += n;
        if (progress != nullptr) progress(context);
        if (over) return kDataTooLong;
    }
    return kDataOk;
}

FileData read_data(StreamContext* context, int32_t archive_offset, const FileRecord& file,
                   const DataSink& sink, DataProgress progress) {
    FileData data{kDataOk, 0, 0};
    if (!seek_to_data(context, archive_offset, file)) {
        data.outcome = kDataOutside;
        return data;
    }
    checksum_start(context, file.has_crc());
    if (file.original_size() != 0) {
        data.outcome = file.block_coded() ? decode_frames(context, file, sink, progress, &data)
                                          : copy_raw_data(context, file, sink, &data);
    }
    if (file.has_crc()) data.crc = crc32_final(context->crc);
    if (data.outcome != kDataOk) return data;
    if (data.bytes != file.original_size()) {
        data.outcome = data.bytes < file.original_size() ? kDataTooShort : kDataTooLong;
    } else if (file.has_crc() && data.crc != file.crc32()) {
        data.outcome = kDataBadCrc;
    }
    return data;
}

}  // namespace

FileData read_file_data(StreamContext* context, int32_t archive_offset, const FileRecord& file,
                        FileHandle output, DataProgress progress) {
    return read_data(context, archive_offset, file, DataSink{output, nullptr}, progress);
}

FileData read_link_target(StreamContext* context, int32_t archive_offset, const FileRecord& file,
                          char* target) {
    const uint32_t size = file.original_size();
    if (size == 0 || size > kMaxPath) return FileData{kDataBadLink, 0, 0};
    uint8_t* area = reinterpret_cast<uint8_t*>(target);
    const FileData data =
        read_data(context, archive_offset, file, DataSink{kNoFile, area}, nullptr);
    target[data.bytes < size ? data.bytes : size] = '\0';
    return data;
}

int extraction_status(DataOutcome outcome, bool block_coded) {
    switch (outcome) {
        case kDataOk: return kExitOk;
        case kDataShortWrite: return block_coded ? kExitNoDiskSpace : kExitIoError;
        case kDataBadLink: return kExitInvalidArchive;
        case kDataOutside:
        case kDataCutShort:
        case kDataBadBlock: return kExitIoError;
        default: return kExitDecodeFailed;
    }
}

}  // namespace zq
