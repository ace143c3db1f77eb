// The parallel pipeline against the serial path. Input: a byte giving after
// how many blocks the first stream is stopped (0: never), a byte placing the
// start of a second stream, a 2-byte signed adjustment of the first stream's
// recorded coded size, then the frames. Each stream runs once on a context
// that decodes on its own thread and once on a context with a pipeline of
// two workers: the first through stream_to_file (stopped from its callback,
// so frames read ahead are abandoned), the second, after a seek, through
// stream_next. Statuses, counters, checksums and every plain byte must be
// the same both ways.
#include <unistd.h>

#include <vector>

#include "archive/pipeline.h"
#include "codec/crc32.h"
#include "fuzz_support.h"

namespace {

using zq::fuzz::check;

struct Outcome {
    int16_t status = 0;
    int16_t decode_status = 0;
    int32_t block_len = 0;
    uint32_t coded_done = 0;
    uint32_t plain_done = 0;
    int32_t coded_left = 0;
    uint32_t crc = 0;
    std::vector<uint8_t> plain;
    bool operator==(const Outcome& o) const {
        return status == o.status && decode_status == o.decode_status && block_len == o.block_len &&
               coded_done == o.coded_done && plain_done == o.plain_done &&
               coded_left == o.coded_left && crc == o.crc && plain == o.plain;
    }
};

// What the callback of the first stream collects.
Outcome* collecting = nullptr;
uint32_t seen = 0;
uint32_t stop_after = 0;
uint32_t blocks = 0;

void collect(zq::StreamContext* context, int16_t* stop) {
    const uint32_t n = context->plain_done - seen;
    check(n <= zq::kBlockSize);
    collecting->plain.insert(collecting->plain.end(), context->plain_buf, context->plain_buf + n);
    seen = context->plain_done;
    if (++blocks == stop_after) *stop = 1;
}

void finish(const zq::StreamContext* context, int16_t status, Outcome* out) {
    out->status = status;
    out->decode_status = context->status;
    out->block_len = context->block_len;
    out->coded_done = context->coded_done;
    out->plain_done = context->plain_done;
    out->coded_left = context->coded_left;
    out->crc = context->crc;
}

zq::StreamContext* make_context(bool piped) {
    auto* context = new zq::StreamContext{};
    check(zq::stream_init(context) == zq::kStreamOk);
    if (piped) {
        auto* pipeline = new zq::BlockPipeline{};
        check(zq::pipeline_start(pipeline, 2) == zq::kStreamOk);
        context->pipeline = pipeline;
    }
    return context;
}

void run(zq::StreamContext* context, int fd, const uint8_t* data, size_t size, Outcome out[2]) {
    const int32_t frames = int32_t(size - 4);
    context->archive_file = fd;
    // The first stream, from the frames' start.
    check(lseek(fd, 0, SEEK_SET) == 0);
    zq::stream_start(context, frames + int16_t(data[2] | (data[3] << 8)));
    zq::checksum_start(context, true);
    collecting = &out[0];
    seen = 0;
    blocks = 0;
    stop_after = data[0];
    finish(context, zq::stream_to_file(context, zq::kNoFile, collect), &out[0]);
    // The second, wherever byte 1 puts it, to the end of the frames.
    const int32_t start = frames * data[1] / 256;
    check(lseek(fd, start, SEEK_SET) == start);
    zq::stream_start(context, frames - start);
    uint32_t crc = zq::kCrc32Start;
    int16_t status = zq::kStreamOk;
    while (context->coded_left > 0 && status == zq::kStreamOk) {
        uint16_t n = 0;
        status = zq::stream_next(context, &n);
        if (status != zq::kStreamOk) break;
        check(n <= zq::kBlockSize);
        out[1].plain.insert(out[1].plain.end(), context->plain_buf, context->plain_buf + n);
        crc = zq::crc32_update(crc, context->plain_buf, n);
    }
    finish(context, status, &out[1]);
    out[1].crc = crc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static zq::fuzz::MemoryFile file;
    static zq::StreamContext* serial = make_context(false);
    static zq::StreamContext* piped = make_context(true);
    if (size < 4) return 0;
    file.fill(data + 4, size - 4);
    Outcome alone[2];
    Outcome shared[2];
    run(serial, file.fd(), data, size, alone);
    run(piped, file.fd(), data, size, shared);
    check(alone[0] == shared[0]);
    check(alone[1] == shared[1]);
    return 0;
}
