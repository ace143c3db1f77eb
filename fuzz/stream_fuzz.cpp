// A run of frames through stream_to_memory, read from a file handle as the
// extractor reads its archive. Input: a 2-byte bound for the memory area, a
// 2-byte signed adjustment of the recorded coded size, then the frames. The
// area is a heap block of exactly `bound` bytes, so a write past the bound is
// caught.
#include <cstring>
#include <memory>

#include "archive/stream.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using zq::fuzz::check;
    static zq::fuzz::MemoryFile file;
    static zq::StreamContext* context = [] {
        auto* c = new zq::StreamContext{};
        check(zq::stream_init(c) == zq::kStreamOk);
        return c;
    }();
    if (size < 4) return 0;
    // Bounds up to 128 KiB: several blocks' worth.
    const uint32_t bound = uint32_t(data[0] | (data[1] << 8)) * 2;
    const int16_t adjust = int16_t(data[2] | (data[3] << 8));
    file.fill(data + 4, size - 4);

    context->archive_file = file.fd();
    const int32_t coded = int32_t(size - 4) + adjust;
    zq::stream_start(context, coded);
    std::unique_ptr<uint8_t[]> area(new uint8_t[bound == 0 ? 1 : bound]);
    const int16_t status = zq::stream_to_memory(context, area.get(), bound);
    check(status == zq::kStreamOk || status == zq::kStreamShortRead ||
          status == zq::kStreamOverBound || status == zq::kStreamBadBlock);
    // The counters stay consistent with what was asked for.
    check(context->coded_left + int64_t(context->coded_done) == coded);
    if (status == zq::kStreamOk) {
        check(context->plain_done <= bound);
        check(context->coded_left <= 0);
        check(context->coded_done <= size - 4);
    }
    if (status == zq::kStreamOverBound) check(context->plain_done > bound);
    return 0;
}
