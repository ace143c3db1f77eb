// Measures the block codec against zlib on the same 32768-byte blocks, each
// coded on its own, one thread:
//   codec_bench [-r repetitions] [file or directory ...]
// Without arguments it reads every file of ../shared/corpus (relative to the
// working directory, or else to the source tree), and when there is none the
// repository's own examples/sample; the first line names the corpus used.
// Prints per file and in
// total the coded/plain ratio and the speeds in MB/s (10^6 plain bytes per
// second of this thread's CPU time), each the median of the repetitions;
// the last lines compare the codec's decoding with inflate and its encoding
// with deflate level 6, and the CRC-32 of the plain blocks with zlib's.
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/crc32.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

void* zeroed(uint32_t bytes) { return std::calloc(1, bytes); }
void release(void* block) { std::free(block); }

struct Blocks {
    std::string name;
    std::vector<Bytes> plain;
    size_t bytes = 0;
};

struct Result {
    size_t plain = 0, coded = 0, zcoded = 0;
    double encode_s = 0, decode_s = 0, deflate_s = 0, inflate_s = 0, crc_s = 0, zcrc_s = 0;
};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "codec_bench: %s\n", what.c_str());
    std::exit(1);
}

Blocks load(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read " + path.string());
    Bytes all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Blocks b;
    b.name = path.filename().string();
    b.bytes = all.size();
    for (size_t at = 0; at < all.size(); at += zq::kBlockSize) {
        size_t n = std::min<size_t>(zq::kBlockSize, all.size() - at);
        b.plain.emplace_back(all.begin() + static_cast<long>(at),
                             all.begin() + static_cast<long>(at + n));
    }
    return b;
}

// CPU time of this thread: the machine is shared, and time spent waiting
// for a core says nothing about either codec.
double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Runs `pass` `reps` times and returns the median duration in seconds.
template <typename Pass>
double median_seconds(int reps, Pass pass) {
    std::vector<double> times;
    for (int r = 0; r < reps; ++r) {
        double start = thread_seconds();
        pass();
        times.push_back(thread_seconds() - start);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

Result measure(const Blocks& file, zq::CodecState& codec, int reps) {
    Result r;
    r.plain = file.bytes;
    std::vector<Bytes> frames(file.plain.size(), Bytes(zq::kFrameCapacity));
    std::vector<uint32_t> frame_len(file.plain.size());
    r.encode_s = median_seconds(reps, [&] {
        for (size_t i = 0; i < file.plain.size(); ++i) {
            if (zq::encode_block(codec, file.plain[i].data(), frames[i].data(),
                                 static_cast<uint32_t>(file.plain[i].size()), &frame_len[i]) != 0) {
                fail("encode_block failed on " + file.name);
            }
        }
    });
    for (uint32_t len : frame_len) r.coded += len;

    Bytes plain(zq::kFrameCapacity);
    std::vector<uint8_t> ok(file.plain.size());
    r.decode_s = median_seconds(reps, [&] {
        for (size_t i = 0; i < frames.size(); ++i) {
            const uint8_t* f = frames[i].data();
            const zq::FrameHeader header = zq::parse_frame_header(f);
            uint16_t produced = 0;
            int status =
                zq::decode_block(codec, f + 2, plain.data(), static_cast<uint16_t>(header.payload),
                                 &produced, header.substituted);
            ok[i] = status == 0 && produced == file.plain[i].size() &&
                    std::memcmp(plain.data(), file.plain[i].data(), produced) == 0;
        }
    });
    for (size_t i = 0; i < ok.size(); ++i) {
        if (!ok[i])
            fail("block " + std::to_string(i) + " of " + file.name + " does not round-trip");
    }

    // zlib with one stream reset per block, so neither side allocates per block.
    z_stream def{};
    if (deflateInit(&def, 6) != Z_OK) fail("deflateInit");
    std::vector<Bytes> zframes(file.plain.size(), Bytes(compressBound(zq::kBlockSize)));
    std::vector<size_t> zlen(file.plain.size());
    r.deflate_s = median_seconds(reps, [&] {
        for (size_t i = 0; i < file.plain.size(); ++i) {
            deflateReset(&def);
            def.next_in = const_cast<Bytef*>(file.plain[i].data());
            def.avail_in = static_cast<uInt>(file.plain[i].size());
            def.next_out = zframes[i].data();
            def.avail_out = static_cast<uInt>(zframes[i].size());
            if (deflate(&def, Z_FINISH) != Z_STREAM_END) fail("deflate");
            zlen[i] = def.total_out;
        }
    });
    deflateEnd(&def);
    for (size_t len : zlen) r.zcoded += len;

    z_stream inf{};
    if (inflateInit(&inf) != Z_OK) fail("inflateInit");
    r.inflate_s = median_seconds(reps, [&] {
        for (size_t i = 0; i < zframes.size(); ++i) {
            inflateReset(&inf);
            inf.next_in = zframes[i].data();
            inf.avail_in = static_cast<uInt>(zlen[i]);
            inf.next_out = plain.data();
            inf.avail_out = static_cast<uInt>(plain.size());
            if (inflate(&inf, Z_FINISH) != Z_STREAM_END) fail("inflate");
        }
    });
    inflateEnd(&inf);

    // The checksum of each block as the extractor takes it, ours and zlib's.
    uint32_t ours = 0, theirs = 0;
    r.crc_s = median_seconds(reps, [&] {
        ours = zq::kCrc32Start;
        for (const Bytes& block : file.plain)
            ours = zq::crc32_update(ours, block.data(), block.size());
    });
    r.zcrc_s = median_seconds(reps, [&] {
        theirs = crc32(0, nullptr, 0);
        for (const Bytes& block : file.plain)
            theirs = crc32(theirs, block.data(), static_cast<uInt>(block.size()));
    });
    if (zq::crc32_final(ours) != theirs)
        fail("the CRC-32 of " + file.name + " differs from zlib's");
    return r;
}

double mbps(size_t bytes, double seconds) { return seconds > 0 ? bytes / seconds / 1e6 : 0; }

void print_row(const std::string& name, const Result& r) {
    std::printf("%-18s %9zu  %6.3f  %8.1f  %8.1f  %6.3f  %8.1f  %8.1f\n", name.c_str(), r.plain,
                r.plain ? double(r.coded) / r.plain : 0, mbps(r.plain, r.encode_s),
                mbps(r.plain, r.decode_s), r.plain ? double(r.zcoded) / r.plain : 0,
                mbps(r.plain, r.deflate_s), mbps(r.plain, r.inflate_s));
}

// A path as given, or else relative to the source tree; empty when neither
// exists.
fs::path find(const std::string& arg) {
    fs::path p(arg);
    if (fs::exists(p)) return p;
    fs::path in_source = fs::path(ZQ_SOURCE_DIR) / p;
    if (fs::exists(in_source)) return in_source;
    return {};
}

fs::path locate(const std::string& arg) {
    fs::path p = find(arg);
    if (p.empty()) fail("no such file or directory: " + arg);
    return p;
}

// The shared corpus, or the sample tree that travels with the sources.
fs::path default_corpus() {
    fs::path shared = find("../shared/corpus");
    return shared.empty() ? locate("examples/sample") : shared;
}

void add_files(const fs::path& p, std::vector<fs::path>& files) {
    if (!fs::is_directory(p)) {
        files.push_back(p);
        return;
    }
    std::vector<fs::path> found;
    for (const auto& entry : fs::recursive_directory_iterator(p)) {
        if (entry.is_regular_file()) found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 5;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-r" && i + 1 < argc) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else {
            add_files(locate(arg), files);
        }
    }
    if (files.empty()) {
        fs::path corpus = default_corpus();
        std::printf("corpus: %s\n", corpus.string().c_str());
        add_files(corpus, files);
    }

    zq::crc32_prepare();
    zq::CodecState codec{};
    if (zq::codec_init(codec, {zeroed, release}) != 0) fail("codec_init failed");

    std::printf("%-18s %9s  %6s  %8s  %8s  %6s  %8s  %8s\n", "file", "bytes", "ratio", "enc MB/s",
                "dec MB/s", "zratio", "defl6", "infl");
    Result total;
    for (const fs::path& path : files) {
        Blocks b = load(path);
        if (b.bytes == 0) continue;
        Result r = measure(b, codec, reps);
        print_row(b.name, r);
        total.plain += r.plain;
        total.coded += r.coded;
        total.zcoded += r.zcoded;
        total.encode_s += r.encode_s;
        total.decode_s += r.decode_s;
        total.deflate_s += r.deflate_s;
        total.inflate_s += r.inflate_s;
        total.crc_s += r.crc_s;
        total.zcrc_s += r.zcrc_s;
    }
    print_row("total", total);
    zq::codec_free(codec);
    std::printf("decode/inflate = %.3f  encode/deflate6 = %.3f\n",
                total.decode_s > 0 ? total.inflate_s / total.decode_s : 0,
                total.encode_s > 0 ? total.deflate_s / total.encode_s : 0);
    std::printf("crc32 MB/s: %.1f, zlib's %.1f\n", mbps(total.plain, total.crc_s),
                mbps(total.plain, total.zcrc_s));
    return 0;
}
