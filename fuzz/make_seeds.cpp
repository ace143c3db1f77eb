// Writes the seed corpora of the fuzz targets, made with our own encoder and
// archive writer, so each target starts from inputs that reach deep:
//   make_fuzz_seeds FUZZ_DIR    (writes FUZZ_DIR/corpus/<target>/*)
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive/catalogue.h"
#include "writer/writer.h"

namespace fs = std::filesystem;
using zq::Bytes;

namespace {

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes pseudo_random(size_t size, uint32_t seed) {
    Bytes out(size);
    for (auto& b : out) {
        seed = seed * 1664525u + 1013904223u;
        b = uint8_t(seed >> 24);
    }
    return out;
}

Bytes repeated(const std::string& unit, size_t size) {
    Bytes out;
    while (out.size() < size) out.push_back(uint8_t(unit[out.size() % unit.size()]));
    return out;
}

void write(const fs::path& path, const Bytes& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

const char kProse[] =
    "The archive travels inside the executable, behind the program image. Each file is "
    "written to a temporary file first, checked against its size, then moved into place. "
    "The archive travels inside the executable, behind the program image.\n";

// top\sub\leaf.txt, top\a.txt, note.txt; `password` set when not empty.
Bytes sample_archive(zq::CodecState& codec, const std::string& password, uint32_t frame_plain,
                     bool raw_data) {
    zq::ArchiveImage image;
    image.frame_plain = frame_plain;
    image.options = 0x40;
    zq::NamePools names;
    image.dirs = {{1, names.add("top"), 0, 1}, {2, names.add("sub"), 0, 0}};
    const std::pair<const char*, uint16_t> files[] = {
        {"leaf.txt", 2}, {"a.txt", 1}, {"note.txt", 0}};
    uint32_t k = 0;
    for (const auto& [name, dir] : files) {
        zq::FileEntry entry;
        entry.dir_id = dir;
        entry.name = names.add(name);
        const bool coded = !raw_data || k != 1;
        zq::add_file_data(image, codec, entry, repeated(kProse + k, 120 + 50 * k), coded, 64);
        ++k;
    }
    image.pools = names.pools();
    if (!password.empty()) {
        image.password = text(password);
        image.flags |= zq::kFlagPassword;
    }
    return zq::archive_bytes(codec, image);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_seeds FUZZ_DIR\n");
        return 2;
    }
    const fs::path corpus = fs::path(argv[1]) / "corpus";
    zq::OwnedCodec owned;
    zq::CodecState& codec = owned.state();

    const std::pair<const char*, Bytes> plains[] = {
        {"run64", repeated("a", 64)},
        {"ab20", repeated("ab", 20)},
        {"abc33", repeated("abc", 33)},
        {"prose", text(kProse)},
        {"random300", pseudo_random(300, 7)},
        {"mixed4k",
         [] {
             Bytes b = repeated(kProse, 3000);
             Bytes r = pseudo_random(1096, 9);
             b.insert(b.end(), r.begin(), r.end());
             return b;
         }()},
        {"tiny2", text("hi")},
    };
    for (const auto& [name, plain] : plains) {
        write(corpus / "roundtrip" / name, plain);
        uint8_t frame[zq::kFrameCapacity];
        uint32_t length = 0;
        if (zq::encode_block(codec, plain.data(), frame, uint32_t(plain.size()), &length) != 0)
            return 1;
        Bytes seed{uint8_t((frame[0] & 0x80) ? 1 : 0)};
        seed.insert(seed.end(), frame + 2, frame + length);
        write(corpus / "decode_block" / name, seed);
        // Streams: bound = plain size (in units of two bytes, rounded up),
        // the recorded coded size exact; frames of 100 plain bytes.
        const Bytes frames = zq::code_frames(codec, plain, 100);
        const uint32_t half = uint32_t((plain.size() + 1) / 2);
        Bytes stream{uint8_t(half), uint8_t(half >> 8), 0, 0};
        stream.insert(stream.end(), frames.begin(), frames.end());
        write(corpus / "stream" / name, stream);
    }
    write(corpus / "catalogue" / "coded", sample_archive(codec, "", zq::kBlockSize, false));
    write(corpus / "catalogue" / "small_frames", sample_archive(codec, "", 24, true));
    write(corpus / "catalogue" / "password", sample_archive(codec, "fuzz", 64, true));
    write(corpus / "catalogue" / "wrong_password",
          sample_archive(codec, "secret", zq::kBlockSize, false));
    {
        zq::ArchiveImage flat;
        zq::NamePools names;
        zq::FileEntry entry;
        entry.name = names.add("only.txt");
        flat.files = {entry};
        flat.pools = names.pools();
        write(corpus / "catalogue" / "flat", zq::archive_bytes(codec, flat));
    }
    std::printf("seeds written under %s\n", corpus.c_str());
    return 0;
}
