// Times the block decoder alone, one thread, on 32768-byte blocks of the
// given files, each coded on its own:
//   codec_decode_bench [-r repetitions] file ...
// Prints the decoding speed in MB/s (10^6 plain bytes per second of this
// thread's CPU time), the median of the repetitions. It needs only the codec
// and the C library, so the same source also builds with the 32-bit Windows
// stub's codec (the cross build's codec_decode_bench target) and runs under
// Wine: bench/decode_32v64.sh compares the two.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/codec.h"
#include "thread_seconds.h"

namespace {

using Bytes = std::vector<uint8_t>;

void* zeroed(uint32_t bytes) { return std::calloc(1, bytes); }
void release(void* block) { std::free(block); }

[[noreturn]] void fail(const char* what, const char* detail) {
    std::fprintf(stderr, "codec_decode_bench: %s %s\n", what, detail);
    std::exit(1);
}

Bytes read_file(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) fail("cannot read", path);
    Bytes all;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) all.insert(all.end(), chunk, chunk + n);
    std::fclose(f);
    return all;
}

struct Block {
    Bytes frame;
    const uint8_t* plain;
    uint32_t count;
};

}  // namespace

int main(int argc, char** argv) {
    int reps = 7;
    std::vector<Bytes> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-r") == 0 && i + 1 < argc) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else {
            files.push_back(read_file(argv[i]));
        }
    }
    if (files.empty()) fail("usage:", "codec_decode_bench [-r repetitions] file ...");

    zq::CodecState codec{};
    if (zq::codec_init(codec, {zeroed, release}) != 0) fail("codec_init", "failed");
    std::vector<Block> blocks;
    size_t plain_bytes = 0, coded_bytes = 0;
    for (const Bytes& file : files) {
        for (size_t at = 0; at < file.size(); at += zq::kBlockSize) {
            Block b{Bytes(zq::kFrameCapacity), file.data() + at,
                    uint32_t(std::min<size_t>(zq::kBlockSize, file.size() - at))};
            uint32_t length = 0;
            if (zq::encode_block(codec, b.plain, b.frame.data(), b.count, &length) != 0)
                fail("encode_block", "failed");
            b.frame.resize(length);
            plain_bytes += b.count;
            coded_bytes += length;
            blocks.push_back(std::move(b));
        }
    }

    // A pass over a few MB takes tens of milliseconds; several passes per
    // sample keep the clock's granularity out of the figure. Under Wine the
    // thread's CPU time moves in 10 ms ticks, so a sample is about a second.
    const int passes = int(std::max<size_t>(1, (64u << 20) / std::max<size_t>(1, plain_bytes)));
    Bytes plain(zq::kBlockSize);
    std::vector<double> rates;
    for (int r = 0; r < reps; ++r) {
        double start = thread_seconds();
        for (int p = 0; p < passes; ++p) {
            for (const Block& b : blocks) {
                const zq::FrameHeader header = zq::parse_frame_header(b.frame.data());
                uint16_t produced = 0;
                if (zq::decode_block(codec, b.frame.data() + 2, plain.data(),
                                     uint16_t(header.payload), &produced,
                                     header.substituted) != 0 ||
                    produced != b.count || std::memcmp(plain.data(), b.plain, b.count) != 0)
                    fail("a block does not round-trip", "");
            }
        }
        double seconds = thread_seconds() - start;
        rates.push_back(seconds > 0 ? double(plain_bytes) * passes / seconds / 1e6 : 0);
    }
    zq::codec_free(codec);
    std::sort(rates.begin(), rates.end());
    std::printf("%u-bit decode: %zu bytes in %zu blocks, ratio %.3f, %.1f MB/s (median of %d)\n",
                unsigned(sizeof(void*) * 8), plain_bytes, blocks.size(),
                double(coded_bytes) / double(plain_bytes), rates[rates.size() / 2], reps);
    return 0;
}
