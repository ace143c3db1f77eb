// Writes the seed corpora of the fuzz targets, made with our own encoder and
// archive writer, so each target starts from inputs that reach deep:
//   make_fuzz_seeds FUZZ_DIR    (writes FUZZ_DIR/corpus/<target>/*)
#include <array>
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
// `wide`: the wide form, with its locator and trailer behind it.
Bytes sample_archive(zq::CodecState& codec, const std::string& password, uint32_t frame_plain,
                     bool raw_data, bool wide = false) {
    zq::ArchiveImage image;
    image.wide = wide;
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
    if (wide) {
        return zq::self_extractor_bytes({}, zq::archive_bytes(codec, image), true,
                                        zq::kHeaderSize + image.data.size());
    }
    return zq::archive_bytes(codec, image);
}

// An archive with the record extension in use: checksums and modes, a link
// (its target as data), and a file to run with stored arguments; names in
// code page 1252 (mark 8) when `mark` says so.
Bytes extension_archive(zq::CodecState& codec, uint8_t mark) {
    zq::ArchiveImage image;
    image.options = 0x40;
    zq::NamePools names;
    const std::string accented = mark != 0 ? "caf\xE9" : "caf\xC3\xA9";
    image.dirs = {{1, names.add(accented), 0, 0}};
    zq::FileEntry file;
    file.dir_id = 1;
    file.name = names.add("readme.txt");
    file.ext_word = zq::kExtHasMode | 0644;
    zq::add_file_data(image, codec, file, text(kProse), true);
    zq::FileEntry link;
    link.dir_id = 1;
    link.name = names.add("up");
    link.ext_word = zq::kExtSymlink;
    zq::add_file_data(image, codec, link, text("../" + accented), false);
    zq::FileEntry run;
    run.name = names.add_with_arguments("setup.sh", "--quiet \"a b\"");
    run.ext_word = zq::kExtRunAfter | zq::kExtHasMode | 0755;
    zq::add_file_data(image, codec, run, text("#!/bin/sh\nexit 0\n"), true);
    image.pools = names.pools();
    Bytes bytes = zq::archive_bytes(codec, image);
    bytes[3] = mark;
    return zq::self_extractor_bytes({}, bytes);  // a bare archive and its trailer
}

// Tables for catalogue_from_bytes (fuzz_support.h): folders top/sub and
// top/other, files in each and one at the top; `flags` is byte 2 (the pools
// and the target's bits).
Bytes raw_tables(uint8_t flags, uint16_t ext_word, const std::string& accent) {
    const char names[] = "top\0sub\0other\0a.txt\0";
    const char tail[] = ".txt\0run.sh\0-x y\0";
    const std::string pool =
        std::string(names, sizeof names - 1) + accent + std::string(tail, sizeof tail - 1);
    auto ref = [&](const char* name) {
        const size_t at = pool.find(std::string(name) + '\0');
        const size_t boundary = pool.size() * (flags >> 5) / 8;
        return flags >> 5 == 0 || at < boundary ? uint32_t(at)
                                                : (1u << 16) | uint32_t(at - boundary);
    };
    Bytes out{3, 3, flags};
    const std::pair<const char*, std::array<uint16_t, 3>> dirs[] = {
        {"top", {1, 0, 1}}, {"sub", {2, 2, 0}}, {"other", {3, 0, 0}}};
    for (const auto& [name, fields] : dirs) {
        zq::put_u16(out, fields[0]);
        zq::put_u32(out, ref(name));
        zq::put_u16(out, fields[1]);
        zq::put_u16(out, fields[2]);
    }
    const std::pair<const char*, uint16_t> files[] = {{"a.txt", 2}, {"run.sh", 0}, {nullptr, 3}};
    for (const auto& [name, dir] : files) {
        zq::put_u16(out, dir);
        zq::put_u32(out, ref(name != nullptr ? name : (accent + ".txt").c_str()));
        zq::put_u16(out, name != nullptr && dir == 0 ? ext_word : 0);
    }
    out.insert(out.end(), pool.begin(), pool.end());
    return out;
}

// A literal with its NULs, without the one that ends it.
template <size_t N>
Bytes raw(const char (&literal)[N]) {
    return Bytes(literal, literal + N - 1);
}

Bytes with_prefix(Bytes prefix, const Bytes& rest) {
    prefix.insert(prefix.end(), rest.begin(), rest.end());
    return prefix;
}

void write_parser_seeds(const fs::path& corpus, zq::CodecState& codec) {
    // Command lines as Windows hands them over, and word lists to quote.
    write(corpus / "options" / "line",
          text("\x02setup.exe -d \"C:\\Program Files\\x\" -y -- a\\\"b"));
    write(corpus / "options" / "list_only", text("\x04x.exe -l -q"));
    // Letters grouped, values glued, long values, and the three refusals.
    write(corpus / "options" / "grouped", text("\x22x.exe -qydout --target=b --nocheck -lt /?"));
    write(corpus / "options" / "words", raw("\x03-t\0--target\0a b\\\0-\"-\0--\0\\\\\""));
    write(corpus / "links" / "sibling", raw("a/l\0../b\0a/b/m\0../../c\0d\0.\0d/x\0.."));
    write(corpus / "links" / "deep", raw("x/y/z/w\0../../q/./r\0x/q\0../../.."));
    write(corpus / "dir_index" / "one_pool", raw_tables(0, 0, "caf\xC3\xA9"));
    write(corpus / "dir_index" / "two_pools", raw_tables((4 << 5) | 1, 0, "n\x81\\"));
    write(corpus / "host_names" / "cp1252", raw_tables(8 << 1, zq::kExtRunAfter, "caf\xE9"));
    write(corpus / "host_names" / "cp932", raw_tables((2 << 1) | 1, zq::kExtRunAfter, "\x83\x5C"));
    write(corpus / "host_names" / "cp936_split", raw_tables((4 << 5) | (3 << 1), 0, "\xC4\xE3"));
    write(corpus / "json_listing" / "extension", extension_archive(codec, 0));
    write(corpus / "json_listing" / "cp1252", extension_archive(codec, 8));
    // Streams of several frames: stop after one block, a second stream from
    // the middle.
    const Bytes plain = repeated(kProse, 5000);
    const Bytes frames = zq::code_frames(codec, plain, 700);
    write(corpus / "pipeline" / "whole", with_prefix({0, 0, 0, 0}, frames));
    write(corpus / "pipeline" / "stopped", with_prefix({1, 128, 0, 0}, frames));
    write(corpus / "pipeline" / "short", with_prefix({0, 64, 0x10, 0}, frames));
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
    write(corpus / "catalogue" / "wide", sample_archive(codec, "", 64, true, true));
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
    write_parser_seeds(corpus, codec);
    std::printf("seeds written under %s\n", corpus.c_str());
    return 0;
}
